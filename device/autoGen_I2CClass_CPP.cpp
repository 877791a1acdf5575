#include "autoGen_I2CClass_CPP.h"

#include "aBytes.h"
#include "aDefs.h"

namespace Veltrina {
namespace Zentrovia {
namespace {

constexpr uint8_t kReadBit = 0x01;
constexpr uint8_t kPullupTarget = 1;
constexpr uint8_t kStatusError = 0x80;
constexpr uint8_t kStatusCode = 0x7F;
// Command, index, address and length come before the status byte.
constexpr uint8_t kStatusOffset = 4;

}  // namespace

void I2CClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, cmdI2C, index);
}

// Sends the request (after the command byte) and takes the answer that
// starts with `match`; checks its status byte.
aErr I2CClass::transfer(const uint8_t* request, uint8_t requestLength, const uint8_t* match,
                        uint8_t matchLength, uint8_t* answer, uint8_t* answerLength) {
    aErr err = sendPacket(cmdI2C, requestLength, request);
    if (err != aErrNone) return err;
    *answerLength = matchLength;
    err = receivePacket(match, answerLength, answer);
    if (err != aErrNone) return err;
    zv::ByteReader r(answer, *answerLength);
    r.skip(kStatusOffset);
    const uint8_t status = r.u8();
    if (!r.ok()) return aErrPacket;
    if (status & kStatusError) return static_cast<aErr>(status & kStatusCode);
    return aErrNone;
}

aErr I2CClass::read(uint8_t address, uint8_t length, uint8_t* buffer) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (!buffer && length) return aErrParam;
    const uint8_t target = static_cast<uint8_t>(address | kReadBit);
    const uint8_t request[] = {getIndex(), target, length, m_speed};
    const uint8_t match[] = {cmdI2C, getIndex(), target};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t answerLength = 0;
    const aErr err = transfer(request, sizeof request, match, sizeof match, answer, &answerLength);
    if (err != aErrNone) return err;
    zv::ByteReader r(answer, answerLength);
    r.skip(sizeof match);
    const uint8_t repeated = r.u8();
    r.skip(1);  // status
    if (repeated != length || !r.bytes(buffer, length)) return aErrPacket;
    return aErrNone;
}

aErr I2CClass::write(uint8_t address, uint8_t length, const uint8_t* data) {
    if (length > kI2CMaxTransfer) return aErrSize;
    if (!data && length) return aErrParam;
    uint8_t request[aPACKET_MAX_DATA];
    zv::ByteWriter w(request, sizeof request);
    w.u8(getIndex());
    w.u8(address);
    w.u8(length);
    w.u8(m_speed);
    w.bytes(data, length);
    const uint8_t match[] = {cmdI2C, getIndex(), address, 0};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t answerLength = 0;
    return transfer(request, static_cast<uint8_t>(w.position()), match, sizeof match, answer,
                    &answerLength);
}

aErr I2CClass::setPullup(bool on) {
    const uint8_t request[] = {getIndex(), kPullupTarget, static_cast<uint8_t>(on ? 1 : 0)};
    const uint8_t match[] = {cmdI2C, getIndex(), kPullupTarget};
    uint8_t answer[aPACKET_MAX_DATA];
    uint8_t answerLength = 0;
    return transfer(request, sizeof request, match, sizeof match, answer, &answerLength);
}

aErr I2CClass::setSpeed(uint8_t speed) {
    if (speed > kI2CMaxSpeed) return aErrParam;
    m_speed = speed;
    return aErrNone;
}

uint8_t I2CClass::getSpeed() const {
    return m_speed;
}

}  // namespace Zentrovia
}  // namespace Veltrina
