// Byte streams: every transport of the library (USB, serial port, TCP socket,
// COBS framing, link-sharing client, files) is an aStream, a record holding
// four transport operations and the transport's own state.
//
// Operation conventions, binding on every transport:
// - get: 0 with one byte; aErrNotReady when nothing came within the
//   transport's short wait (retry later); aErrEOF at a definite end of input;
//   another code on failure.
// - put and write: 0 when every byte was handed to the transport.
// - A transport may leave get empty (output only) or put and write empty
//   (input only); one that has write also has put.
//
// A stream is not locked. One reader thread (get and the push-back buffer)
// and one writer thread (put and write) may use it at the same time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

inline constexpr uint16_t aSTREAM_MARKER = 0x4321;
// The push-back buffer starts at this size and grows by it.
inline constexpr size_t aSTREAM_PUSH_BLOCK = 512;

typedef struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;
    uint8_t* pushBuffer;  // ring of pushed-back bytes, made on first push
    uint32_t pushCount;
    size_t pushCapacity;
    size_t pushHead;  // oldest pushed-back byte
    size_t pushTail;  // where the next pushed-back byte goes
    uint16_t marker;  // aSTREAM_MARKER while alive
} aStream;

typedef aStream* aStreamRef;

inline bool aVALIDSTREAM(const aStream* stream) {
    return stream && stream->marker == aSTREAM_MARKER;
}

// New stream over the operations; the stream owns `ref` and releases it
// through `del`. Null when memory is exhausted.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref);

// Reads exactly `size` bytes. On aErrNotReady the bytes taken so far are kept
// and returned first by the next read, so a retried read gets an unbroken
// block; `destination` is untouched then. On aErrEOF the bytes before the end
// are copied (their number is not reported). Other errors drop the bytes.
aErr aStream_Read(aStreamRef stream, void* destination, size_t size);

// One byte goes through put, two or more through one write call.
aErr aStream_Write(aStreamRef stream, const void* data, size_t length);

// Pushes one byte back; reads return pushed-back bytes first, oldest first.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Reads one record: bytes up to the terminator (matched as a contiguous
// sequence and not stored), or `size` bytes when no terminator came first, or
// the bytes before the end of input. `count` (optional) receives the number
// stored. aErrEOF with a count of 0 at end of input before any byte;
// aErrNotReady keeps every byte taken for the next call. A size of 0 is
// aErrParam.
aErr aStream_ReadRecord(aStreamRef stream, void* destination, size_t* count, size_t size,
                        const void* terminator, size_t terminatorLength);

// Writes the data, then the terminator; stops at the first failing write.
aErr aStream_WriteRecord(aStreamRef stream, const void* data, size_t length, const void* terminator,
                         size_t terminatorLength);

// A record ended by a zero byte into a buffer of `size` bytes (at least 2),
// zero-terminated on success.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size);

// The text's characters and its terminating zero.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// A record ended by `terminator` (its characters, without the zero) into a
// buffer of `size` bytes (at least 2), zero-terminated on success.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator);

// The text's characters, then the terminator's characters and its zero.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator);

// Copies `source` into `destination` byte by byte until the source ends
// (aErrEOF, reported as 0). aErrMode when the source cannot be read or the
// destination not written.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Releases the transport (its delete result is returned), the push-back
// buffer and the record. The caller's pointer is cleared in every case;
// aErrParam for an invalid stream.
aErr aStream_Destroy(aStreamRef* stream);

// Input-only stream reading the file. aErrResource when an argument is
// missing, the file cannot be opened or the stream cannot be made.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);

// Output-only stream writing the file (created or truncated); failures as for
// input.
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
