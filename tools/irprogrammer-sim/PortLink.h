#pragma once
// The simulator's entry in the per-user port map: a symbolic link
// $XDG_CONFIG_HOME/vxcomm/ports/com<N> (~/.config when XDG_CONFIG_HOME is not
// set) that points at the device the port layer opens for COM<N>.
#include <optional>
#include <string>

namespace irsim {

std::string portMapFolder();
std::string portLinkPath(int port);
std::string portLockPath(int port);

class PortLink {
public:
    PortLink() = default;
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;
    ~PortLink() { remove(); }

    // Links COM<port> to target, in the entry that names the port already if
    // there is one (com<port> or another spelling of it). An existing link is
    // replaced when it is stale (its target is gone, it already points at
    // target, or a simulator made it and has ended) or when force is set; a
    // link of another running simulator or to another live device, or
    // anything that is not a link, is left alone and reported. A replaced link
    // that no simulator made is put back by remove(). Returns an error message
    // on failure.
    std::optional<std::string> create(int port, const std::string& target, bool force);

    // Removes the link if it is still the one this object made, or puts back
    // the link it replaced.
    void remove();

    const std::string& path() const { return path_; }

private:
    bool lock(int port);
    bool leftByEndedSimulator(const std::optional<std::string>& old) const;
    void record(const std::string& target);

    std::string path_;
    std::string target_;
    std::optional<std::string> restore_;
    int lockFd_ = -1;
};

} // namespace irsim
