#include "PortLink.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
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

// The number a port-map entry's name gives, as the port layer reads it: "com"
// in any letter case and decimal digits, so that COM1 and com01 are COM1 too.
int entryNumber(const std::string& name) {
    if (name.size() < 4 || name.size() > 8)
        return 0;
    for (size_t i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != "com"[i])
            return 0;
    if (name.find_first_not_of("0123456789", 3) != std::string::npos)
        return 0;
    return std::stoi(name.substr(3));
}

// The entry that already names COM<port>: com<port> itself, or else another
// spelling of it. The simulator works on that one, so that the folder never
// holds two links for one port.
std::string entryFor(const std::string& folder, int port) {
    std::string path = folder + "/com" + std::to_string(port);
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) == 0)
        return path;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return path;
    while (const dirent* e = ::readdir(dir)) {
        if (entryNumber(e->d_name) == port) {
            path = folder + "/" + e->d_name;
            break;
        }
    }
    ::closedir(dir);
    return path;
}

// Points path at target in one step, so that the name never points nowhere.
std::optional<std::string> replaceLink(const std::string& path, const std::string& target) {
    std::string temp = path + ".new" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0)
        return systemError("cannot create " + temp);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        auto error = systemError("cannot replace " + path);
        ::unlink(temp.c_str());
        return error;
    }
    return std::nullopt;
}

// The lock file records the target of the simulator's link and, on a second
// line, the user's link target that it lent, so that a simulator that takes
// over the link of a killed one can still put the user's link back.
struct Record {
    std::string target, lent;
};

Record parseRecord(const std::string& text) {
    const size_t end = text.find('\n');
    if (end == std::string::npos)
        return {text, {}};
    return {text.substr(0, end), text.substr(end + 1)};
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
    std::string base = config && *config == '/' ? config : homeFolder() + "/.config";
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
    return lockFd_ >= 0 && old && !old->empty() && parseRecord(readAll(lockFd_)).target == *old;
}

void PortLink::record(const std::string& target) {
    if (lockFd_ >= 0)
        writeAll(lockFd_, target.empty() || !restore_ ? target : target + "\n" + *restore_);
}

std::optional<std::string> PortLink::create(int port, const std::string& target, bool force) {
    remove();
    std::string folder = portMapFolder();
    if (!makeFolders(folder))
        return systemError("cannot create the port map folder " + folder);
    std::string path = entryFor(folder, port);
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
        const bool ended = leftByEndedSimulator(old);
        const bool simulators = otherSimulator || ended;
        bool live = old && *old != target && (otherSimulator || (!simulators && ::stat(path.c_str(), &device) == 0));
        if (live && !force)
            return name + " is already registered to the live device " + *old + " (" + path +
                   "); stop the program that uses it, or use --force to take it over";
        if (auto error = replaceLink(path, target))
            return error;
        path_ = path;
        target_ = target;
        // A user's registration, such as an adapter that is unplugged now, is
        // only lent: it comes back when the simulator ends.
        if (old && *old != target && !simulators)
            restore_ = old;
        else if (std::string lent = ended ? parseRecord(readAll(lockFd_)).lent : ""; !lent.empty())
            restore_ = lent;
        record(target);
        return std::nullopt;
    }
    return "cannot register " + name + " at " + path + ": it keeps changing";
}

void PortLink::remove() {
    if (!path_.empty() && readLink(path_) == target_) {
        if (!restore_ || replaceLink(path_, *restore_))
            ::unlink(path_.c_str());
        record("");
    }
    path_.clear();
    target_.clear();
    restore_.reset();
    // The lock file stays: removing it could let two simulators lock two
    // different files of the same name.
    if (lockFd_ >= 0)
        ::close(lockFd_);
    lockFd_ = -1;
}

} // namespace irsim
