#include "attach_node.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <algorithm>
#include <cstdio>

#include "log.h"

namespace zvsim {
namespace {

constexpr uint64_t kUnplugDelayMs = 50;

std::string nodePath(const std::string& pattern, uint32_t serial) {
    const size_t at = pattern.find("%08X");
    if (at == std::string::npos) return pattern;
    return pattern.substr(0, at) + serialText(serial) + pattern.substr(at + 4);
}

}  // namespace

NodeAttachment::~NodeAttachment() {
    unplug();
    sim_.loop().cancel(reaper_);
    sim_.loop().cancel(quietTimer_);
    sim_.loop().cancel(unplugTimer_);
}

bool NodeAttachment::open(std::string& error) {
    return plug(error);
}

bool NodeAttachment::plug(std::string& error) {
    link_ = std::make_unique<PtyLink>(sim_, module_, PtyLink::Framing::Raw, [this] {
        // Pulled and plugged back in, as a cable would be.
        unplug();
        std::string e;
        if (!plug(e)) logLine("node %s: %s", serialText(module_.model.serial()).c_str(), e.c_str());
    });
    if (!link_->open(error)) return false;
    link_->setOnHostData([this] { onHostData(); });
    node_ = nodePath(module_.model.config().nodeTemplate, module_.model.serial());
    if (!placeSymlink(node_, link_->path(), error)) {
        link_->close();
        return false;
    }
    sim_.announce("ready node " + serialText(module_.model.serial()) + " " + node_);
    return true;
}

void NodeAttachment::unplug() {
    if (!link_) return;
    removeSymlink(node_, link_->path());
    link_->close();
    unplugged_.push_back(std::move(link_));
    exclusive_ = false;
    sim_.loop().cancel(quietTimer_);
    sim_.loop().cancel(reaper_);
    reaper_ = sim_.loop().after(0, [this] {
        reaper_ = 0;
        unplugged_.clear();
    });
}

// With busy set, the terminal turns exclusive while a host talks through it,
// so a second program that opens the node is told the device is busy.
// (Processes with CAP_SYS_ADMIN, root included, are exempt.) A host that has
// been quiet for a while is taken to be gone.
void NodeAttachment::onHostData() {
    if (!module_.model.config().busy || !link_) return;
    if (!exclusive_) exclusive_ = ioctl(link_->slave(), TIOCEXCL) == 0;
    sim_.loop().cancel(quietTimer_);
    const uint64_t quietMs = std::max<uint64_t>(2000, 3ull * module_.model.config().heartbeatMs);
    quietTimer_ = sim_.loop().after(quietMs, [this] {
        quietTimer_ = 0;
        if (link_ && exclusive_) ioctl(link_->slave(), TIOCNXCL);
        exclusive_ = false;
    });
}

void NodeAttachment::goDown() {
    unplugTimer_ = sim_.loop().after(kUnplugDelayMs, [this] {
        unplugTimer_ = 0;
        unplug();
    });
}

void NodeAttachment::comeUp() {
    if (unplugTimer_) {
        sim_.loop().cancel(unplugTimer_);
        unplugTimer_ = 0;
        unplug();
    }
    std::string error;
    if (!plug(error))
        logLine("node %s: %s", serialText(module_.model.serial()).c_str(), error.c_str());
}

void NodeAttachment::dropLinks() {
    unplug();
    comeUp();
}

}  // namespace zvsim
