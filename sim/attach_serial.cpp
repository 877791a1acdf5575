#include "attach_serial.h"

#include "log.h"

namespace zvsim {

SerialAttachment::~SerialAttachment() {
    if (link_ && !symlink_.empty()) removeSymlink(symlink_, link_->path());
}

bool SerialAttachment::open(std::string& error) {
    link_ =
        std::make_unique<PtyLink>(sim_, module_, PtyLink::Framing::Cobs, [this] { dropLinks(); });
    if (!link_->open(error)) return false;
    const std::string& wanted = module_.model.config().serialLink;
    if (!wanted.empty()) {
        if (!placeSymlink(wanted, link_->path(), error)) return false;
        symlink_ = wanted;
    }
    comeUp();
    return true;
}

void SerialAttachment::goDown() {
    link_->flush();
}

void SerialAttachment::comeUp() {
    sim_.announce("ready serial " + serialText(module_.model.serial()) + " " +
                  (symlink_.empty() ? link_->path() : symlink_));
}

// A serial line has no connection to cut; the nearest thing is losing
// everything in flight.
void SerialAttachment::dropLinks() {
    link_->flush();
}

}  // namespace zvsim
