#include "devtree.h"

#include "fsread.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxport {
namespace {

constexpr unsigned kFixedSlots = 32; // ttyS0..ttyS31 are COM1..COM32

std::atomic<unsigned long> treeReads{0};

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool Below(const fs::path& dir, const fs::path& root)
{
    return dir.has_relative_path() && dir != root && dir != root / "devices" && dir.parent_path() != dir;
}

fs::path UsbDevice(const fs::path& from, const fs::path& sysfs)
{
    for (fs::path dir = from; Below(dir, sysfs); dir = dir.parent_path())
        if (Exists(dir / "idVendor"))
            return dir;
    return {};
}

// ttyS<k>, k < 32: k + 1. At most two digits, so a long index never converts.
unsigned FixedNumber(const std::string& name)
{
    if (!StartsWith(name, "ttyS") || name.size() < 5 || name.size() > 6 ||
        name.find_first_not_of("0123456789", 4) != std::string::npos)
        return 0;
    const unsigned index = unsigned(std::atoi(name.c_str() + 4));
    return index < kFixedSlots ? index + 1 : 0;
}

void ReadUsb(TtyDevice& tty)
{
    UsbInfo& u = tty.usbInfo;
    u.vendor = ReadAttribute(tty.usb / "idVendor");
    u.product = ReadAttribute(tty.usb / "idProduct");
    u.serial = ReadAttribute(tty.usb / "serial");
    u.productName = ReadAttribute(tty.usb / "product");
    u.manufacturer = ReadAttribute(tty.usb / "manufacturer");
    u.interfaces = std::atoi(ReadAttribute(tty.usb / "bNumInterfaces").c_str());
    for (fs::path dir = tty.hardware; dir != tty.usb && dir.has_relative_path(); dir = dir.parent_path()) {
        u.interfaceNumber = ReadAttribute(dir / "bInterfaceNumber");
        if (!u.interfaceNumber.empty())
            break;
    }
}

// The interface part of the first folder named <usb port>:<config>.<interface>.
std::string UsbInterface(const TtyDevice& tty)
{
    for (fs::path dir = tty.hardware; dir != tty.usb && dir.has_relative_path(); dir = dir.parent_path()) {
        const std::string leaf = dir.filename().string();
        if (leaf.find(':') != std::string::npos)
            return leaf.substr(leaf.find(':') + 1);
    }
    return {};
}

void SetIdentity(TtyDevice& tty, const fs::path& sysfs)
{
    if (!tty.usb.empty()) {
        const UsbInfo& u = tty.usbInfo;
        tty.followsSocket = u.serial.empty();
        const std::string serial = tty.followsSocket ? "@" + tty.usb.filename().string() : u.serial;
        tty.identity = "usb:" + u.vendor + ":" + u.product + ":" + serial + ":" + UsbInterface(tty);
    } else if (tty.hardware.empty()) {
        tty.identity = tty.driver + ":" + tty.name;
    } else {
        tty.identity = tty.hardware.lexically_relative(sysfs).generic_string() + "/" + tty.name;
    }
}

// Reads one class/tty entry; false when it is not a serial port.
bool ReadTty(const fs::path& entry, const fs::path& sysfs, TtyDevice& tty)
{
    tty.name = entry.filename().string();
    tty.classDir = Canonical(entry);
    const fs::path link = entry / "device";
    if (Exists(link)) {
        if (ReadAttribute(entry / "type") == "0")
            return false;
        fs::path hardware = Canonical(link);
        while (LinkName(hardware / "subsystem") == "serial-base" && Below(hardware.parent_path(), sysfs))
            hardware = hardware.parent_path();
        tty.hardware = hardware;
        tty.driver = LinkName(hardware / "driver");
        tty.module = LinkName(hardware / "driver" / "module");
        tty.bus = LinkName(hardware / "subsystem");
        tty.usb = UsbDevice(hardware, sysfs);
        if (!tty.usb.empty())
            ReadUsb(tty);
    } else if (StartsWith(tty.name, "rfcomm") || StartsWith(tty.name, "ircomm")) {
        tty.driver = tty.name.substr(0, 6);
    } else {
        return false;
    }
    tty.devNumbers = ReadAttribute(entry / "dev");
    tty.fixedNumber = FixedNumber(tty.name);
    SetIdentity(tty, sysfs);
    return true;
}

void TellApartSharedIdentities(std::vector<TtyDevice>& ttys)
{
    std::map<std::string, std::vector<TtyDevice*>> byIdentity;
    for (TtyDevice& tty : ttys)
        byIdentity[tty.identity].push_back(&tty);
    for (auto& [identity, group] : byIdentity) {
        if (group.size() < 2)
            continue;
        std::sort(group.begin(), group.end(),
                  [](const TtyDevice* a, const TtyDevice* b) { return a->hardware < b->hardware; });
        for (size_t i = 1; i < group.size(); ++i)
            group[i]->identity += "@" + (group[i]->usb.empty() ? group[i]->name : group[i]->usb.filename().string());
    }
}

void ReadByIdLinks(const fs::path& dev, std::vector<TtyDevice>& ttys)
{
    std::map<fs::path, std::string> byNode;
    for (const fs::path& link : ListFolder(dev / "serial" / "by-id"))
        byNode.emplace(Canonical(link), link.string());
    for (TtyDevice& tty : ttys)
        if (auto it = byNode.find(tty.canonical); it != byNode.end())
            tty.byId = it->second;
}

} // namespace

DeviceTree ReadDeviceTree(const std::string& sysfsRoot, const std::string& devRoot)
{
    ++treeReads;
    DeviceTree tree;
    tree.sysfs = Canonical(sysfsRoot);
    for (const fs::path& entry : ListFolder(tree.sysfs / "class" / "tty")) {
        TtyDevice tty;
        if (!ReadTty(entry, tree.sysfs, tty))
            continue;
        tty.node = (fs::path(devRoot) / tty.name).string();
        tty.canonical = Canonical(tty.node).string();
        tree.ttys.push_back(std::move(tty));
    }
    TellApartSharedIdentities(tree.ttys);
    ReadByIdLinks(devRoot, tree.ttys);
    return tree;
}

unsigned long DeviceTreeReads()
{
    return treeReads.load();
}

std::vector<std::pair<std::string, std::string>> BusChildren(const fs::path& device)
{
    std::vector<std::pair<std::string, std::string>> children;
    for (const fs::path& child : ListFolder(device)) {
        if (IsLink(child) || !IsFolder(child))
            continue;
        const fs::path bus = ReadLink(child / "subsystem");
        if (bus.parent_path().filename() == "bus")
            children.emplace_back(bus.filename().string(), child.filename().string());
    }
    return children;
}

DeviceAccess CheckDeviceAccess(const std::string& node)
{
    DeviceAccess access;
    access.allowed = ::faccessat(AT_FDCWD, node.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    struct stat info {};
    if (::stat(node.c_str(), &info) == 0 && info.st_gid != 0) {
        group buffer{};
        group* found = nullptr;
        std::vector<char> text(4096);
        if (::getgrgid_r(info.st_gid, &buffer, text.data(), text.size(), &found) == 0 && found)
            access.group = found->gr_name;
    }
    return access;
}

} // namespace vxport
