#include "PortLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace irsim {

namespace {

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return pw->pw_dir;
    return "/";
}

// mkdir -p
bool makeFolders(const std::string& path) {
    for (size_t slash = 1; slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::optional<std::string> readLink(const std::string& path) {
    char buffer[4096];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (n < 0)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string readAll(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

bool writeAll(int fd, const std::string& text) {
    if (::ftruncate(fd, 0) != 0)
        return false;
    return ::pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

} // namespace

std::string portMapFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Read exactly as the port layer reads it, so that both agree on the folder.
    std::string base = config && *config ? config : homeFolder() + "/.config";
    return base + "/vxcomm/ports";
}

std::string portLinkPath(int port) { return portMapFolder() + "/com" + std::to_string(port); }

std::string portLockPath(int port) { return portLinkPath(port) + ".lock"; }

bool PortLink::lock(int port) {
    lockFd_ = ::open(portLockPath(port).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd_ < 0)
        return false;
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0)
        return true;
    ::close(lockFd_);
    lockFd_ = -1;
    return false;
}

bool PortLink::leftByEndedSimulator(const std::optional<std::string>& old) const {
    return lockFd_ >= 0 && old && !old->empty() && readAll(lockFd_) == *old;
}

void PortLink::record(const std::string& target) {
    if (lockFd_ >= 0)
        writeAll(lockFd_, target);
}

std::optional<std::string> PortLink::create(int port, const std::string& target, bool force) {
    remove();
    std::string folder = portMapFolder();
    if (!makeFolders(folder))
        return systemError("cannot create the port map folder " + folder);
    std::string path = portLinkPath(port);
    std::string name = "COM" + std::to_string(port);
    // The lock is held while this simulator lives; the system lets it go
    // however the process ends. Not getting it means another simulator plays
    // this port now.
    const bool otherSimulator = !lock(port);
    // Two simulators may start at once: symlink() fails on an existing entry,
    // so only one of them can take a free name.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (::symlink(target.c_str(), path.c_str()) == 0) {
            path_ = path;
            target_ = target;
            record(target);
            return std::nullopt;
        }
        if (errno != EEXIST)
            return systemError("cannot create " + path);
        struct stat entry {};
        if (::lstat(path.c_str(), &entry) != 0)
            continue; // gone meanwhile: try again
        if (!S_ISLNK(entry.st_mode))
            return path + " exists and is not a link; remove it to register " + name;
        auto old = readLink(path);
        struct stat device {};
        // A simulator that was killed leaves its link behind, and the
        // pseudo-terminal it named may already belong to somebody else: the
        // record in the lock file tells that link from a live one.
        bool live = old && *old != target &&
                    (otherSimulator || (!leftByEndedSimulator(old) && ::stat(path.c_str(), &device) == 0));
        if (live && !force)
            return name + " is already registered to the live device " + *old + " (" + path +
                   "); stop the program that uses it, or use --force to take it over";
        // Replace it in one step, so that the name never points nowhere.
        std::string temp = path + ".new" + std::to_string(::getpid());
        ::unlink(temp.c_str());
        if (::symlink(target.c_str(), temp.c_str()) != 0)
            return systemError("cannot create " + temp);
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            auto error = systemError("cannot replace " + path);
            ::unlink(temp.c_str());
            return error;
        }
        path_ = path;
        target_ = target;
        record(target);
        return std::nullopt;
    }
    return "cannot register " + name + " at " + path + ": it keeps changing";
}

void PortLink::remove() {
    if (!path_.empty() && readLink(path_) == target_) {
        ::unlink(path_.c_str());
        record("");
    }
    path_.clear();
    target_.clear();
    // The lock file stays: removing it could let two simulators lock two
    // different files of the same name.
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

} // namespace irsim
