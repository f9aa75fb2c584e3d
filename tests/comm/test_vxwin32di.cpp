// The device walk over a fake device tree.
#include "fake_device_tree.h"
#include "vxwin32di.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

namespace {

TvxDeviceRecords Walk(const std::string& guid, bool present = true, bool deviceMode = true)
{
    TvxDeviceRecords records;
    WalkSetupDevices(guid, present, deviceMode, records, !deviceMode);
    return records;
}

std::vector<std::string> Objects(const TvxDeviceRecords& records)
{
    std::vector<std::string> names;
    for (const auto& r : records)
        names.push_back(fs::path(r->DeviceObject).filename().string());
    return names;
}

const TvxDevice* ByObject(const TvxDeviceRecords& records, const std::string& name)
{
    for (const auto& r : records)
        if (fs::path(r->DeviceObject).filename() == name)
            return r.get();
    return nullptr;
}

using V = std::vector<std::string>;

} // namespace

TEST(DeviceWalk, UsbConverterCarriesItsProductMakerDriverAndPaths)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio",
                      {.productName = "FT232R USB UART", .manufacturer = "FTDI", .serial = "A50285BI"});
    tree.AddById("usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "ttyUSB0");
    tree.Pin(3, tree.Dev("ttyUSB0"));

    auto records = Walk(vxdi::GUID_DEVCLASS_PORTS);
    ASSERT_EQ(records.size(), 1u);
    const TvxDevice& d = *records[0];
    EXPECT_EQ(d.Description, "FT232R USB UART");
    EXPECT_EQ(d.Manufacturer, "FTDI");
    EXPECT_EQ(d.Driver, "ftdi_sio");
    EXPECT_EQ(d.Service, "ftdi_sio");
    EXPECT_EQ(d.DeviceObject, tree.Dev("ttyUSB0"));
    EXPECT_EQ(d.DeviceKey, "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    EXPECT_EQ(d.SymbolicName, tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
    EXPECT_EQ(d.PnPPortName, "COM3");
    EXPECT_EQ(d.InstanceId, "USB\\VID_0403&PID_6001\\A50285BI");
    EXPECT_EQ(d.DevInst, (188u << 20) | 0u);
}

TEST(DeviceWalk, UartBehindTheSerialCoreGetsItsControllersDriverAndADriverBasedDescription)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");

    auto records = Walk(vxdi::GUID_DEVCLASS_PORTS);
    ASSERT_EQ(records.size(), 1u);
    const TvxDevice& d = *records[0];
    EXPECT_EQ(d.Driver, "serial");
    EXPECT_EQ(d.Service, "serial") << "a built-in driver is its own service";
    EXPECT_EQ(d.Description, "Communications Port");
    EXPECT_EQ(d.Manufacturer, "");
    EXPECT_EQ(d.PnPPortName, "COM1");
    EXPECT_EQ(d.SymbolicName, tree.Dev("ttyS0")) << "no stable link: the node itself";
    EXPECT_EQ(d.InstanceId, "PNP\\00:05");
    EXPECT_EQ(d.DevInst, (4u << 20) | 64u);
}

TEST(DeviceWalk, UartsReadAlikeInTheSerialCoreLayoutsBeforeAndAfterKernel65)
{
    auto read = [](bool serialCore) {
        FakeDeviceTree tree(serialCore ? "-new" : "-old");
        tree.AddUart("ttyS0", "00:05", serialCore);
        tree.AddUart("ttyS40", "00:06", serialCore); // no fixed number: numbered by its identity
        std::vector<std::string> seen;
        for (const auto& e : vxport::ReadPortMap(tree.config))
            seen.push_back("COM" + std::to_string(e.number) + " " + fs::path(e.device).filename().string());
        for (const auto& r : Walk(vxdi::GUID_DEVCLASS_PORTS))
            seen.push_back(r->PnPPortName + " " + r->Driver + " " + r->Description + " " + r->InstanceId);
        return seen;
    };
    const auto before = read(false);
    EXPECT_EQ(before.size(), 4u);
    EXPECT_EQ(before, read(true));
}

TEST(DeviceWalk, APseudoTerminalThatALinkNamesIsAPortOfItsOwnKind)
{
    FakeDeviceTree tree;
    FakeDeviceTree::Write(tree.root / "dev" / "pts" / "3", "");
    tree.Pin(1, tree.Dev("pts/3"));
    auto records = Walk(vxdi::GUID_DEVCLASS_PORTS);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->Description, "Pseudo-terminal");
    EXPECT_EQ(records[0]->PnPPortName, "COM1");
    EXPECT_EQ(records[0]->DeviceObject, tree.Dev("pts/3"));
}

TEST(DeviceWalk, EachDeviceBelongsToOneClassAndInterfaceRecordsNeverNameAPort)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    tree.AddUsbSerial("ttyUSB0", "1-2", "cp210x", {.vendor = "10c4", .product = "ea60"});
    tree.AddAcm("ttyACM0", "1-3", {.vendor = "2341", .product = "0043", .productName = "Arduino Uno"});
    tree.AddRfcomm("rfcomm0");
    const fs::path card = tree.AddDevice("pci0000:00/0000:03:00.0", "pci", "serial");
    tree.AddTty("ttyS4", card, "4:68", "4");
    tree.AddTty("ttyS5", card, "4:69", "4");
    tree.AddTty("ttyS6", tree.AddDevice("platform/serial8250", "platform", "serial8250"), "4:70", "4");
    tree.AddTty("ttyS7", tree.AddDevice("platform/serial8250", "platform", "serial8250"), "4:71", "0");
    tree.AddTty("ttyX0", tree.AddDevice("platform/odd", "platform"), "240:0");
    fs::create_directories(tree.root / "sys/class/tty/tty1"); // a virtual terminal

    using namespace vxdi;
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_PORTS)), (V{"ttyS0", "ttyUSB0"}));
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_MODEM)), (V{"ttyACM0"}));
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_BLUETOOTH)), (V{"rfcomm0"}));
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_MULTIPORTSERIAL)), (V{"ttyS4", "ttyS5"}));
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_LEGACYDRIVER)), (V{"ttyS6"})) << "ttyS7 has no hardware";
    EXPECT_EQ(Objects(Walk(GUID_DEVCLASS_NODRIVER)), (V{"ttyX0"}));
    EXPECT_TRUE(Walk(GUID_DEVCLASS_ADAPTER).empty());
    EXPECT_TRUE(Walk(GUID_DEVCLASS_INFRARED).empty());
    EXPECT_TRUE(Walk(GUID_DEVCLASS_MULTIFUNCTION).empty());
    EXPECT_TRUE(Walk(GUID_DEVINTERFACE_SERENUM_BUS_ENUMERATOR, true, false).empty());
    EXPECT_TRUE(Walk("{00000000-0000-0000-0000-000000000000}").empty());

    auto modems = Walk(GUID_DEVINTERFACE_MODEM, true, false);
    EXPECT_EQ(Objects(modems), (V{"ttyACM0"}));
    auto all = Walk(GUID_DEVINTERFACE_COMPORT, true, false);
    EXPECT_EQ(all.size(), 8u);
    for (const auto& r : all) {
        EXPECT_TRUE(r->PnPPortName.empty() && r->DeviceKey.empty() && r->InstanceId.empty()) << r->DeviceObject;
        EXPECT_EQ(r->SymbolicName, r->DeviceObject);
    }
    EXPECT_EQ(FindPortDevice(all, "COM1"), all.end());

    const auto* acm = ByObject(modems, "ttyACM0");
    ASSERT_TRUE(acm);
    EXPECT_EQ(acm->Description, "Arduino Uno");
    EXPECT_EQ(acm->Driver, "cdc_acm");
    EXPECT_EQ(ByObject(Walk(GUID_DEVCLASS_PORTS), "ttyUSB0")->Description, "USB Serial Port");
    EXPECT_EQ(ByObject(Walk(GUID_DEVCLASS_BLUETOOTH), "rfcomm0")->Description, "Standard Serial over Bluetooth link");
    EXPECT_EQ(Objects(Walk("")).size(), 8u) << "no class: every device";
}

TEST(DeviceWalk, ClassNamesCompareWithoutLetterCase)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    EXPECT_EQ(Walk("{4d36e978-e325-11ce-bfc1-08002be10318}").size(), 1u);
}

TEST(DeviceWalk, OnlyTheWiderWalkListsAPinnedPortWhoseDeviceIsGone)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    tree.Pin(7, tree.Dev("serial/by-id/usb-FTDI_gone-if00-port0"));
    tree.Pin(1, tree.Dev("serial/by-id/usb-other_gone")); // keeps COM1 from ttyS0

    auto present = Walk(vxdi::GUID_DEVCLASS_PORTS, true);
    ASSERT_EQ(present.size(), 1u);
    EXPECT_EQ(present[0]->DeviceObject, tree.Dev("ttyS0"));
    EXPECT_NE(present[0]->PnPPortName, "COM1");
    auto all = Walk(vxdi::GUID_DEVCLASS_PORTS, false);
    ASSERT_EQ(all.size(), 3u);
    auto gone = FindPortDevice(all, "com7");
    ASSERT_NE(gone, all.end());
    EXPECT_EQ((*gone)->DeviceObject, tree.Dev("serial/by-id/usb-FTDI_gone-if00-port0"));
    EXPECT_EQ((*gone)->Description, "");
    EXPECT_EQ((*FindPortDevice(all, "COM1"))->DeviceObject, tree.Dev("serial/by-id/usb-other_gone"));
}

TEST(DeviceWalk, MissingPortWithTwoLinksShowsTheTargetThatOpeningUses)
{
    FakeDeviceTree tree;
    fs::create_symlink(tree.Dev("gone-b"), fs::path(tree.config.linkFolder) / "com04");
    tree.Pin(4, tree.Dev("gone-a"));
    fs::create_symlink(tree.Dev("gone-c"), fs::path(tree.config.linkFolder) / "com004");
    auto all = Walk(vxdi::GUID_DEVCLASS_PORTS, false);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->DeviceObject, tree.Dev("gone-a"));
    EXPECT_EQ(vxport::ResolveComPort(4, tree.config), tree.Dev("gone-a"));
}

TEST(DeviceWalk, WhatCannotBeReadStaysEmptyAndTheRecordIsStillAdded)
{
    FakeDeviceTree tree;
    // A device without bus, driver or device number.
    const fs::path bare = tree.root / "sys/devices/bare";
    fs::create_directories(bare);
    tree.AddTty("ttyZ0", bare, "");

    auto records = Walk(vxdi::GUID_DEVCLASS_NODRIVER);
    ASSERT_EQ(records.size(), 1u);
    const TvxDevice& d = *records[0];
    EXPECT_EQ(d.Driver, "");
    EXPECT_EQ(d.Service, "");
    EXPECT_EQ(d.Description, "");
    EXPECT_EQ(d.InstanceId, "");
    EXPECT_EQ(d.Children, "");
    EXPECT_EQ(d.DevInst, 0u);
    EXPECT_EQ(d.DeviceObject, tree.Dev("ttyZ0"));
    EXPECT_FALSE(d.PnPPortName.empty()) << "the map still numbers it";
}

TEST(DeviceWalk, ATreeThatCannotBeReadAddsNothing)
{
    FakeDeviceTree tree;
    vxport::PortMapConfig missing = tree.config;
    missing.sysfsRoot = (tree.root / "nowhere").string();
    EXPECT_FALSE(LoadSetupServices(missing));
    TvxDeviceRecords records;
    records.push_back(std::make_unique<TvxDevice>());
    WalkSetupDevices(missing, vxdi::GUID_DEVCLASS_PORTS, false, true, records, false);
    EXPECT_EQ(records.size(), 1u);
}

TEST(DeviceWalk, ChildrenAreTheBusDevicesBelowTheHardwareDevice)
{
    FakeDeviceTree tree;
    const fs::path card = tree.AddDevice("pci0000:00/0000:04:00.0", "pci", "mxser", "mxser");
    tree.AddDevice("pci0000:00/0000:04:00.0/gpio1", "platform");
    tree.AddDevice("pci0000:00/0000:04:00.0/gpio0", "platform");
    tree.AddTty("ttyMI0", card, "174:0");

    auto records = Walk(vxdi::GUID_DEVCLASS_MULTIPORTSERIAL);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->InstanceId, "PCI\\0000:04:00.0");
    EXPECT_EQ(records[0]->Children, "PLATFORM\\gpio0;PLATFORM\\gpio1");
    EXPECT_EQ(records[0]->Service, "mxser");
}

TEST(DeviceWalk, PortsOfOneCompositeUsbDeviceNameTheirInterface)
{
    FakeDeviceTree tree;
    FakeDeviceTree::Usb dual{.product = "6010", .productName = "Dual RS232", .interfaces = 2};
    tree.AddUsbSerial("ttyUSB1", "1-4", "ftdi_sio", dual, 1, "188:1");

    auto records = Walk(vxdi::GUID_DEVCLASS_PORTS);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]->InstanceId, "USB\\VID_0403&PID_6010&MI_01\\1-4") << "no serial: the USB port";
}

TEST(DeviceWalk, AllTwelveWalksOverSixtyFourPortsStayQuick)
{
    FakeDeviceTree tree;
    for (int i = 0; i < 32; ++i)
        tree.AddUsbSerial("ttyUSB" + std::to_string(i), "1-" + std::to_string(i + 1), "ftdi_sio",
                          {.productName = "FT232R USB UART", .serial = "S" + std::to_string(i)});
    for (int i = 0; i < 32; ++i)
        tree.AddUart("ttyS" + std::to_string(i), "00:" + std::to_string(10 + i));

    // As a full enumeration runs them: the tree and the map read once.
    const auto start = std::chrono::steady_clock::now();
    const auto snapshot = vxport::ReadPortSnapshot(tree.config);
    TvxDeviceRecords records;
    for (const auto& walk : vxdi::SetupWalks)
        WalkSetupDevices(snapshot, walk.Guid, false, walk.DeviceMode, records, !walk.DeviceMode);
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(records.size(), 128u) << "64 interface records and 64 device records";
    EXPECT_LT(ms, 2000.0);
    RecordProperty("full_walk_ms", std::to_string(ms));
    std::printf("twelve walks over 64 ports: %.1f ms\n", ms);
}
