// Pseudo-terminals for the serial and kernel-node attachments. The simulator
// keeps the slave side open itself, so the master never reports a hang-up
// while no host has the port open (an idle poll would otherwise spin), and
// sets it raw so no line discipline touches the frames.
#pragma once

#include <string>

namespace zvsim {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string path;  // the slave device, e.g. /dev/pts/7
};

bool openPty(Pty& pty, std::string& error);
void closePty(Pty& pty);

// Points `link` at `target`, replacing an older symlink; refuses to replace
// anything that is not a symlink.
bool placeSymlink(const std::string& link, const std::string& target, std::string& error);
// Removes `link` when it still points at `target`.
void removeSymlink(const std::string& link, const std::string& target);

}  // namespace zvsim
