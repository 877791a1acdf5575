// Serial attachment: a pseudo-terminal carrying COBS frames with CRC-8, as a
// module on a serial port. A restart does not close the port; the module is
// just silent meanwhile.
#pragma once

#include <memory>

#include "pty_link.h"

namespace zvsim {

class SerialAttachment : public Attachment {
  public:
    SerialAttachment(Simulator& sim, SimModule& module) : sim_(sim), module_(module) {}
    ~SerialAttachment() override;

    bool open(std::string& error) override;
    void goDown() override;
    void comeUp() override;
    void dropLinks() override;

  private:
    Simulator& sim_;
    SimModule& module_;
    std::unique_ptr<PtyLink> link_;
    std::string symlink_;
};

}  // namespace zvsim
