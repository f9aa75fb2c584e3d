#include "portmap.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

namespace fs = std::filesystem;

namespace vxport {
namespace {

constexpr unsigned kFixedSlots = 32;   // ttyS0..ttyS31 are COM1..COM32
constexpr unsigned kFirstHashed = 33;
constexpr unsigned kHashedSlots = 223; // COM33..COM255

std::mutex configMutex;
std::optional<PortMapConfig> configured;

std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    std::getline(in, value);
    while (!value.empty() && (value.back() == '\n' || value.back() == ' ' || value.back() == '\r'))
        value.pop_back();
    return value;
}

uint32_t Fnv1a(const std::string& text)
{
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 16777619u;
    }
    return hash;
}

// "com12" -> 12; 0 for anything else.
unsigned LinkNumber(const std::string& name)
{
    if (name.size() < 4 || name.compare(0, 3, "com") != 0 || name.size() > 8)
        return 0;
    unsigned n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        n = n * 10 + unsigned(name[i] - '0');
    }
    return n;
}

std::string LinkTarget(const fs::path& link)
{
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    if (ec)
        return {};
    std::string text = target.string();
    if (text.rfind("\\\\", 0) == 0 || target.is_absolute())
        return text;
    return (link.parent_path() / target).lexically_normal().string();
}

bool Exists(const std::string& device)
{
    if (device.rfind("\\\\", 0) == 0)
        return true; // a virtual port name, not a file
    std::error_code ec;
    return fs::exists(device, ec);
}

std::vector<PortMapEntry> ReadLinks(const PortMapConfig& config)
{
    std::vector<PortMapEntry> links;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(config.linkFolder, ec)) {
        const unsigned number = LinkNumber(item.path().filename().string());
        if (number == 0 || !item.is_symlink(ec))
            continue;
        std::string target = LinkTarget(item.path());
        if (!target.empty())
            links.push_back({number, target, item.path().filename().string(), true});
    }
    // Two links for one number ("com3", "com03"): the plain name wins, the
    // same way in every call whatever order the folder lists them in.
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

// The identity that survives restarts and re-plugging (see the header).
std::string Identity(const fs::path& sysfs, const std::string& name, const fs::path& device)
{
    std::string interface;
    const fs::path devices = sysfs / "devices";
    for (fs::path dir = device; dir.has_relative_path() && dir != sysfs && dir != devices;
         dir = dir.parent_path()) {
        const std::string leaf = dir.filename().string();
        if (interface.empty() && leaf.find(':') != std::string::npos)
            interface = leaf.substr(leaf.find(':') + 1);
        std::error_code ec;
        if (fs::exists(dir / "idVendor", ec)) {
            const std::string serial = ReadAttribute(dir / "serial");
            return "usb:" + ReadAttribute(dir / "idVendor") + ":" + ReadAttribute(dir / "idProduct") + ":" +
                   (serial.empty() ? "@" + leaf : serial) + ":" + interface;
        }
    }
    return device.lexically_relative(sysfs).string() + "/" + name;
}

struct Candidate {
    std::string name;
    std::string identity;
    unsigned fixed; // 0: derived from the identity
};

std::vector<Candidate> ScanSysfs(const PortMapConfig& config)
{
    std::vector<Candidate> found;
    const fs::path sysfs = config.sysfsRoot;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(sysfs / "class" / "tty", ec)) {
        const std::string name = item.path().filename().string();
        const fs::path link = item.path() / "device";
        std::error_code linkError;
        if (!fs::exists(link, linkError)) {
            if (name.rfind("rfcomm", 0) == 0)
                found.push_back({name, "rfcomm:" + name, 0});
            continue;
        }
        // Legacy ttyS ports that the kernel reserves without hardware.
        if (fs::exists(item.path() / "type", linkError) && ReadAttribute(item.path() / "type") == "0")
            continue;
        unsigned fixed = 0;
        // At most two digits: a longer index is never a fixed slot, and would
        // overflow the conversion.
        if (name.rfind("ttyS", 0) == 0 && name.size() > 4 && name.size() <= 6 &&
            name.find_first_not_of("0123456789", 4) == std::string::npos) {
            const unsigned index = unsigned(std::stoul(name.substr(4)));
            if (index < kFixedSlots)
                fixed = index + 1;
        }
        const fs::path device = fs::weakly_canonical(link, linkError);
        found.push_back({name, Identity(fs::weakly_canonical(sysfs, linkError), name, device), fixed});
    }
    return found;
}

} // namespace

PortMapConfig DefaultPortMapConfig()
{
    PortMapConfig config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    fs::path base = (xdg && *xdg) ? fs::path(xdg) : fs::path(home ? home : "") / ".config";
    config.linkFolder = (base / "vxcomm" / "ports").string();
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

std::vector<PortMapEntry> ReadPortMap(const PortMapConfig& config)
{
    std::vector<PortMapEntry> entries;
    std::set<unsigned> taken;
    std::set<std::string> pinnedDevices;
    for (auto& link : ReadLinks(config)) {
        taken.insert(link.number);
        // A link keeps its number while its device is unplugged: no other
        // device takes it meanwhile, since opening the number goes to the link.
        if (!Exists(link.device))
            continue;
        pinnedDevices.insert(link.device);
        entries.push_back(link);
    }

    auto candidates = ScanSysfs(config);
    // Fixed numbers are claimed first, then the derived ones by identity.
    std::sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        if ((a.fixed != 0) != (b.fixed != 0))
            return a.fixed != 0;
        if (a.fixed != b.fixed)
            return a.fixed < b.fixed;
        return a.identity < b.identity;
    });
    for (const auto& c : candidates) {
        const std::string device = (fs::path(config.devRoot) / c.name).string();
        if (pinnedDevices.count(device))
            continue;
        unsigned number = c.fixed;
        if (number == 0 || taken.count(number)) {
            unsigned slot = Fnv1a(c.identity) % kHashedSlots;
            unsigned tries = 0;
            while (taken.count(kFirstHashed + slot) && tries++ < kHashedSlots)
                slot = (slot + 1) % kHashedSlots;
            if (tries > kHashedSlots)
                continue;
            number = kFirstHashed + slot;
        }
        taken.insert(number);
        entries.push_back({number, device, device, false});
    }
    std::sort(entries.begin(), entries.end(),
              [](const PortMapEntry& a, const PortMapEntry& b) { return a.number < b.number; });
    return entries;
}

std::vector<PortMapEntry> ReadPortLinks(const PortMapConfig& config)
{
    return ReadLinks(config);
}

std::optional<std::string> ResolveComPort(unsigned number, const PortMapConfig& config)
{
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

std::vector<std::pair<std::string, std::string>> SerialCommMap()
{
    std::vector<std::pair<std::string, std::string>> map;
    for (const auto& entry : ReadPortMap(CurrentPortMapConfig()))
        map.emplace_back(entry.valueName, "COM" + std::to_string(entry.number));
    return map;
}

} // namespace vxport
