// COBS framing stream: wraps another transport's operations so that every
// link frame written travels as one block (frame, CRC-8, COBS encoding, zero
// delimiter) and only intact frames are read back. Serial links use it so a
// receiver can always find frame boundaries on a noisy line.
#pragma once

#include "aStream.h"

inline constexpr uint16_t aCOBS_STREAM_MARKER = 0xC0B5;

// Encoded size of the largest frame plus its CRC, without the delimiter.
inline constexpr size_t aCOBS_MAX_BLOCK = 32;

// New framing stream over the lower operations. The framing stream owns the
// lower reference from then on and releases it through the lower delete; on
// failure the caller keeps it. aErrParam without an output, aErrMemory without
// memory, aErrResource when the stream cannot be made.
//
// get: 0 with the next byte of a received frame; aErrNotReady for every line
// byte up to and including a block's delimiter (the frame's bytes follow one
// per call); aErrPacket once for a damaged block, which is dropped; a lower
// failure other than aErrNotReady is passed up.
// write: frames are rebuilt from the bytes given and each complete one goes
// out as one block; a byte that cannot belong to a frame drops the frame
// being rebuilt. put passes one byte to the lower put unframed.
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStreamRef* stream);
