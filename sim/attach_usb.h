// USB attachment through the libusb stand-in used by the tests: the module
// listens on a Unix socket named after its serial number in the stand-in's
// device directory. Every connection gets HELLO; one that sends OPEN is a
// host session whose bulk transfers carry raw frames. A restart removes the
// socket (the device leaves the bus) and closes the sessions.
#pragma once

#include <memory>
#include <vector>

#include "simulator.h"

namespace zvsim {

class UsbAttachment : public Attachment {
  public:
    UsbAttachment(Simulator& sim, SimModule& module);
    ~UsbAttachment() override;

    bool open(std::string& error) override;
    void goDown() override;
    void comeUp() override;
    void dropLinks() override;

  private:
    class UsbSession;

    bool plug(std::string& error);
    void unplug();
    void onAccept();
    bool claimedByOther(const UsbSession* session) const;
    void bury(UsbSession* session);

    Simulator& sim_;
    SimModule& module_;
    int listener_ = -1;
    std::string socketPath_;
    std::vector<std::unique_ptr<UsbSession>> sessions_;
    // Closed sessions may still be on the call stack; freed from a timer.
    std::vector<std::unique_ptr<UsbSession>> closed_;
    uint64_t reaper_ = 0;
};

}  // namespace zvsim
