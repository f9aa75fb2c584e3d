#pragma once
// A fake device tree for the port enumeration tests: a sysfs tree shaped
// like the kernel's (class/tty entries that link to devices/...), a /dev
// folder of plain files standing in for the nodes, /dev/serial/by-id links,
// and the port map's link folder. It becomes the port map's configuration
// for the life of the object.
#include "portmap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

class FakeDeviceTree {
public:
    // `name` tells two trees of one test apart.
    explicit FakeDeviceTree(const std::string& name = "")
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        root = fs::temp_directory_path() / ("vxdevtree-" + std::to_string(getpid()) + "-" + info->test_suite_name() +
                                            "-" + info->name() + name);
        fs::remove_all(root);
        config.sysfsRoot = (root / "sys").string();
        config.devRoot = (root / "dev").string();
        config.linkFolder = (root / "links").string();
        config.numberTable = (root / "state" / "port-numbers").string();
        fs::create_directories(root / "sys" / "class" / "tty");
        fs::create_directories(root / "dev");
        fs::create_directories(config.linkFolder);
        vxport::SetPortMapConfig(config);
    }
    ~FakeDeviceTree()
    {
        vxport::ResetPortMapConfig();
        fs::remove_all(root);
    }

    static void Write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }

    // A device folder below sys/devices on `bus`, bound to `driver` (none when
    // empty), whose driver lives in `module` (built in when empty).
    fs::path AddDevice(const std::string& path, const std::string& bus, const std::string& driver = "",
                       const std::string& module = "")
    {
        const fs::path dir = root / "sys" / "devices" / path;
        fs::create_directories(dir);
        Write(dir / "uevent", "");
        if (!bus.empty())
            Link(root / "sys" / "bus" / bus, dir / "subsystem");
        if (!driver.empty()) {
            const fs::path drv = root / "sys" / "bus" / bus / "drivers" / driver;
            fs::create_directories(drv);
            Link(drv, dir / "driver");
            if (!module.empty() && !fs::exists(drv / "module", ec))
                Link(root / "sys" / "module" / module, drv / "module");
        }
        return dir;
    }

    // The tty `name` of the device folder `device` (a path below
    // sys/devices), with its node in dev/.
    void AddTty(const std::string& name, const fs::path& device, const std::string& dev = "4:64",
                const std::string& type = "")
    {
        const fs::path dir = device / "tty" / name;
        fs::create_directories(dir);
        if (!dev.empty())
            Write(dir / "dev", dev);
        if (!type.empty())
            Write(dir / "type", type);
        Link(device, dir / "device");
        Link(dir, root / "sys" / "class" / "tty" / name);
        Write(root / "dev" / name, "");
    }

    // A UART ttyS<n> on a PnP device driven by the built-in 8250 PnP driver:
    // as kernels from 6.5 show it, behind the serial core's controller and
    // port devices, or as older ones do, right below the PnP device.
    void AddUart(const std::string& name, const std::string& pnp = "00:05", bool serialCore = true)
    {
        fs::path device = AddDevice("pnp0/" + pnp, "pnp", "serial");
        if (serialCore) {
            AddDevice("pnp0/" + pnp + "/" + pnp + ":0", "serial-base", "ctrl");
            device = AddDevice("pnp0/" + pnp + "/" + pnp + ":0/" + pnp + ":0.0", "serial-base", "port");
        }
        AddTty(name, device, "4:" + std::to_string(64 + std::stoi(name.substr(4))), "4");
    }

    struct Usb {
        std::string vendor = "0403", product = "6001";
        std::string productName{}, manufacturer{}, serial{};
        int interfaces = 1;
    };
    // A USB device on port `usbPort` of bus 1; returns its folder.
    fs::path AddUsb(const std::string& usbPort, const Usb& usb)
    {
        const fs::path dir = AddDevice("pci0000:00/0000:00:14.0/usb1/" + usbPort, "usb", "usb", "");
        Write(dir / "idVendor", usb.vendor);
        Write(dir / "idProduct", usb.product);
        Write(dir / "bNumInterfaces", " " + std::to_string(usb.interfaces));
        if (!usb.productName.empty())
            Write(dir / "product", usb.productName);
        if (!usb.manufacturer.empty())
            Write(dir / "manufacturer", usb.manufacturer);
        if (!usb.serial.empty())
            Write(dir / "serial", usb.serial);
        return dir;
    }
    // A usb-serial converter port: interface `iface` of the USB device, then
    // the port device bound to `driver`.
    void AddUsbSerial(const std::string& name, const std::string& usbPort, const std::string& driver,
                      const Usb& usb, int iface = 0, const std::string& dev = "188:0")
    {
        const fs::path device = AddUsb(usbPort, usb);
        const std::string ifname = usbPort + ":1." + std::to_string(iface);
        const fs::path intf = AddDevice("pci0000:00/0000:00:14.0/usb1/" + usbPort + "/" + ifname, "usb", driver, driver);
        Write(intf / "bInterfaceNumber", "0" + std::to_string(iface));
        (void)device;
        const fs::path port = AddDevice("pci0000:00/0000:00:14.0/usb1/" + usbPort + "/" + ifname + "/" + name,
                                        "usb-serial", driver, driver);
        AddTty(name, port, dev);
    }
    // A CDC ACM device: the tty hangs directly below the interface.
    void AddAcm(const std::string& name, const std::string& usbPort, const Usb& usb)
    {
        AddUsb(usbPort, usb);
        const fs::path intf =
            AddDevice("pci0000:00/0000:00:14.0/usb1/" + usbPort + "/" + usbPort + ":1.0", "usb", "cdc_acm", "cdc_acm");
        AddTty(name, intf, "166:0");
    }
    // A Bluetooth rfcomm tty: virtual, no device link.
    void AddRfcomm(const std::string& name)
    {
        const fs::path dir = root / "sys" / "devices" / "virtual" / "tty" / name;
        fs::create_directories(dir);
        Write(dir / "dev", "216:0");
        Link(dir, root / "sys" / "class" / "tty" / name);
        Write(root / "dev" / name, "");
    }

    // dev/serial/by-id/<link> -> ../../<node>
    void AddById(const std::string& link, const std::string& node)
    {
        fs::create_directories(root / "dev" / "serial" / "by-id");
        fs::create_symlink(fs::path("../..") / node, root / "dev" / "serial" / "by-id" / link);
    }
    // links/com<n> -> target (a port the map pins)
    void Pin(unsigned number, const fs::path& target) { LinkAs("com" + std::to_string(number), target); }
    void LinkAs(const std::string& name, const fs::path& target)
    {
        fs::create_symlink(target, fs::path(config.linkFolder) / name);
    }
    // The tty and its node are gone, as after unplugging.
    void Unplug(const std::string& name)
    {
        fs::remove(root / "sys" / "class" / "tty" / name, ec);
        fs::remove(root / "dev" / name, ec);
    }
    std::string Dev(const std::string& name) const { return (root / "dev" / name).string(); }

    fs::path root;
    vxport::PortMapConfig config;

private:
    void Link(const fs::path& target, const fs::path& link)
    {
        fs::create_directories(link.parent_path());
        if (!fs::exists(fs::symlink_status(link, ec)))
            fs::create_symlink(target, link);
    }
    std::error_code ec;
};
