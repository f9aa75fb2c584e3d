#pragma once
// Builds a fake device tree from a fuzz input: sys/class/tty entries, device
// folders with attribute files, driver, module and subsystem links, /dev
// nodes with by-id links, and the port map's folder of com<n> links, all
// below one temporary folder that is emptied for every input. Names come from
// small vocabularies of what the readers look for, mixed with input bytes
// (never "/", "." or ".."); links may dangle, loop or leave the tree.
#include "input.h"
#include "portmap.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace vxfuzz {

namespace fs = std::filesystem;

class FakeTree {
public:
    // In memory where there is a tmpfs: the tree is rebuilt for every input.
    FakeTree() : root_(Base() / ("vxfuzz-tree-" + std::to_string(getpid()))) {}
    ~FakeTree()
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    vxport::PortMapConfig Config() const
    {
        vxport::PortMapConfig config;
        config.linkFolder = (root_ / "links").string();
        config.sysfsRoot = (root_ / "sys").string();
        config.devRoot = (root_ / "dev").string();
        config.numberTable = (root_ / "state" / "port-numbers").string();
        return config;
    }

    void Build(Input& in)
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
        for (const char* dir : {"links", "sys/class/tty", "sys/devices", "sys/bus", "sys/module", "dev/serial/by-id"})
            fs::create_directories(root_ / dir, ec);
        devices_.assign(1, root_ / "sys" / "devices");
        ttys_.clear();
        for (int ops = 0; !in.Empty() && ops < 64; ++ops)
            Step(in);
    }

private:
    static fs::path Base()
    {
        std::error_code ec;
        return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
    }

    void Step(Input& in)
    {
        std::error_code ec;
        switch (in.Byte() % 8) {
        case 0: { // a tty entry, with or without a device link
            const std::string name = Name(in, kTtyNames);
            const fs::path entry = root_ / "sys" / "class" / "tty" / name;
            fs::create_directories(entry, ec);
            ttys_.push_back(entry);
            const uint8_t how = in.Byte();
            if (how % 4 == 1)
                fs::create_directory_symlink(Device(in), entry / "device", ec);
            else if (how % 4 == 2)
                fs::create_directory_symlink(fs::relative(Device(in), entry, ec), entry / "device", ec);
            else if (how % 4 == 3)
                fs::create_directory_symlink(entry / "device", entry / "device", ec); // a loop
            if (how & 0x10)
                File(entry / "type", in.Text(6));
            if (how & 0x20)
                File(entry / "dev", in.Text(10));
            break;
        }
        case 1: { // a device folder below another
            const fs::path dir = Device(in) / Name(in, kDeviceNames);
            fs::create_directories(dir, ec);
            devices_.push_back(dir);
            break;
        }
        case 2: // an attribute file of a device
            File(Device(in) / Name(in, kAttributes), in.Text(40));
            break;
        case 3: { // a driver, perhaps with its module
            const std::string bus = Name(in, kBuses);
            const fs::path driver = root_ / "sys" / "bus" / bus / "drivers" / Name(in, kDrivers);
            fs::create_directories(driver, ec);
            if (in.Byte() & 1) {
                const fs::path module = root_ / "sys" / "module" / Name(in, kDrivers);
                fs::create_directories(module, ec);
                fs::create_directory_symlink(module, driver / "module", ec);
            }
            fs::create_directory_symlink(driver, Device(in) / "driver", ec);
            break;
        }
        case 4: { // the bus a device sits on
            const fs::path bus = root_ / "sys" / "bus" / Name(in, kBuses);
            fs::create_directories(bus, ec);
            fs::create_directory_symlink(bus, Device(in) / "subsystem", ec);
            break;
        }
        case 5: { // a com<n> link of the port map, in any letter case
            const std::string name = (in.Byte() & 1 ? "COM" : "com") + Digits(in);
            const fs::path link = root_ / "links" / name;
            const uint8_t how = in.Byte() % 5;
            if (how == 0)
                fs::create_symlink(root_ / "dev" / Name(in, kTtyNames), link, ec);
            else if (how == 1)
                fs::create_symlink("\\\\.\\" + Name(in, kTtyNames), link, ec);
            else if (how == 2)
                fs::create_symlink(link, link, ec);
            else if (how == 3)
                fs::create_symlink("../dev/" + Name(in, kTtyNames), link, ec);
            else
                File(link, in.Text(8)); // a plain file, not a link
            break;
        }
        case 6: { // a device node, perhaps with a by-id link
            const std::string name = Name(in, kTtyNames);
            File(root_ / "dev" / name, "");
            if (in.Byte() & 1)
                fs::create_symlink("../../" + name, root_ / "dev" / "serial" / "by-id" / Name(in, kDeviceNames), ec);
            break;
        }
        default: { // a tty's device link to somewhere odd
            if (ttys_.empty())
                break;
            const fs::path entry = ttys_[in.Byte() % ttys_.size()];
            fs::remove(entry / "device", ec);
            static const char* odd[] = {"/", "/nonexistent", "..", "../../..", ""};
            fs::create_directory_symlink(odd[in.Byte() % 5], entry / "device", ec);
            break;
        }
        }
    }

    fs::path Device(Input& in) { return devices_[in.Byte() % devices_.size()]; }

    template <size_t N>
    static std::string Name(Input& in, const char* const (&vocabulary)[N])
    {
        const uint8_t pick = in.Byte();
        std::string name = vocabulary[pick % N];
        if (pick & 0x80)
            name += Clean(in.Text(12));
        return name;
    }

    static std::string Digits(Input& in)
    {
        std::string text = in.Text(9);
        for (char& c : text)
            c = char('0' + static_cast<unsigned char>(c) % 10);
        return text;
    }

    static std::string Clean(std::string text)
    {
        for (char& c : text)
            if (c == '/' || c == '\0')
                c = '_';
        if (text == "." || text == "..")
            text = "_";
        return text;
    }

    static void File(const fs::path& file, const std::string& content)
    {
        std::ofstream(file, std::ios::binary) << content;
    }

    static constexpr const char* kTtyNames[] = {"ttyS", "ttyS0", "ttyS31", "ttyUSB", "ttyACM", "rfcomm", "ircomm",
                                                "tty", "ttyS4294967296", "ttyS123456789012345678901", "ttyMI", "x"};
    static constexpr const char* kDeviceNames[] = {"pci0000:00", "usb1", "1-1", "1-1:1.0", "1-1.2:1.1", "pnp0",
                                                   "00:05", "serial8250", "platform", "tty", "serial0", "pcmcia"};
    static constexpr const char* kAttributes[] = {"idVendor", "idProduct", "serial", "product", "manufacturer",
                                                  "bNumInterfaces", "bInterfaceNumber", "type", "dev", "uevent"};
    static constexpr const char* kBuses[] = {"usb", "usb-serial", "pci", "pnp", "platform", "pcmcia", "serial-base"};
    static constexpr const char* kDrivers[] = {"ftdi_sio", "cdc_acm", "serial8250", "serial_cs", "mxser", "moxa",
                                               "jsm", "isicom", "exar_serial", "8250_pci", "cp210x"};

    fs::path root_;
    std::vector<fs::path> devices_;
    std::vector<fs::path> ttys_;
};

} // namespace vxfuzz
