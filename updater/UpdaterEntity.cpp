#include "UpdaterEntity.h"

#include <algorithm>

#include "Log.h"
#include "Module.h"
#include "aDefs.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aTime.h"
#include "aUEI.h"
#include "autoGen_SystemClass_CPP.h"

using Veltrina::Zentrovia::Link;
using Veltrina::Zentrovia::Module;
using Veltrina::Zentrovia::SystemClass;

namespace {

constexpr int kReconnectAttempts = 5;
constexpr unsigned kReconnectDelayMs = 500;
// Bit 31 of the protocol feature word: the device takes pooled packets.
constexpr uint32_t kFeaturePooledPackets = 0x80000000u;
constexpr uint8_t kSetRequestFlag = 0x80;
const char kVerifying[] = "Verifying Update";

uint64_t now() {
    return aTime_GetMonotonicMSTicks();
}

}  // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* module, unsigned char index, bool validate,
                         bool skipLinkDropWait) {
    EntityClass::init(module, upgrade::kCommand, index);
    module_ = module;
    validate_ = validate;
    skipLinkDropWait_ = skipLinkDropWait;
    ueiData_ = false;
}

aErr UpdaterEntity::send(const upgrade::Request& request) {
    return sendPacket(upgrade::kCommand, request.length, request.bytes);
}

aErr UpdaterEntity::receive(upgrade::Option option, unsigned char* reply,
                            unsigned char& replyLength) {
    const upgrade::Match match = upgrade::ReplyMatch(option);
    replyLength = upgrade::Match::length;
    return receivePacket(match.bytes, &replyLength, reply);
}

aErr UpdaterEntity::LoaderInit() {
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char length = 0;
    aErr err = send(upgrade::InitRequest());
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    err = receive(upgrade::kInit, reply, length);
    uint32_t loadBase = 0;
    if (err != aErrNone || !upgrade::ParseInitReply(reply, length, loadBase)) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(INIT): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(loadBase),
             loadBase);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* block, unsigned int length,
                                    unsigned char flags, unsigned short& blockSize) {
    uint32_t address = 0;
    if (!upgrade::BlockAddress(block, length, address)) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Preparing block at %08X, %u bytes, flags %u\n", address,
             length, flags);
    aErr err = send(upgrade::PrepareRequest(flags, address));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    err = receive(upgrade::kPrepare, reply, replyLength);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return err;
    }
    uint8_t status = 0;
    uint16_t size = 0;
    if (!upgrade::ParsePrepareReply(reply, replyLength, status, size)) return aErrPacket;
    if (status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = size;
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* block, unsigned int length) {
    if (!block || length < upgrade::kBlockAddressSize) return aErrParam;
    unsigned int blocks = 0;
    return _block_transfer(block + upgrade::kBlockAddressSize,
                           length - static_cast<unsigned int>(upgrade::kBlockAddressSize), blocks);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned int length,
                                               unsigned int& blocks, unsigned int& sum) {
    uei message{};
    message.type = ueiTYPE_BYTES;
    message.bytes.buffer = const_cast<unsigned char*>(data);  // only read while sending
    message.bytes.bufferLength = length;
    const aErr err = setUEI(upgrade::kDataUEI, &message);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: UEI data transfer of %u bytes failed (%d)\n", length,
                 err);
        return err;
    }
    sum = upgrade::AddToSum(0, data, length);
    blocks = 1;
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned int length,
                                    unsigned int& blocks) {
    unsigned int sum = 0;
    blocks = 0;
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    if (ueiData_) {
        const aErr err = _block_transfer_uei_helper(data, length, blocks, sum);
        if (err != aErrNone) return err;
    } else {
        unsigned int done = 0;
        unsigned int resends = 0;
        while (done < length) {
            const unsigned int chunk =
                std::min<unsigned int>(length - done, upgrade::kMaxDataChunk);
            upgrade::Request request;
            if (!upgrade::DataRequest(data + done, chunk, request)) return aErrParam;
            aErr err = send(request);
            if (err != aErrNone) return err;
            err = receive(upgrade::kData, reply, replyLength);
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                return aErrPacket;
            }
            uint8_t taken = 0;
            if (!upgrade::ParseDataReply(reply, replyLength, taken) || taken != chunk) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", taken,
                         chunk);
                // The device keeps miscounting this chunk: give the block up
                // instead of sending it forever.
                if (++resends > kChunkResendLimit) {
                    Log::log(DEBUG_Network_FIRM,
                             "NETWORK: Chunk refused %u times in a row, giving up the block.\n",
                             resends);
                    return aErrPacket;
                }
                continue;
            }
            resends = 0;
            sum = upgrade::AddToSum(sum, data + done, chunk);
            done += chunk;
            ++blocks;
        }
    }
    if (!validate_) return aErrNone;

    send(upgrade::SumRequest());  // a lost request shows as a missing reply
    if (receive(upgrade::kSum, reply, replyLength) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    uint8_t status = 0;
    uint32_t deviceSum = 0;
    const bool parsed = upgrade::ParseSumReply(reply, replyLength, status, deviceSum);
    if (!parsed || status != 0 || deviceSum != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
                 deviceSum);
        return aErrInvalidOption;
    }
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* block, unsigned int length,
                                     unsigned short blockSize, UpdaterDisplayInterface& display) {
    if (!block || length < upgrade::kBlockAddressSize) return aErrParam;
    unsigned int remaining = length - static_cast<unsigned int>(upgrade::kBlockAddressSize);
    const unsigned char* data = block + upgrade::kBlockAddressSize;
    aErr err = aErrNone;
    display.display_progress(true);
    if (remaining > 0 && blockSize == 0) {
        // Chunks of 0 bytes would never finish the block.
        Log::log(DEBUG_Network_FIRM, "NETWORK: The device announced a block size of 0.\n");
        err = aErrInvalidOption;
    }
    while (remaining > 0 && err == aErrNone) {
        const unsigned int chunk = std::min<unsigned int>(remaining, blockSize);
        unsigned int blocks = 0;
        err = _block_transfer(data, chunk, blocks);
        if (err != aErrNone) break;
        remaining -= chunk;
        data += chunk;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        err = FirmwareWrite(chunk);
    }
    display.display_progress(false);
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(unsigned int count) {
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    aErr err = send(upgrade::WriteRequest(count));
    if (err != aErrNone) return err;
    err = receive(upgrade::kWrite, reply, replyLength);
    uint8_t status = 0;
    if (err != aErrNone || !upgrade::ParseStatus(reply, replyLength, status) || status != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    return aErrNone;
}

bool UpdaterEntity::deviceAnswers() {
    Link* link = module_ ? module_->getLink() : nullptr;
    if (!link || !module_->isConnected()) return false;
    uint8_t front = 0;
    if (link->getModuleAddress(&front) != aErrNone) return false;
    if (front == module_->getModuleAddress()) return true;
    // The router answered for its link; the module behind it answers an echo.
    static const uint8_t kProbe[] = {upgrade::kCommand, upgrade::kLoad};
    return module_->debug(kProbe, sizeof kProbe) == aErrNone;
}

aErr UpdaterEntity::_reconnect(unsigned int delayMs) {
    if (!module_) return aErrConnection;
    module_->disconnect();
    linkSpec spec{};
    const bool usb = module_->getLinkSpecifier(&spec) == aErrNone && spec.type == USB;
    aErr err = aErrConnection;
    for (int attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n", attempt,
                 kReconnectAttempts);
        err = module_->reconnect();
        if (err == aErrNone) break;
        module_->disconnect();
        // A loader without a serial number of its own enumerates under the
        // blank one.
        if (usb && spec.serial_num != kBlankSerial) {
            Log::log(DEBUG_Network,
                     "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", attempt,
                     kReconnectAttempts);
            err = module_->connect(USB, kBlankSerial);
            if (err == aErrNone) break;
            module_->disconnect();
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    if (err == aErrNone) Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
    return err;
}

aErr UpdaterEntity::awaitLoaderRestart(bool alreadyLeft) {
    bool left = alreadyLeft;
    uint64_t deadline = now() + kLoaderLeaveWaitMs;
    while (!left) {
        if (!module_->isConnected() || !deviceAnswers()) {
            left = true;
        } else {
            if (now() >= deadline) break;
            aTime_MSSleep(kWaitStepMs);
        }
    }
    if (!left) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: The device kept answering after LOAD; its loader runs in place.\n");
        return aErrNone;
    }
    deadline = now() + kLoaderReturnWaitMs;
    for (;;) {
        if (module_->isConnected() && deviceAnswers()) return aErrNone;
        if (now() >= deadline) break;
        if (!module_->isConnected())
            _reconnect(kReconnectDelayMs);
        else
            aTime_MSSleep(kWaitStepMs);
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: The loader did not answer within %u ms.\n",
             kLoaderReturnWaitMs);
    return aErrTimeout;
}

aErr UpdaterEntity::LoaderStart() {
    if (!module_) return aErrConnection;
    aErr err = send(upgrade::LoadRequest());
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    unsigned char reply[aPACKET_MAX_DATA];
    unsigned char replyLength = 0;
    if (receive(upgrade::kLoad, reply, replyLength) == aErrNone) return awaitLoaderRestart(false);

    // No echo: the device restarted into its loader before answering.
    if (awaitLoaderRestart(true) != aErrNone) return aErrTimeout;
    return receive(upgrade::kLoad, reply, replyLength) == aErrNone ? aErrNone : aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    aErr result = module_ ? send(upgrade::RebootRequest()) : aErrConnection;
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    const uint64_t deadline = now() + kRebootDropWaitMs;
    bool waitedOut = false;
    while (module_ && module_->isConnected()) {
        if (now() >= deadline) {
            waitedOut = true;
            break;
        }
        aTime_MSSleep(kWaitStepMs);
        display.update_spinner(true, kVerifying);
        if (skipLinkDropWait_) break;
    }
    display.update_spinner(false, kVerifying);
    if (waitedOut) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: The link did not drop within %u ms of REBOOT.\n",
                 kRebootDropWaitMs);
        if (result == aErrNone) result = aErrTimeout;
    }
    return result;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (!module_) return aErrConnection;
    const aErr err =
        module_->hasUEI(upgrade::kCommand, upgrade::kDataUEI, getIndex(), kSetRequestFlag);
    if (err == aErrNone) ueiData_ = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (!module_) return aErrConnection;
    SystemClass system;
    system.init(module_, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    if (err != aErrNone) return err;
    if (!(features & kFeaturePooledPackets)) return aErrNone;
    Link* link = module_->getLink();
    if (!link) return aErrConnection;
    return link->enablePooledPackets(true);
}
