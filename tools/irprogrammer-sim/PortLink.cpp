#include "PortLink.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
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

} // namespace

std::string portMapFolder() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    // Read exactly as the port layer reads it, so that both agree on the folder.
    std::string base = config && *config ? config : homeFolder() + "/.config";
    return base + "/vxcomm/ports";
}

std::string portLinkPath(int port) { return portMapFolder() + "/com" + std::to_string(port); }

std::optional<std::string> PortLink::create(int port, const std::string& target, bool force) {
    remove();
    std::string folder = portMapFolder();
    if (!makeFolders(folder))
        return systemError("cannot create the port map folder " + folder);
    std::string path = portLinkPath(port);
    std::string name = "COM" + std::to_string(port);
    // Two simulators may start at once: symlink() fails on an existing entry,
    // so only one of them can take a free name.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (::symlink(target.c_str(), path.c_str()) == 0) {
            path_ = path;
            target_ = target;
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
        bool live = old && *old != target && ::stat(path.c_str(), &device) == 0;
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
        return std::nullopt;
    }
    return "cannot register " + name + " at " + path + ": it keeps changing";
}

void PortLink::remove() {
    if (path_.empty())
        return;
    if (readLink(path_) == target_)
        ::unlink(path_.c_str());
    path_.clear();
    target_.clear();
}

} // namespace irsim
