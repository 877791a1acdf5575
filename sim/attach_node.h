// Kernel driver attachment: a pseudo-terminal carrying raw frames, reachable
// through a symlink at the driver's node name for the module's current
// serial number. A restart removes the node and closes the terminal (after a
// moment, since closing a terminal discards what the host has not read yet,
// the module's last answer included).
#pragma once

#include <memory>
#include <vector>

#include "pty_link.h"

namespace zvsim {

class NodeAttachment : public Attachment {
  public:
    NodeAttachment(Simulator& sim, SimModule& module) : sim_(sim), module_(module) {}
    ~NodeAttachment() override;

    bool open(std::string& error) override;
    void goDown() override;
    void comeUp() override;
    void dropLinks() override;

  private:
    bool plug(std::string& error);
    void unplug();
    void onHostData();

    Simulator& sim_;
    SimModule& module_;
    std::unique_ptr<PtyLink> link_;
    // Unplugged links may still be on the call stack (a frame cut the link);
    // they are freed from a timer.
    std::vector<std::unique_ptr<PtyLink>> unplugged_;
    uint64_t reaper_ = 0;
    std::string node_;
    bool exclusive_ = false;
    uint64_t quietTimer_ = 0;
    uint64_t unplugTimer_ = 0;
};

}  // namespace zvsim
