#include "uei_messages.h"

namespace zvsim {

bool parseUeiRequest(const Frame& frame, UeiRequest& request) {
    zv::ByteReader r = frame.reader();
    request.command = r.u8();
    const uint8_t optionByte = r.u8();
    const uint8_t specifier = r.u8();
    if (!r.ok()) return false;
    const uint8_t mode = optionByte & kOptionSetAnswer;
    if (mode != kOptionGet && mode != kOptionSet) return false;
    request.option = optionByte & kOptionMask;
    request.index = specifier & kIndexMask;
    request.get = mode == kOptionGet;
    request.set = mode == kOptionSet;
    request.value.resize(r.remaining());
    r.bytes(request.value.data(), request.value.size());
    return true;
}

bool valueU8(const UeiRequest& request, uint8_t& v) {
    zv::ByteReader r(request.value.data(), request.value.size());
    v = r.u8();
    return r.ok() && r.atEnd();
}

bool valueU32(const UeiRequest& request, uint32_t& v) {
    zv::ByteReader r(request.value.data(), request.value.size());
    v = r.u32be();
    return r.ok() && r.atEnd();
}

Frame ueiAnswer(uint8_t address, const UeiRequest& request) {
    FrameWriter w(address);
    w.u8(request.command).u8(request.answerOption()).u8(request.index);
    return w.finish();
}

Frame ueiAnswerU8(uint8_t address, const UeiRequest& request, uint8_t value) {
    FrameWriter w(address);
    w.u8(request.command).u8(request.answerOption()).u8(request.index).u8(value);
    return w.finish();
}

Frame ueiAnswerU32(uint8_t address, const UeiRequest& request, uint32_t value) {
    FrameWriter w(address);
    w.u8(request.command).u8(request.answerOption()).u8(request.index).u32(value);
    return w.finish();
}

Frame ueiError(uint8_t address, const UeiRequest& request, aErr error) {
    FrameWriter w(address);
    w.u8(request.command)
        .u8(request.answerOption())
        .u8(request.index | kSpecifierError)
        .u8(static_cast<uint8_t>(error));
    return w.finish();
}

std::vector<Frame> ueiBytesAnswer(uint8_t address, const UeiRequest& request,
                                  const std::vector<uint8_t>& bytes) {
    std::vector<Frame> frames;
    zv::ByteReader in(bytes.data(), bytes.size());
    uint8_t sequence = 0;
    do {
        const size_t n = in.remaining() < kBytesChunk ? in.remaining() : kBytesChunk;
        const bool more = in.remaining() > n;
        FrameWriter w(address);
        w.u8(request.command).u8(request.answerOption()).u8(request.index);
        w.bytes(in.view(n), n);
        w.u8(static_cast<uint8_t>((more ? kSequenceMore : 0) | (sequence & kSequenceMask)));
        frames.push_back(w.finish());
        sequence = static_cast<uint8_t>((sequence + 1) & kSequenceMask);
    } while (!in.atEnd());
    return frames;
}

bool parseUeiBytesChunk(const UeiRequest& request, UeiBytesChunk& chunk) {
    if (request.value.empty()) return false;
    zv::ByteReader r(request.value.data(), request.value.size());
    chunk.payload.resize(request.value.size() - 1);
    r.bytes(chunk.payload.data(), chunk.payload.size());
    const uint8_t sequence = r.u8();
    chunk.sequence = sequence & kSequenceMask;
    chunk.more = (sequence & kSequenceMore) != 0;
    return r.ok() && chunk.payload.size() <= kBytesChunk;
}

Frame streamSample(uint8_t address, uint8_t command, uint8_t option, uint8_t index, uint8_t type,
                   uint64_t timestampUs, uint32_t value) {
    FrameWriter w(address);
    w.u8(command).u8(option).u8(index | kSpecifierStream).u8(type);
    w.u32(static_cast<uint32_t>(timestampUs >> 32)).u32(static_cast<uint32_t>(timestampUs));
    if (type == kStreamTypeU8)
        w.u8(static_cast<uint8_t>(value));
    else
        w.u32(value);
    w.u8(0);
    return w.finish();
}

}  // namespace zvsim
