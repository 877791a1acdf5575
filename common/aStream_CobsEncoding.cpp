#include "aStream_CobsEncoding.h"

#include <new>

#include "aBytes.h"
#include "aPacket.h"
#include "cobs.h"
#include "crc8.h"

namespace {

// A frame, its CRC, the encoding's code byte and the delimiter.
constexpr size_t kSendBufferSize = aCOBS_MAX_BLOCK + 1;
constexpr size_t kCrcSize = 1;

struct CobsState {
    aStreamGetProc lowerGet;
    aStreamPutProc lowerPut;
    aStreamWriteProc lowerWrite;
    aStreamDeleteProc lowerDelete;
    void* lowerRef;
    uint16_t marker;

    // Receive side, used by the reader only.
    uint8_t receive[aCOBS_MAX_BLOCK];
    size_t received;  // encoded bytes held; after a good block, the frame length
    size_t position;  // next frame byte to hand out
    bool ready;       // a decoded frame is being handed out
    bool overlong;    // the block being received lost bytes

    // Send side, used by the writer only.
    aPacket* assembling;
    uint8_t send[kSendBufferSize];
    size_t sendLength;
};

CobsState* sState(void* ref) {
    CobsState* state = static_cast<CobsState*>(ref);
    return state && state->marker == aCOBS_STREAM_MARKER ? state : nullptr;
}

// A good block decodes to address, length, data and a CRC over them, with the
// length byte telling the data's size.
bool sCheckBlock(const uint8_t* block, size_t size) {
    zv::ByteReader in(block, size);
    if (size < aPACKET_HEADER + kCrcSize) return false;
    in.u8();  // address
    const size_t dataLength = in.u8();
    if (size != dataLength + aPACKET_HEADER + kCrcSize) return false;
    in.skip(dataLength);
    const uint8_t crc = in.u8();
    return in.ok() && crc == crc8_create(block, size - kCrcSize);
}

aErr sReceiveDelimiter(CobsState* state) {
    const bool damaged = state->overlong;
    const size_t encoded = state->received;
    state->received = 0;
    state->overlong = false;
    if (encoded == 0 && !damaged) return aErrNotReady;  // idle line or back-to-back delimiters
    const size_t decoded = cobs_decode_inplace(state->receive, encoded);
    if (damaged || !sCheckBlock(state->receive, decoded)) return aErrPacket;
    state->received = decoded - kCrcSize;
    state->position = 0;
    state->ready = true;
    return aErrNotReady;
}

aErr sCobsStreamGet(uint8_t* byte, void* ref) {
    CobsState* state = sState(ref);
    if (!state || !byte) return aErrParam;

    if (state->ready) {
        zv::ByteReader frame(state->receive, state->received);
        frame.skip(state->position);
        *byte = frame.u8();
        if (++state->position >= state->received) {
            state->ready = false;
            state->position = 0;
            state->received = 0;
        }
        return aErrNone;
    }

    uint8_t lineByte = 0;
    const aErr err = state->lowerGet ? state->lowerGet(&lineByte, state->lowerRef) : aErrMode;
    if (err != aErrNone) return err == aErrNotReady ? aErrNotReady : err;

    if (lineByte == 0) return sReceiveDelimiter(state);
    if (state->received < sizeof state->receive) {
        zv::ByteWriter block(state->receive + state->received,
                             sizeof state->receive - state->received);
        block.u8(lineByte);
        ++state->received;
    } else {
        state->overlong = true;  // the rest of an over-long block is dropped
    }
    return aErrNotReady;
}

aErr sCobsStreamPut(const uint8_t* byte, void* ref) {
    CobsState* state = sState(ref);
    if (!state) return aErrParam;
    if (!state->lowerPut) return aErrMode;
    return state->lowerPut(byte, state->lowerRef);
}

aErr sLowerWrite(CobsState* state, const uint8_t* data, size_t length) {
    if (state->lowerWrite) return state->lowerWrite(data, length, state->lowerRef);
    if (!state->lowerPut) return aErrMode;
    zv::ByteReader in(data, length);
    while (!in.atEnd()) {
        const uint8_t byte = in.u8();
        const aErr err = state->lowerPut(&byte, state->lowerRef);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

// Turns the complete frame in `assembling` into one block and sends it.
aErr sSendFrame(CobsState* state) {
    size_t frameLength = 0;
    const aErr taken =
        aPacket_GetBytes(state->assembling, state->send, aPACKET_MAX_FRAME, &frameLength);
    aPacket_Reset(state->assembling);
    if (taken != aErrNone) return aErrNone;  // cannot be framed: skipped

    zv::ByteWriter crc(state->send + frameLength, sizeof state->send - frameLength);
    crc.u8(crc8_create(state->send, frameLength));
    const size_t encoded =
        cobs_encode_inplace(state->send, frameLength + kCrcSize, aCOBS_MAX_BLOCK);
    zv::ByteWriter delimiter(state->send + encoded, sizeof state->send - encoded);
    if (!crc.ok() || encoded == 0 || !delimiter.u8(0)) return aErrNone;
    state->sendLength = encoded + 1;
    return sLowerWrite(state, state->send, state->sendLength);
}

aErr sCobsStreamWrite(const uint8_t* data, size_t length, void* ref) {
    CobsState* state = sState(ref);
    if (!state || !data) return aErrParam;
    aErr result = aErrNone;
    zv::ByteReader in(data, length);
    while (!in.atEnd()) {
        if (aPacket_AddByte(state->assembling, in.u8()) != aErrNone) {
            aPacket_Reset(state->assembling);
            continue;
        }
        if (!aPacket_IsComplete(state->assembling)) continue;
        const aErr err = sSendFrame(state);
        if (err != aErrNone) result = err;
    }
    return result;
}

aErr sCobsStreamDelete(void* ref) {
    CobsState* state = sState(ref);
    if (!state) return aErrParam;
    const aErr err = state->lowerDelete ? state->lowerDelete(state->lowerRef) : aErrNone;
    aPacket_Destroy(&state->assembling);
    state->marker = 0;
    delete state;
    return err;
}

}  // namespace

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    CobsState* state = new (std::nothrow) CobsState{};
    if (!state) return aErrMemory;
    state->assembling = aPacket_Create();
    if (!state->assembling) {
        delete state;
        return aErrMemory;
    }
    state->lowerGet = get;
    state->lowerPut = put;
    state->lowerWrite = write;
    state->lowerDelete = del;
    state->lowerRef = ref;
    state->marker = aCOBS_STREAM_MARKER;

    aStreamRef made =
        aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, state);
    if (!made) {
        aPacket_Destroy(&state->assembling);
        delete state;
        return aErrResource;
    }
    *stream = made;
    return aErrNone;
}
