#include "aStream.h"

#include <cstring>
#include <memory>
#include <new>

#include "aFile.h"

namespace {

// Reads of up to this many bytes collect them on the stack; the link reader
// reads one byte at a time and should not allocate for it.
constexpr size_t kStackBlock = 64;

// Makes room for one more pushed-back byte, growing the ring by one block and
// laying its contents out oldest first from position 0.
aErr sEnsurePushRoom(aStream* stream) {
    if (!stream->pushBuffer) {
        stream->pushBuffer = new (std::nothrow) uint8_t[aSTREAM_PUSH_BLOCK];
        if (!stream->pushBuffer) return aErrMemory;
        stream->pushCapacity = aSTREAM_PUSH_BLOCK;
        stream->pushCount = 0;
        stream->pushHead = 0;
        stream->pushTail = 0;
    }
    if (stream->pushCount < stream->pushCapacity - 1) return aErrNone;

    const size_t capacity = stream->pushCapacity + aSTREAM_PUSH_BLOCK;
    uint8_t* grown = new (std::nothrow) uint8_t[capacity];
    if (!grown) return aErrMemory;
    for (size_t i = 0; i < stream->pushCount; ++i) {
        grown[i] = stream->pushBuffer[(stream->pushHead + i) % stream->pushCapacity];
    }
    delete[] stream->pushBuffer;
    stream->pushBuffer = grown;
    stream->pushHead = 0;
    stream->pushTail = stream->pushCount;
    stream->pushCapacity = capacity;
    return aErrNone;
}

aErr sPushBack(aStream* stream, uint8_t byte) {
    const aErr err = sEnsurePushRoom(stream);
    if (err != aErrNone) return err;
    stream->pushBuffer[stream->pushTail] = byte;
    stream->pushTail = (stream->pushTail + 1) % stream->pushCapacity;
    ++stream->pushCount;
    return aErrNone;
}

// Puts a byte in front of everything held, so it is the next one taken.
aErr sPushFront(aStream* stream, uint8_t byte) {
    const aErr err = sEnsurePushRoom(stream);
    if (err != aErrNone) return err;
    stream->pushHead = (stream->pushHead + stream->pushCapacity - 1) % stream->pushCapacity;
    stream->pushBuffer[stream->pushHead] = byte;
    ++stream->pushCount;
    return aErrNone;
}

// Returns `count` bytes to the front of the stream in their original order.
aErr sUnread(aStream* stream, const uint8_t* bytes, size_t count) {
    for (size_t i = count; i > 0; --i) {
        const aErr err = sPushFront(stream, bytes[i - 1]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

bool sTakePushed(aStream* stream, uint8_t* byte) {
    if (!stream->pushBuffer || stream->pushCount == 0) return false;
    *byte = stream->pushBuffer[stream->pushHead];
    stream->pushHead = (stream->pushHead + 1) % stream->pushCapacity;
    --stream->pushCount;
    return true;
}

aErr sTakeByte(aStream* stream, uint8_t* byte) {
    if (sTakePushed(stream, byte)) return aErrNone;
    return stream->get(byte, stream->ref);
}

// A block that lives on the stack when small.
class WorkBlock {
  public:
    explicit WorkBlock(size_t size) {
        if (size <= kStackBlock) {
            data_ = small_;
        } else {
            large_.reset(new (std::nothrow) uint8_t[size]);
            data_ = large_.get();
        }
    }
    uint8_t* data() const { return data_; }

  private:
    uint8_t small_[kStackBlock];
    std::unique_ptr<uint8_t[]> large_;
    uint8_t* data_ = nullptr;
};

}  // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc del, void* ref) {
    aStream* stream = new (std::nothrow) aStream{};
    if (!stream) return nullptr;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->del = del;
    stream->ref = ref;
    stream->marker = aSTREAM_MARKER;
    return stream;
}

aErr aStream_Read(aStreamRef stream, void* destination, size_t size) {
    if (!aVALIDSTREAM(stream) || !destination) return aErrParam;
    if (!stream->get) return aErrMode;
    WorkBlock block(size);
    uint8_t* taken = block.data();
    if (!taken) return aErrResource;

    aErr status = aErrNone;
    size_t count = 0;
    while (status == aErrNone && count < size) {
        status = sTakeByte(stream, &taken[count]);
        if (status == aErrNone) ++count;
    }

    if (count < size && status == aErrNotReady) {
        const aErr err = sUnread(stream, taken, count);
        if (err != aErrNone) status = err;
    } else if (status == aErrNone || status == aErrEOF) {
        if (count) std::memcpy(destination, taken, count);
    }
    return status;
}

aErr aStream_Write(aStreamRef stream, const void* data, size_t length) {
    if (!aVALIDSTREAM(stream) || !data) return aErrParam;
    if (!stream->write && !stream->put) return aErrMode;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (stream->write && length > 1) return stream->write(bytes, length, stream->ref);
    if (!stream->put) return aErrMode;
    for (size_t i = 0; i < length; ++i) {
        const aErr err = stream->put(&bytes[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    return sPushBack(stream, byte);
}

aErr aStream_ReadRecord(aStreamRef stream, void* destination, size_t* count, size_t size,
                        const void* terminator, size_t terminatorLength) {
    if (count) *count = 0;
    if (!aVALIDSTREAM(stream) || !destination || !terminator || terminatorLength == 0 ||
        size == 0) {
        return aErrParam;
    }
    if (!stream->get) return aErrMode;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size]);
    if (!block) return aErrResource;

    const uint8_t* term = static_cast<const uint8_t*>(terminator);
    uint8_t* stored = block.get();
    size_t held = 0;
    size_t matched = 0;  // leading terminator bytes seen in a row
    aErr status = aErrNone;
    for (;;) {
        uint8_t byte = 0;
        status = sTakeByte(stream, &byte);
        if (status == aErrEOF) {
            // A terminator cut short by the end of input was data after all.
            size_t spilled = 0;
            while (spilled < matched && held < size) stored[held++] = term[spilled++];
            const aErr err = sUnread(stream, term + spilled, matched - spilled);
            status = err != aErrNone ? err : (held ? aErrNone : aErrEOF);
            break;
        }
        if (status == aErrNotReady) {
            aErr err = sUnread(stream, term, matched);
            if (err == aErrNone) err = sUnread(stream, stored, held);
            if (err != aErrNone) status = err;
            break;
        }
        if (status != aErrNone) break;

        if (byte == term[matched]) {
            if (++matched == terminatorLength) break;
            continue;
        }
        if (matched) {
            // The partial match was data: keep its first byte and look at the
            // rest, and this byte, again.
            aErr err = sPushFront(stream, byte);
            if (err == aErrNone) err = sUnread(stream, term + 1, matched - 1);
            if (err != aErrNone) {
                status = err;
                break;
            }
            byte = term[0];
            matched = 0;
        }
        stored[held++] = byte;
        if (held == size) break;
    }

    if (status == aErrNone || status == aErrEOF) {
        if (held) std::memcpy(destination, stored, held);
        if (count) *count = held;
    }
    return status;
}

aErr aStream_WriteRecord(aStreamRef stream, const void* data, size_t length, const void* terminator,
                         size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || !data || !terminator || terminatorLength == 0) return aErrParam;
    const aErr err = aStream_Write(stream, data, length);
    if (err != aErrNone) return err;
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t size) {
    if (!buffer || size < 2) return aErrParam;
    const uint8_t zero = 0;
    size_t count = 0;
    const aErr err = aStream_ReadRecord(stream, buffer, &count, size - 1, &zero, 1);
    if (err == aErrNone) buffer[count] = '\0';
    return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
    if (!text) return aErrParam;
    return aStream_Write(stream, text, std::strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t size,
                               const char* terminator) {
    if (!buffer || size < 2 || !terminator) return aErrParam;
    size_t count = 0;
    const aErr err =
        aStream_ReadRecord(stream, buffer, &count, size - 1, terminator, std::strlen(terminator));
    if (err == aErrNone) buffer[count] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminator) {
    if (!text || !terminator) return aErrParam;
    return aStream_WriteRecord(stream, text, std::strlen(text), terminator,
                               std::strlen(terminator) + 1);
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
    if (!source->get || !destination->put) return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = sTakeByte(source, &byte);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->put(&byte, destination->ref);
        if (err != aErrNone) return err;
    }
}

aErr aStream_Destroy(aStreamRef* stream) {
    if (!stream) return aErrParam;
    aStream* doomed = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(doomed)) return aErrParam;
    const aErr err = doomed->del ? doomed->del(doomed->ref) : aErrNone;
    delete[] doomed->pushBuffer;
    doomed->pushBuffer = nullptr;
    doomed->marker = 0;
    delete doomed;
    return err;
}

namespace {

aErr sFileGet(uint8_t* byte, void* ref) {
    if (!ref) return aErrIO;
    return aFile_Read(static_cast<aFileRef>(ref), byte, 1, nullptr);
}

aErr sFileWrite(const uint8_t* data, size_t length, void* ref) {
    if (!ref) return aErrIO;
    size_t written = 0;
    const aErr err = aFile_Write(static_cast<aFileRef>(ref), data, length, &written);
    if (err != aErrNone) return err;
    return written == length ? aErrNone : aErrIO;
}

aErr sFilePut(const uint8_t* byte, void* ref) {
    return sFileWrite(byte, 1, ref);
}

aErr sFileDelete(void* ref) {
    if (!ref) return aErrIO;
    aFileRef file = static_cast<aFileRef>(ref);
    return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aFileMode mode, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    if (!path) return aErrResource;
    aFileRef file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    const bool input = mode == aFileModeRead;
    aStreamRef made = input ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                            : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!made) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
    return sCreateFileStream(path, aFileModeRead, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
    return sCreateFileStream(path, aFileModeWrite, stream);
}
