// The device walk over the port map's snapshot of the device tree. Nothing
// here reads the tree on its own but the bus children of a device; what
// cannot be read stays empty and the walk goes on.
#include "vxwin32di.h"

#include "devtree.h"
#include "fsread.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

namespace fs = std::filesystem;
using vxport::TtyDevice;

namespace {

enum class Kind { Ports, Pty, Infrared, Bluetooth, Modem, Multifunction, Multiport, Legacy, NoDriver };

constexpr std::array kAllKinds{Kind::Ports,     Kind::Pty,           Kind::Infrared,
                               Kind::Bluetooth, Kind::Modem,         Kind::Multifunction,
                               Kind::Multiport, Kind::Legacy,        Kind::NoDriver};

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return s;
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

bool IsMultiportDriver(const std::string& driver)
{
    static const std::set<std::string> drivers{"mxser", "jsm", "rp2", "exar_serial", "moxa", "isicom"};
    return drivers.count(driver) != 0;
}

// One serial port of the walk: a tty of the tree, or a pseudo-terminal that a
// port link names.
struct Node {
    TtyDevice tty;
    Kind kind = Kind::Ports;
    std::string portName; // the "COMn" the map gives it
};

Kind Classify(const TtyDevice& tty, int ttysOnHardware)
{
    if (tty.driver == "rfcomm")
        return Kind::Bluetooth;
    if (tty.driver == "ircomm")
        return Kind::Infrared;
    if (tty.driver.empty())
        return Kind::NoDriver;
    if (tty.driver == "cdc_acm")
        return Kind::Modem;
    if (tty.bus == "pcmcia" || tty.driver == "serial_cs")
        return Kind::Multifunction;
    if (IsMultiportDriver(tty.driver) || (tty.bus == "pci" && ttysOnHardware > 1))
        return Kind::Multiport;
    if (tty.bus == "platform" && StartsWith(tty.hardware.filename().string(), "serial8250"))
        return Kind::Legacy;
    return Kind::Ports;
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
    static const std::map<std::string, std::set<Kind>> classes{
        {GUID_DEVCLASS_PORTS, {Kind::Ports, Kind::Pty}},
        {GUID_DEVCLASS_INFRARED, {Kind::Infrared}},
        {GUID_DEVCLASS_BLUETOOTH, {Kind::Bluetooth}},
        {GUID_DEVCLASS_MODEM, {Kind::Modem}},
        {GUID_DEVCLASS_MULTIFUNCTION, {Kind::Multifunction}},
        {GUID_DEVCLASS_MULTIPORTSERIAL, {Kind::Multiport}},
        {GUID_DEVCLASS_LEGACYDRIVER, {Kind::Legacy}},
        {GUID_DEVCLASS_NODRIVER, {Kind::NoDriver}},
    };
    if (g.empty()) {
        plan.kinds.insert(kAllKinds.begin(), kAllKinds.end());
        plan.missing = true;
    } else if (auto it = classes.find(g); it != classes.end()) {
        plan.kinds = it->second;
        plan.missing = it->second.count(Kind::Ports) != 0;
    }
    return plan;
}

// The ports of a snapshot, each classified and named by the map.
std::vector<Node> Nodes(const vxport::PortSnapshot& snapshot)
{
    std::map<fs::path, int> perHardware;
    for (const TtyDevice& tty : snapshot.tree.ttys)
        if (!tty.hardware.empty())
            ++perHardware[tty.hardware];
    std::vector<Node> nodes;
    for (const TtyDevice& tty : snapshot.tree.ttys)
        nodes.push_back({tty, Classify(tty, tty.hardware.empty() ? 0 : perHardware[tty.hardware]), {}});
    const fs::path pts = vxport::Canonical(fs::path(snapshot.config.devRoot) / "pts");
    for (const auto& entry : snapshot.entries) {
        const std::string portName = "COM" + std::to_string(entry.number);
        if (entry.tty >= 0) {
            nodes[size_t(entry.tty)].portName = portName;
        } else if (fs::path(entry.canonical).parent_path() == pts) {
            Node node;
            node.tty.name = fs::path(entry.canonical).filename().string();
            node.tty.node = entry.device;
            node.tty.driver = "pty";
            node.kind = Kind::Pty;
            node.portName = portName;
            nodes.push_back(std::move(node));
        }
    }
    return nodes;
}

// "<BUS>\<device name>"; empty when the bus is unknown.
std::string InstanceIdOf(const std::string& bus, const std::string& name)
{
    return bus.empty() ? std::string() : Upper(bus) + "\\" + name;
}

std::string InstanceId(const TtyDevice& tty)
{
    if (tty.hardware.empty())
        return tty.classDir.empty() ? std::string() : "TTY\\" + tty.name;
    if (tty.usb.empty())
        return InstanceIdOf(tty.bus, tty.hardware.filename().string());
    const vxport::UsbInfo& u = tty.usbInfo;
    std::string id = "USB\\VID_" + Upper(u.vendor) + "&PID_" + Upper(u.product);
    // A device with several interfaces names the interface of this port.
    if (u.interfaces > 1 && !u.interfaceNumber.empty())
        id += "&MI_" + Upper(u.interfaceNumber);
    return id + "\\" + (u.serial.empty() ? tty.usb.filename().string() : u.serial);
}

std::string Children(const fs::path& device)
{
    std::vector<std::string> ids;
    for (const auto& [bus, name] : vxport::BusChildren(device))
        ids.push_back(InstanceIdOf(bus, name));
    std::sort(ids.begin(), ids.end());
    std::string joined;
    for (const std::string& id : ids)
        joined += (joined.empty() ? "" : ";") + id;
    return joined;
}

std::string Description(const Node& node)
{
    if (!node.tty.usbInfo.productName.empty())
        return node.tty.usbInfo.productName;
    switch (node.kind) {
    case Kind::Bluetooth: return "Standard Serial over Bluetooth link";
    case Kind::Infrared: return "Infrared Serial Port";
    case Kind::Modem: return "USB Serial Device";
    case Kind::Multifunction: return "Multifunction Serial Port";
    case Kind::Multiport: return "Multiport Serial Port";
    case Kind::Legacy: return "Communications Port";
    case Kind::Pty: return "Pseudo-terminal";
    case Kind::NoDriver: return {}; // nothing is known of it
    case Kind::Ports: break;
    }
    return (node.tty.bus == "usb-serial" || !node.tty.usb.empty()) ? "USB Serial Port" : "Communications Port";
}

// Driver, service, device object, description, manufacturer and path.
std::unique_ptr<TvxDevice> InterfaceRecord(const Node& node)
{
    auto d = std::make_unique<TvxDevice>();
    d->Driver = node.tty.driver;
    d->Service = node.tty.module.empty() ? node.tty.driver : node.tty.module; // built in: the driver itself
    d->DeviceObject = node.tty.node;
    d->Description = Description(node);
    d->Manufacturer = node.tty.usbInfo.manufacturer;
    d->SymbolicName = node.tty.byId.empty() ? node.tty.node : node.tty.byId;
    return d;
}

std::unique_ptr<TvxDevice> DeviceRecord(const Node& node, const fs::path& sysfs)
{
    auto d = InterfaceRecord(node);
    const TtyDevice& tty = node.tty;
    const fs::path key = tty.classDir.lexically_relative(sysfs);
    if (!tty.classDir.empty() && !key.empty() && *key.begin() != "..")
        d->DeviceKey = "/" + key.generic_string();
    d->PnPPortName = node.portName;
    d->InstanceId = InstanceId(tty);
    if (!d->InstanceId.empty()) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(tty.devNumbers.c_str(), "%u:%u", &major, &minor) == 2)
            d->DevInst = (major << 20) | (minor & 0xFFFFF);
        if (!tty.hardware.empty())
            d->Children = Children(tty.hardware);
    }
    return d;
}

// Ports that a link pins to a device that is gone; their numbers are held
// for them, so no present device has them.
void AddMissing(const vxport::PortSnapshot& snapshot, TvxDeviceRecords& result)
{
    std::set<unsigned> listed;
    for (const auto& entry : snapshot.entries)
        listed.insert(entry.number);
    for (const auto& link : snapshot.links) {
        if (listed.count(link.number) || StartsWith(link.device, "\\\\") || vxport::Exists(link.device))
            continue;
        auto d = std::make_unique<TvxDevice>();
        d->DeviceObject = link.device;
        d->SymbolicName = link.device;
        d->PnPPortName = "COM" + std::to_string(link.number);
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
    return vxport::IsFolder(fs::path(Tree.sysfsRoot) / "class" / "tty");
}

void WalkSetupDevices(const std::string& ClassGuid, bool PresentOnly, bool DeviceMode, TvxDeviceRecords& Result,
                      bool InterfaceFlag)
{
    WalkSetupDevices(vxport::CurrentPortMapConfig(), ClassGuid, PresentOnly, DeviceMode, Result, InterfaceFlag);
}

void WalkSetupDevices(const vxport::PortMapConfig& Tree, const std::string& ClassGuid, bool PresentOnly,
                      bool DeviceMode, TvxDeviceRecords& Result, bool InterfaceFlag)
{
    if (!LoadSetupServices(Tree) || PlanFor(ClassGuid, DeviceMode).kinds.empty())
        return;
    WalkSetupDevices(vxport::ReadPortSnapshot(Tree), ClassGuid, PresentOnly, DeviceMode, Result, InterfaceFlag);
}

void WalkSetupDevices(const vxport::PortSnapshot& Snapshot, const std::string& ClassGuid, bool PresentOnly,
                      bool DeviceMode, TvxDeviceRecords& Result, bool /*InterfaceFlag*/)
{
    const WalkPlan plan = PlanFor(ClassGuid, DeviceMode);
    if (plan.kinds.empty() || !LoadSetupServices(Snapshot.config))
        return;
    for (const Node& node : Nodes(Snapshot)) {
        if (plan.kinds.count(node.kind))
            Result.push_back(plan.interfaces ? InterfaceRecord(node) : DeviceRecord(node, Snapshot.tree.sysfs));
    }
    if (plan.missing && !PresentOnly)
        AddMissing(Snapshot, Result);
}

TvxDeviceRecords::iterator FindPortDevice(TvxDeviceRecords& Records, const std::string& PortName)
{
    const std::string wanted = Upper(PortName);
    return std::find_if(Records.begin(), Records.end(), [&](const std::unique_ptr<TvxDevice>& d) {
        return d && !d->PnPPortName.empty() && Upper(d->PnPPortName) == wanted;
    });
}
