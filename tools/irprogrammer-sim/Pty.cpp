#include "Pty.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace irsim {

Pty::~Pty() {
    if (master_ >= 0)
        ::close(master_);
    if (slave_ >= 0)
        ::close(slave_);
}

std::optional<std::string> Pty::open() {
    char name[PATH_MAX] = {};
    termios tio {};
    ::cfmakeraw(&tio);
    tio.c_cflag = (tio.c_cflag & ~(CSIZE | PARENB | CSTOPB | CRTSCTS)) | CS8 | CREAD | CLOCAL;
    ::cfsetispeed(&tio, B9600);
    ::cfsetospeed(&tio, B9600);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::openpty(&master_, &slave_, name, &tio, nullptr) != 0)
        return std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    slavePath_ = name;
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    return std::nullopt;
}

bool releaseAbandonedPort(int slave) {
    int exclusive = 0;
    if (::ioctl(slave, TIOCGEXCL, &exclusive) != 0 || !exclusive)
        return false;
    // A tool that still has the port holds its lock.
    if (::flock(slave, LOCK_EX | LOCK_NB) != 0)
        return false;
    ::ioctl(slave, TIOCNXCL);
    ::flock(slave, LOCK_UN);
    return true;
}

} // namespace irsim
