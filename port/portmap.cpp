#include "portmap.h"

#include "diagnostics.h"
#include "fsread.h"
#include "portnumbers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxport {
namespace {

constexpr unsigned kLastNumber = 255;

std::mutex configMutex;
std::optional<PortMapConfig> configured;

bool IsVirtualName(const std::string& device)
{
    return device.rfind("\\\\", 0) == 0;
}

std::string LinkTarget(const fs::path& link)
{
    const fs::path target = ReadLink(link);
    std::string text = target.string();
    if (text.empty() || IsVirtualName(text) || target.is_absolute())
        return text;
    // The kernel reads a relative target from the folder that really holds
    // the link, which a linked link folder (dotfiles) puts elsewhere.
    return (Canonical(link.parent_path()) / target).lexically_normal().string();
}

std::vector<PortMapEntry> ReadLinks(const PortMapConfig& config)
{
    std::vector<PortMapEntry> links;
    for (const fs::path& item : ListFolder(config.linkFolder)) {
        const std::string name = item.filename().string();
        bool outOfRange = false;
        const unsigned number = PortNameNumber(name, outOfRange);
        if (outOfRange)
            Diagnose("port link " + item.string() + " is ignored: port numbers go from 1 to 255");
        if (number == 0)
            continue;
        if (!IsLink(item)) {
            Diagnose("port link " + item.string() + " is ignored: it is not a symbolic link");
            continue;
        }
        const std::string target = LinkTarget(item);
        if (target.empty())
            continue;
        PortMapEntry link;
        link.number = number;
        link.device = target;
        link.valueName = name;
        link.pinned = true;
        link.canonical = IsVirtualName(target) ? target : Canonical(target).string();
        links.push_back(std::move(link));
    }
    // Two links for one number ("com3", "COM03"): the shortest name wins, then
    // the first in byte order, the same way in every call.
    std::sort(links.begin(), links.end(), [](const PortMapEntry& a, const PortMapEntry& b) {
        if (a.number != b.number)
            return a.number < b.number;
        if (a.valueName.size() != b.valueName.size())
            return a.valueName.size() < b.valueName.size();
        return a.valueName < b.valueName;
    });
    for (auto& link : links)
        link.valueName = link.device;
    links.erase(std::unique(links.begin(), links.end(),
                            [](const PortMapEntry& a, const PortMapEntry& b) { return a.number == b.number; }),
                links.end());
    return links;
}

bool Present(const PortMapEntry& link)
{
    return IsVirtualName(link.device) || Exists(link.device);
}

// The entries of the links whose devices are present, one per device.
std::vector<PortMapEntry> PinnedEntries(const PortSnapshot& snapshot)
{
    std::map<std::string, int> ttyOf;
    for (size_t i = 0; i < snapshot.tree.ttys.size(); ++i)
        ttyOf.emplace(snapshot.tree.ttys[i].canonical, int(i));
    std::vector<PortMapEntry> pinned;
    std::set<std::string> devices;
    for (PortMapEntry link : snapshot.links) {
        if (!Present(link))
            continue;
        if (!devices.insert(link.canonical).second) {
            Diagnose("port link com" + std::to_string(link.number) + " names a device that a lower number "
                     "already names: it is not listed");
            continue;
        }
        if (auto it = ttyOf.find(link.canonical); it != ttyOf.end())
            link.tty = it->second;
        pinned.push_back(std::move(link));
    }
    return pinned;
}

fs::path AccountHome()
{
    passwd account{};
    passwd* found = nullptr;
    std::vector<char> text(16384);
    if (::getpwuid_r(::getuid(), &account, text.data(), text.size(), &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

} // namespace

unsigned PortNameNumber(const std::string& name, bool& outOfRange)
{
    outOfRange = false;
    if (name.size() < 4)
        return 0;
    for (int i = 0; i < 3; ++i)
        if (std::tolower(static_cast<unsigned char>(name[i])) != "com"[i])
            return 0;
    if (name.find_first_not_of("0123456789", 3) != std::string::npos)
        return 0;
    unsigned long number = 0;
    for (size_t i = 3; i < name.size() && number <= kLastNumber; ++i)
        number = number * 10 + unsigned(name[i] - '0');
    outOfRange = number < 1 || number > kLastNumber;
    return outOfRange ? 0 : unsigned(number);
}

PortMapConfig DefaultPortMapConfig()
{
    // A relative folder, or none where HOME is unset (a service, env -i),
    // would put the links and numbers below whatever folder the program
    // happens to start in.
    auto base = [](const char* variable, const char* underHome) {
        const char* xdg = std::getenv(variable);
        if (xdg && fs::path(xdg).is_absolute())
            return fs::path(xdg);
        const char* home = std::getenv("HOME");
        return (home && *home ? fs::path(home) : AccountHome()) / underHome;
    };
    PortMapConfig config;
    config.linkFolder = (base("XDG_CONFIG_HOME", ".config") / "vxcomm" / "ports").string();
    config.numberTable = (base("XDG_STATE_HOME", ".local/state") / "vxcomm" / "port-numbers").string();
    return config;
}

PortMapConfig CurrentPortMapConfig()
{
    std::lock_guard lock(configMutex);
    return configured ? *configured : DefaultPortMapConfig();
}

void SetPortMapConfig(const PortMapConfig& config)
{
    std::lock_guard lock(configMutex);
    configured = config;
}

void ResetPortMapConfig()
{
    std::lock_guard lock(configMutex);
    configured.reset();
}

PortSnapshot ReadPortSnapshot(const PortMapConfig& config)
{
    PortSnapshot snapshot;
    snapshot.config = config;
    snapshot.links = ReadLinks(config);
    snapshot.tree = ReadDeviceTree(config.sysfsRoot, config.devRoot);
    snapshot.entries = PinnedEntries(snapshot);

    std::set<unsigned> linked;
    for (const auto& link : snapshot.links)
        linked.insert(link.number); // also while the device is away: opening the number goes to the link
    std::set<std::string> pinnedDevices;
    for (const auto& entry : snapshot.entries)
        pinnedDevices.insert(entry.canonical);
    std::vector<int> unpinned;
    std::vector<NumberRequest> requests;
    for (size_t i = 0; i < snapshot.tree.ttys.size(); ++i) {
        const TtyDevice& tty = snapshot.tree.ttys[i];
        if (pinnedDevices.count(tty.canonical))
            continue;
        unpinned.push_back(int(i));
        requests.push_back({tty.identity, tty.fixedNumber});
    }
    const std::vector<unsigned> numbers = NumberDevices(config.numberTable, requests, linked);
    for (size_t k = 0; k < unpinned.size(); ++k) {
        if (numbers[k] == 0)
            continue;
        const TtyDevice& tty = snapshot.tree.ttys[size_t(unpinned[k])];
        PortMapEntry entry;
        entry.number = numbers[k];
        entry.device = entry.valueName = tty.node;
        entry.canonical = tty.canonical;
        entry.tty = unpinned[k];
        entry.followsSocket = tty.followsSocket;
        snapshot.entries.push_back(std::move(entry));
    }
    std::sort(snapshot.entries.begin(), snapshot.entries.end(),
              [](const PortMapEntry& a, const PortMapEntry& b) { return a.number < b.number; });
    return snapshot;
}

std::vector<PortMapEntry> ReadPortMap(const PortMapConfig& config)
{
    return ReadPortSnapshot(config).entries;
}

std::vector<PortMapEntry> ReadPortLinks(const PortMapConfig& config)
{
    return ReadLinks(config);
}

std::optional<std::string> ResolveComPort(unsigned number, const PortMapConfig& config)
{
    if (number < 1 || number > kLastNumber)
        return std::nullopt;
    // A link resolves even when its target is missing, so that opening it
    // reports the missing device.
    for (const auto& link : ReadLinks(config))
        if (link.number == number)
            return link.device;
    for (const auto& entry : ReadPortMap(config))
        if (entry.number == number)
            return entry.device;
    return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> SerialCommMap(const PortSnapshot& snapshot)
{
    std::vector<std::pair<std::string, std::string>> map;
    for (const auto& entry : snapshot.entries)
        map.emplace_back(entry.valueName, "COM" + std::to_string(entry.number));
    return map;
}

std::vector<std::pair<std::string, std::string>> SerialCommMap()
{
    return SerialCommMap(ReadPortSnapshot(CurrentPortMapConfig()));
}

} // namespace vxport
