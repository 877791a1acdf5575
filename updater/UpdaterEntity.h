// The device's firmware upgrade command (0x5F) over an open module link:
// opens the exchange, announces blocks, streams their bytes (data packets or
// one UEI byte transfer), has the device confirm byte sums, commits written
// data, starts a transferred loader and reboots the device into its new
// firmware. Message layouts live in UpgradeMessages.h.
//
// Every wait is bounded: a chunk the device keeps miscounting, a block size
// of 0, a loader that never comes back and a device that never leaves after
// REBOOT all end in an error code instead of a hang.
#pragma once

#include <cstdint>

#include "Entity.h"
#include "UpdaterDisplayInterface.h"
#include "UpgradeMessages.h"
#include "aError.h"

class UpdaterEntity : public Veltrina::Zentrovia::EntityClass {
  public:
    // Resends of one DATA chunk the device answers with a wrong count.
    static constexpr unsigned kChunkResendLimit = 8;
    // How long LoaderReboot waits for the link to drop.
    static constexpr unsigned kRebootDropWaitMs = 5000;
    // After LOAD: how long the device may keep answering before it restarts,
    // and how long its loader may take to answer again.
    static constexpr unsigned kLoaderLeaveWaitMs = 3000;
    static constexpr unsigned kLoaderReturnWaitMs = 10000;
    // Step of every wait for the device to leave or come back.
    static constexpr unsigned kWaitStepMs = 250;
    // The serial number a device presents while it has none (its loader).
    static constexpr uint32_t kBlankSerial = 0xDEADDEAD;

    UpdaterEntity();
    ~UpdaterEntity() override;

    // Binds the entity (command 0x5F, `index`) to the module and clears the
    // UEI data flag.
    void init(Veltrina::Zentrovia::Module* module, unsigned char index, bool validate,
              bool skipLinkDropWait);

    aErr LoaderInit();
    // aErrTimeout when the device does not answer; aErrInvalidOption for a
    // refusing status.
    aErr TransferPrepare(const unsigned char* block, unsigned int length, unsigned char flags,
                         unsigned short& blockSize);
    aErr LoaderTransfer(const unsigned char* block, unsigned int length);
    // aErrInvalidOption for a block size of 0 while payload remains.
    aErr FirmwareTransfer(const unsigned char* block, unsigned int length, unsigned short blockSize,
                          UpdaterDisplayInterface& display);
    aErr FirmwareWrite(unsigned int count);
    // Returns once the loader answers on the module (reconnected when its
    // restart dropped the link); aErrTimeout when it does not come back.
    aErr LoaderStart();
    // aErrTimeout when the link has not dropped within kRebootDropWaitMs
    // (the device did not restart).
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    aErr CheckUEIDataSupport();
    aErr CheckPooledPacketsSupport();

    bool usesUEIData() const { return ueiData_; }

  private:
    aErr _block_transfer(const unsigned char* data, unsigned int length, unsigned int& blocks);
    aErr _block_transfer_uei_helper(const unsigned char* data, unsigned int length,
                                    unsigned int& blocks, unsigned int& sum);
    aErr _reconnect(unsigned int delayMs);

    aErr send(const upgrade::Request& request);
    // The reply to a request of that option (whole packet data in `reply`);
    // aErrTimeout when none came.
    aErr receive(upgrade::Option option, unsigned char* reply, unsigned char& replyLength);
    // The module answers on its link: the link-level address echo, and for a
    // module behind a router (whose router answers that) an echo request.
    bool deviceAnswers();
    // After LOAD: waits for the device to leave (link dropped or silent), then
    // for its loader to answer, reconnecting a dropped link.
    aErr awaitLoaderRestart(bool alreadyLeft);

    Veltrina::Zentrovia::Module* module_ = nullptr;
    bool validate_ = true;
    bool skipLinkDropWait_ = false;
    bool ueiData_ = false;
};
