// The device walk over sysfs. Every read is guarded: a missing file, link or
// folder leaves its field empty and the walk goes on.
#include "vxwin32di.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

enum class Kind { Ports, Infrared, Bluetooth, Modem, Multifunction, Multiport, Legacy, NoDriver };

constexpr std::array kAllKinds{Kind::Ports,         Kind::Infrared,  Kind::Bluetooth, Kind::Modem,
                               Kind::Multifunction, Kind::Multiport, Kind::Legacy,    Kind::NoDriver};

// One serial tty of the tree.
struct Node {
    std::string name;
    fs::path classDir; // <sysfs>/class/tty/<name>
    fs::path hardware; // the device the driver is bound to; empty for virtual ttys
    std::string driver;
    std::string subsystem; // of the hardware device
    Kind kind = Kind::Ports;
};

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// The first line of a sysfs attribute, without the line end, trailing blanks
// and a terminating NUL.
std::string ReadAttribute(const fs::path& file)
{
    std::ifstream in(file);
    std::string value;
    if (!in || !std::getline(in, value))
        return {};
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\0'))
        value.pop_back();
    return value;
}

// The last component of a symbolic link's target: the name of the driver,
// module or bus it points to.
std::string LinkName(const fs::path& link)
{
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.filename().string();
}

fs::path Canonical(const fs::path& path)
{
    std::error_code ec;
    fs::path result = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : result;
}

bool Exists(const fs::path& path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

bool IsMultiportDriver(const std::string& driver)
{
    static const std::set<std::string> drivers{"mxser", "jsm", "rp2", "exar_serial", "moxa", "isicom"};
    return drivers.count(driver) != 0;
}

// What a walk of one class (or interface class) visits.
struct WalkPlan {
    std::set<Kind> kinds;
    bool interfaces = false; // records of device interfaces
    bool missing = false;    // may list ports whose device is gone
};

WalkPlan PlanFor(const std::string& guid, bool deviceMode)
{
    using namespace vxdi;
    const std::string g = Upper(guid);
    WalkPlan plan;
    plan.interfaces = !deviceMode;
    if (!deviceMode) {
        if (g == GUID_DEVINTERFACE_COMPORT)
            plan.kinds.insert(kAllKinds.begin(), kAllKinds.end());
        else if (g == GUID_DEVINTERFACE_MODEM)
            plan.kinds = {Kind::Modem};
        return plan; // the serial enumerator and the rest: nothing
    }
    static const std::map<std::string, Kind> classes{
        {GUID_DEVCLASS_PORTS, Kind::Ports},
        {GUID_DEVCLASS_INFRARED, Kind::Infrared},
        {GUID_DEVCLASS_BLUETOOTH, Kind::Bluetooth},
        {GUID_DEVCLASS_MODEM, Kind::Modem},
        {GUID_DEVCLASS_MULTIFUNCTION, Kind::Multifunction},
        {GUID_DEVCLASS_MULTIPORTSERIAL, Kind::Multiport},
        {GUID_DEVCLASS_LEGACYDRIVER, Kind::Legacy},
        {GUID_DEVCLASS_NODRIVER, Kind::NoDriver},
    };
    if (g.empty()) {
        plan.kinds.insert(kAllKinds.begin(), kAllKinds.end());
        plan.missing = true;
    } else if (auto it = classes.find(g); it != classes.end()) {
        plan.kinds = {it->second};
        plan.missing = it->second == Kind::Ports;
    }
    return plan;
}

// One walk: the tree read once, then the records of the planned classes.
class Walk {
public:
    explicit Walk(const vxport::PortMapConfig& tree) : tree_(tree), sysfs_(Canonical(tree.sysfsRoot)) {}

    void Run(const WalkPlan& plan, bool presentOnly, TvxDeviceRecords& result)
    {
        if (plan.kinds.empty())
            return;
        Scan();
        ReadPortNames();
        ReadByIdLinks();
        for (const Node& node : nodes_) {
            if (!plan.kinds.count(node.kind))
                continue;
            result.push_back(plan.interfaces ? InterfaceRecord(node) : DeviceRecord(node));
        }
        if (plan.missing && !presentOnly)
            AddMissing(result);
    }

private:
    void Scan();
    void Classify(std::map<fs::path, int>& perHardware);
    void ReadPortNames();
    void ReadByIdLinks();
    void AddMissing(TvxDeviceRecords& result);
    std::unique_ptr<TvxDevice> InterfaceRecord(const Node& node);
    std::unique_ptr<TvxDevice> DeviceRecord(const Node& node);
    void Describe(const Node& node, TvxDevice& d);
    std::string DevicePath(const Node& node) const { return (fs::path(tree_.devRoot) / node.name).string(); }
    std::string InterfacePath(const Node& node) const;
    fs::path UsbDevice(const fs::path& from) const;
    std::string InstanceId(const Node& node) const;
    std::string InstanceIdOf(const fs::path& device) const;
    std::string Children(const fs::path& device) const;

    const vxport::PortMapConfig& tree_;
    fs::path sysfs_;
    std::vector<Node> nodes_;
    std::map<fs::path, std::string> portNames_; // device node -> "COMn"
    std::set<unsigned> mappedNumbers_;
    std::map<fs::path, std::string> byId_; // device node -> by-id link
};

void Walk::Scan()
{
    std::map<fs::path, int> perHardware;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(sysfs_ / "class" / "tty", ec)) {
        Node node;
        node.name = item.path().filename().string();
        node.classDir = item.path();
        const fs::path link = node.classDir / "device";
        if (Exists(link)) {
            // Legacy ports that the kernel reserves without hardware.
            if (ReadAttribute(node.classDir / "type") == "0")
                continue;
            fs::path hardware = Canonical(link);
            // Newer kernels put a port and controller device of the serial
            // core between the tty and the device the driver is bound to.
            while (LinkName(hardware / "subsystem") == "serial-base" && hardware.has_relative_path() &&
                   hardware.parent_path() != sysfs_)
                hardware = hardware.parent_path();
            node.hardware = hardware;
            node.driver = LinkName(hardware / "driver");
            node.subsystem = LinkName(hardware / "subsystem");
            ++perHardware[hardware];
        } else if (StartsWith(node.name, "rfcomm")) {
            node.driver = "rfcomm";
        } else if (StartsWith(node.name, "ircomm")) {
            node.driver = "ircomm";
        } else {
            continue; // consoles, virtual terminals, ptmx
        }
        nodes_.push_back(std::move(node));
    }
    std::sort(nodes_.begin(), nodes_.end(), [](const Node& a, const Node& b) { return a.name < b.name; });
    Classify(perHardware);
}

void Walk::Classify(std::map<fs::path, int>& perHardware)
{
    for (Node& node : nodes_) {
        const std::string device = node.hardware.filename().string();
        if (StartsWith(node.name, "rfcomm"))
            node.kind = Kind::Bluetooth;
        else if (StartsWith(node.name, "ircomm"))
            node.kind = Kind::Infrared;
        else if (node.driver.empty())
            node.kind = Kind::NoDriver;
        else if (node.driver == "cdc_acm")
            node.kind = Kind::Modem;
        else if (node.subsystem == "pcmcia" || node.driver == "serial_cs")
            node.kind = Kind::Multifunction;
        else if (IsMultiportDriver(node.driver) || (node.subsystem == "pci" && perHardware[node.hardware] > 1))
            node.kind = Kind::Multiport;
        else if (node.subsystem == "platform" && StartsWith(device, "serial8250"))
            node.kind = Kind::Legacy;
        else
            node.kind = Kind::Ports;
    }
}

void Walk::ReadPortNames()
{
    for (const auto& entry : vxport::ReadPortMap(tree_)) {
        mappedNumbers_.insert(entry.number);
        if (StartsWith(entry.device, "\\\\"))
            continue; // a virtual port name, no node
        portNames_.emplace(Canonical(entry.device), "COM" + std::to_string(entry.number));
    }
}

void Walk::ReadByIdLinks()
{
    std::error_code ec;
    std::vector<fs::path> links;
    for (const auto& item : fs::directory_iterator(fs::path(tree_.devRoot) / "serial" / "by-id", ec))
        links.push_back(item.path());
    // The first name in order wins when two links point at one node.
    std::sort(links.begin(), links.end());
    for (const fs::path& link : links)
        byId_.emplace(Canonical(link), link.string());
}

std::string Walk::InterfacePath(const Node& node) const
{
    const std::string path = DevicePath(node);
    auto it = byId_.find(Canonical(path));
    return it != byId_.end() ? it->second : path;
}

std::unique_ptr<TvxDevice> Walk::InterfaceRecord(const Node& node)
{
    auto d = std::make_unique<TvxDevice>();
    Describe(node, *d);
    d->SymbolicName = InterfacePath(node);
    return d;
}

std::unique_ptr<TvxDevice> Walk::DeviceRecord(const Node& node)
{
    auto d = std::make_unique<TvxDevice>();
    Describe(node, *d);
    const fs::path key = Canonical(node.classDir).lexically_relative(sysfs_);
    if (!key.empty() && *key.begin() != "..")
        d->DeviceKey = "/" + key.generic_string();
    const std::string path = DevicePath(node);
    d->SymbolicName = InterfacePath(node);
    if (auto it = portNames_.find(Canonical(path)); it != portNames_.end())
        d->PnPPortName = it->second;
    d->InstanceId = InstanceId(node);
    if (!d->InstanceId.empty()) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(ReadAttribute(node.classDir / "dev").c_str(), "%u:%u", &major, &minor) == 2)
            d->DevInst = (major << 20) | (minor & 0xFFFFF);
        if (!node.hardware.empty())
            d->Children = Children(node.hardware);
    }
    return d;
}

// Driver, service, device object, description and manufacturer.
void Walk::Describe(const Node& node, TvxDevice& d)
{
    d.Driver = node.driver;
    d.Service = node.hardware.empty() ? std::string() : LinkName(node.hardware / "driver" / "module");
    if (d.Service.empty())
        d.Service = node.driver; // built into the kernel
    d.DeviceObject = DevicePath(node);
    const fs::path usb = node.hardware.empty() ? fs::path() : UsbDevice(node.hardware);
    if (!usb.empty()) {
        d.Description = ReadAttribute(usb / "product");
        d.Manufacturer = ReadAttribute(usb / "manufacturer");
    }
    if (!d.Description.empty())
        return;
    switch (node.kind) {
    case Kind::Bluetooth: d.Description = "Standard Serial over Bluetooth link"; break;
    case Kind::Infrared: d.Description = "Infrared Serial Port"; break;
    case Kind::Modem: d.Description = "USB Serial Device"; break;
    case Kind::Multifunction: d.Description = "Multifunction Serial Port"; break;
    case Kind::Multiport: d.Description = "Multiport Serial Port"; break;
    case Kind::Legacy: d.Description = "Communications Port"; break;
    case Kind::NoDriver: break; // nothing is known of it
    case Kind::Ports:
        d.Description = (node.subsystem == "usb-serial" || !usb.empty()) ? "USB Serial Port" : "Communications Port";
        break;
    }
}

// The USB device (the folder with idVendor) at or above `from`; empty when
// the device is not on USB.
fs::path Walk::UsbDevice(const fs::path& from) const
{
    for (fs::path dir = from; dir.has_relative_path() && dir != sysfs_ && dir != sysfs_ / "devices";
         dir = dir.parent_path()) {
        if (Exists(dir / "idVendor"))
            return dir;
        if (dir.parent_path() == dir)
            break;
    }
    return {};
}

std::string Walk::InstanceId(const Node& node) const
{
    if (node.hardware.empty())
        return node.classDir.empty() ? std::string() : "TTY\\" + node.name;
    const fs::path usb = UsbDevice(node.hardware);
    if (usb.empty())
        return InstanceIdOf(node.hardware);
    std::string id = "USB\\VID_" + Upper(ReadAttribute(usb / "idVendor")) + "&PID_" +
                     Upper(ReadAttribute(usb / "idProduct"));
    // A device with several interfaces names the interface of this port.
    if (std::atoi(ReadAttribute(usb / "bNumInterfaces").c_str()) > 1) {
        for (fs::path dir = node.hardware; dir != usb && dir.has_relative_path(); dir = dir.parent_path()) {
            const std::string number = ReadAttribute(dir / "bInterfaceNumber");
            if (!number.empty()) {
                id += "&MI_" + Upper(number);
                break;
            }
        }
    }
    const std::string serial = ReadAttribute(usb / "serial");
    return id + "\\" + (serial.empty() ? usb.filename().string() : serial);
}

// "<BUS>\<device name>"; empty when the device's bus cannot be read.
std::string Walk::InstanceIdOf(const fs::path& device) const
{
    const std::string bus = LinkName(device / "subsystem");
    return bus.empty() ? std::string() : Upper(bus) + "\\" + device.filename().string();
}

// The devices on a bus directly below `device`.
std::string Walk::Children(const fs::path& device) const
{
    std::vector<std::string> ids;
    std::error_code ec;
    for (const auto& item : fs::directory_iterator(device, ec)) {
        std::error_code linkError;
        if (!item.is_directory(linkError) || item.is_symlink(linkError))
            continue;
        const fs::path bus = fs::read_symlink(item.path() / "subsystem", linkError);
        if (linkError || bus.parent_path().filename() != "bus")
            continue;
        ids.push_back(InstanceIdOf(item.path()));
    }
    std::sort(ids.begin(), ids.end());
    std::string joined;
    for (const std::string& id : ids)
        joined += (joined.empty() ? "" : ";") + id;
    return joined;
}

// Ports that a link of the map's folder pins to a device that is gone, as
// long as no present device holds the number.
void Walk::AddMissing(TvxDeviceRecords& result)
{
    std::map<unsigned, fs::path> missing;
    for (const auto& link : vxport::ReadPortLinks(tree_)) {
        if (mappedNumbers_.count(link.number) || StartsWith(link.device, "\\\\") || Exists(link.device))
            continue;
        missing.emplace(link.number, link.device);
    }
    for (const auto& [number, target] : missing) {
        auto d = std::make_unique<TvxDevice>();
        d->DeviceObject = target.string();
        d->SymbolicName = target.string();
        d->PnPPortName = "COM" + std::to_string(number);
        result.push_back(std::move(d));
    }
}

} // namespace

bool LoadSetupServices()
{
    return LoadSetupServices(vxport::CurrentPortMapConfig());
}

bool LoadSetupServices(const vxport::PortMapConfig& Tree)
{
    std::error_code ec;
    return fs::is_directory(fs::path(Tree.sysfsRoot) / "class" / "tty", ec);
}

void WalkSetupDevices(const std::string& ClassGuid, bool PresentOnly, bool DeviceMode, TvxDeviceRecords& Result,
                      bool InterfaceFlag)
{
    WalkSetupDevices(vxport::CurrentPortMapConfig(), ClassGuid, PresentOnly, DeviceMode, Result, InterfaceFlag);
}

void WalkSetupDevices(const vxport::PortMapConfig& Tree, const std::string& ClassGuid, bool PresentOnly,
                      bool DeviceMode, TvxDeviceRecords& Result, bool /*InterfaceFlag*/)
{
    if (!LoadSetupServices(Tree))
        return;
    try {
        Walk(Tree).Run(PlanFor(ClassGuid, DeviceMode), PresentOnly, Result);
    } catch (const std::exception&) {
        // A tree that changes under the walk (a device unplugged meanwhile)
        // ends the walk with what it found so far.
    }
}

TvxDeviceRecords::iterator FindPortDevice(TvxDeviceRecords& Records, const std::string& PortName)
{
    const std::string wanted = Upper(PortName);
    return std::find_if(Records.begin(), Records.end(), [&](const std::unique_ptr<TvxDevice>& d) {
        return d && !d->PnPPortName.empty() && Upper(d->PnPPortName) == wanted;
    });
}
