#include "pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace zvsim {

bool openPty(Pty& pty, std::string& error) {
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0) {
        error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        closePty(pty);
        return false;
    }
    char name[128];
    if (ptsname_r(pty.master, name, sizeof name) != 0) {
        error = "cannot name the pseudo-terminal";
        closePty(pty);
        return false;
    }
    pty.path = name;
    pty.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (pty.slave < 0 || tcgetattr(pty.slave, &tio) != 0) {
        error = "cannot open " + pty.path + ": " + std::strerror(errno);
        closePty(pty);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    tcsetattr(pty.slave, TCSANOW, &tio);
    return true;
}

void closePty(Pty& pty) {
    if (pty.slave >= 0) close(pty.slave);
    if (pty.master >= 0) close(pty.master);
    pty.slave = pty.master = -1;
    pty.path.clear();
}

bool placeSymlink(const std::string& link, const std::string& target, std::string& error) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = link + " exists and is not a symlink";
            return false;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot create " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void removeSymlink(const std::string& link, const std::string& target) {
    std::vector<char> buf(target.size() + 2);
    const ssize_t n = readlink(link.c_str(), buf.data(), buf.size());
    if (n >= 0 && std::string(buf.data(), static_cast<size_t>(n)) == target) unlink(link.c_str());
}

}  // namespace zvsim
