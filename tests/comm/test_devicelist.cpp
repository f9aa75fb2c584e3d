// The device list of an I/O component, the serial-port list and the serial
// component's enumeration in its three modes, over a fake device tree.
#include "devicelist_medium.h"
#include "fake_device_tree.h"
#include "vxcomm.h"
#include "vxwin32.h"

#include <gtest/gtest.h>

namespace {

using V = std::vector<std::string>;

V Texts(const TvxStrings& list)
{
    V texts;
    for (int32_t i = 0; i < list.Count(); ++i)
        texts.push_back(list.Strings(i));
    return texts;
}

V Texts(const TComPortList& list)
{
    V texts;
    for (const auto& e : list)
        texts.push_back(e.Text);
    return texts;
}

V Names(TvxBaseIO& io)
{
    V names;
    for (int32_t i = 0; i < io.DeviceCount(); ++i)
        names.push_back(io.Device(i)->DisplayName);
    return names;
}

TvxMessage DeviceChange(uintptr_t event, const void* header = nullptr)
{
    TvxMessage m;
    m.Msg = vxmsg::WM_DEVICECHANGE;
    m.WParam = event;
    m.LParam = reinterpret_cast<intptr_t>(header);
    return m;
}

// A serial component that counts its enumerations.
class TCountingComm : public TvxComm {
public:
    using TvxComm::TvxComm;
    int enums = 0;
    void EnumDevices() override
    {
        ++enums;
        TvxComm::EnumDevices();
    }
};

} // namespace

// ---- The base device list ------------------------------------------------------------

TEST(DeviceList, FillWithoutStringsOnlyBuildsAnEmptyList)
{
    TListMedium io;
    io.ports = {{1, "COM1"}, {2, "COM2"}};
    io.FillDeviceList(nullptr);
    io.FillDeviceList(nullptr);
    EXPECT_EQ(io.enums, 1);
    EXPECT_EQ(Names(io), (V{"COM1", "COM2"}));
    EXPECT_EQ(io.Device(1)->Index, 1);
    EXPECT_EQ(io.Device(1)->Owner, &io);
}

TEST(DeviceList, FillReplacesTheEntriesOfAStringListInListOrder)
{
    TListMedium io;
    io.ports = {{3, "COM3"}, {1, "COM1"}};
    TvxStringList list;
    list.AddObject("stale", nullptr);
    io.FillDeviceList(&list);
    EXPECT_EQ(Texts(list), (V{"COM3", "COM1"}));
    EXPECT_EQ(list.Objects(0), io.Device(0));
    EXPECT_EQ(list.Objects(1), io.Device(1));
}

TEST(DeviceList, DeviceOutsideTheListIsNullAndIndexOfPortFindsTheFirst)
{
    TListMedium io;
    io.ports = {{5, "COM5"}, {7, "COM7 a"}, {7, "COM7 b"}};
    io.FillDeviceList(nullptr);
    EXPECT_EQ(io.Device(-1), nullptr);
    EXPECT_EQ(io.Device(io.DeviceCount()), nullptr);
    EXPECT_EQ(io.IndexOfPort(7), 1);
    EXPECT_EQ(io.IndexOfPort(6), -1);
}

TEST(DeviceList, ClearSkipsEntriesWithoutADevice)
{
    TListMedium io;
    io.ports = {{1, "COM1"}};
    io.FillDeviceList(nullptr);
    io.Devices.AddObject("no device", nullptr);
    io.ClearDevices();
    EXPECT_EQ(io.DeviceCount(), 0);
}

TEST(DeviceList, DeviceChangeMessagesRefreshOnlyForPortsAndNodeChanges)
{
    TListMedium io;
    io.ports = {{1, "COM1"}};
    io.FillDeviceList(nullptr);

    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_VOLUME, 0};
    auto m = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, &volume);
    EXPECT_FALSE(io.DeviceChangeMessage(m));
    EXPECT_EQ(io.refreshes, 0);

    auto other = DeviceChange(0x0018);
    EXPECT_FALSE(io.DeviceChangeMessage(other));
    TvxMessage notDeviceChange{0x0010, vxmsg::DBT_DEVNODES_CHANGED, 0, 0};
    EXPECT_FALSE(io.DeviceChangeMessage(notDeviceChange));

    // lParam is not read for a node change, whatever it holds.
    TvxMessage nodes = DeviceChange(vxmsg::DBT_DEVNODES_CHANGED);
    nodes.LParam = 0x1234;
    io.ports.push_back({2, "COM2"});
    EXPECT_TRUE(io.DeviceChangeMessage(nodes));
    EXPECT_EQ(Names(io), (V{"COM1", "COM2"}));

    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_PORT, 0};
    auto removed = DeviceChange(vxmsg::DBT_DEVICEREMOVECOMPLETE, &port);
    EXPECT_TRUE(io.DeviceChangeMessage(removed));
    auto withoutHeader = DeviceChange(vxmsg::DBT_DEVICEARRIVAL);
    EXPECT_FALSE(io.DeviceChangeMessage(withoutHeader));
    EXPECT_EQ(io.refreshes, 2);
}

// ---- The serial-port list ----------------------------------------------------------------

TEST(ComPortList, PortsStandInNumericOrderUpperCasedWithTheirDeviceObjects)
{
    TComPortList list;
    EnumComPorts(list, true, {{"\\Device\\Serial0", "COM1"}, {"\\Device\\VCP0", "COM10"}, {"\\Device\\Serial1", "com2"}});
    EXPECT_EQ(Texts(list), (V{"COM1=\\Device\\Serial0", "COM2=\\Device\\Serial1", "COM10=\\Device\\VCP0"}));
    EXPECT_EQ(list[2].PortNo, 10);
    EnumComPorts(list, false, {{"\\Device\\VCP0", "COM10"}, {"\\Device\\Serial1", "com2"}});
    EXPECT_EQ(Texts(list), (V{"COM2", "COM10"})) << "the list is cleared first";
}

TEST(ComPortList, DuplicatesAndNamesThatAreNoComPortsAreLeftOut)
{
    TComPortList list;
    EnumComPorts(list, true,
                 {{"\\Device\\A", "COM3"}, {"\\Device\\B", "COM3"}, {"\\Device\\C", "CNCA0"}, {"\\Device\\D", "COMX"},
                  {"\\Device\\E", std::string("COM4\0junk", 9)}});
    EXPECT_EQ(Texts(list), (V{"COM3=\\Device\\A", "COM4=\\Device\\E"}));
    EnumComPorts(list, false, {{"a", "COM3"}, {"b", "cOm3"}});
    EXPECT_EQ(Texts(list), (V{"COM3"}));
}

TEST(ComPortList, AddSortedKeepsArrivalOrderForEqualNumbersAndIgnoresCase)
{
    TComPortList list;
    AddComPortSorted("COM5", 5, list);
    AddComPortSorted("COM2", 2, list);
    AddComPortSorted("COM5=b", 5, list);
    AddComPortSorted("com2", 2, list);
    AddComPortSorted("COM9", 9, list);
    EXPECT_EQ(Texts(list), (V{"COM2", "COM5", "COM5=b", "COM9"}));
}

// ---- The serial component's enumeration ---------------------------------------------------------

class SerialEnum : public ::testing::Test {
protected:
    FakeDeviceTree tree;
    // A file that a link pins: a port the device tree knows nothing of.
    void PinPlainFile(unsigned number, const std::string& name)
    {
        FakeDeviceTree::Write(tree.root / "dev" / name, "");
        tree.Pin(number, tree.Dev(name));
    }
    void AddConverterAsCom3()
    {
        tree.AddUsbSerial("ttyUSB0", "1-2", "pl2303", {.vendor = "067b", .product = "2303", .manufacturer = "Prolific"});
        tree.Pin(3, tree.Dev("ttyUSB0"));
    }
};

TEST_F(SerialEnum, QuickModeListsTheMapsPortsByNumber)
{
    PinPlainFile(10, "vcp0");
    PinPlainFile(2, "serial1");
    PinPlainFile(1, "serial0");
    TvxComm rs;
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(Names(rs), (V{"COM1", "COM2", "COM10"}));
    const TvxDevice& d = *rs.Device(2);
    EXPECT_EQ(d.PortNo, 10);
    EXPECT_EQ(d.PortName, "COM10");
    EXPECT_EQ(d.DeviceObject, tree.Dev("vcp0"));
    EXPECT_EQ(d.Description, "");
}

TEST_F(SerialEnum, FullInfoNamesMatchedPortsAndKeepsTheOthersBare)
{
    AddConverterAsCom3();
    PinPlainFile(4, "vcp4");
    TvxComm rs;
    rs.SetEnumPorts(epFullInfo);
    rs.FillDeviceList(nullptr);
    ASSERT_EQ(Names(rs), (V{"COM3 (USB Serial Port)", "COM4"}));
    const TvxDevice& d = *rs.Device(0);
    EXPECT_EQ(d.PortName, "COM3");
    EXPECT_EQ(d.DeviceObject, tree.Dev("ttyUSB0")) << "from the map";
    EXPECT_EQ(d.Description, "USB Serial Port");
    EXPECT_EQ(d.Manufacturer, "Prolific");
    EXPECT_EQ(d.Driver, "pl2303");
    EXPECT_EQ(d.Service, "pl2303");
    EXPECT_EQ(d.PnPPortName, "COM3");
    EXPECT_EQ(d.DeviceKey, "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");
    EXPECT_EQ(d.SymbolicName, "") << "not copied";
    EXPECT_EQ(d.InstanceId, "");
    EXPECT_EQ(rs.Device(1)->Description, "");
}

TEST_F(SerialEnum, FullPresentDropsPortsWithoutAPresentDevice)
{
    AddConverterAsCom3();
    PinPlainFile(4, "vcp4");
    TvxComm rs;
    rs.SetEnumPorts(epFullPresent);
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(Names(rs), (V{"COM3 (USB Serial Port)"}));
}

TEST_F(SerialEnum, AFullEnumerationReadsTheDeviceTreeOnce)
{
    AddConverterAsCom3();
    tree.AddUart("ttyS0");
    TvxComm rs;
    rs.SetEnumPorts(epFullPresent);
    const unsigned long before = vxport::DeviceTreeReads();
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(vxport::DeviceTreeReads() - before, 1u);
    EXPECT_EQ(Names(rs), (V{"COM1 (Communications Port)", "COM3 (USB Serial Port)"}));
}

TEST_F(SerialEnum, AMatchWithoutDescriptionKeepsTheBareNameButCopiesTheRest)
{
    tree.AddTty("ttyZ0", tree.AddDevice("platform/odd", "platform"), "240:0");
    tree.Pin(5, tree.Dev("ttyZ0"));
    TvxComm rs;
    rs.SetEnumPorts(epFullPresent);
    rs.FillDeviceList(nullptr);
    ASSERT_EQ(Names(rs), (V{"COM5"}));
    EXPECT_EQ(rs.Device(0)->PnPPortName, "COM5");
    EXPECT_EQ(rs.Device(0)->DeviceKey, "/devices/platform/odd/tty/ttyZ0");
}

TEST_F(SerialEnum, NoPortsLeaveTheListEmptyAndEveryFillEnumeratesAgain)
{
    TCountingComm rs;
    rs.SetEnumPorts(epFullInfo);
    rs.FillDeviceList(nullptr);
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(rs.DeviceCount(), 0);
    EXPECT_EQ(rs.enums, 2);
}

TEST_F(SerialEnum, ANewModeAppliesAtTheNextBuild)
{
    AddConverterAsCom3();
    TvxComm rs;
    rs.FillDeviceList(nullptr);
    rs.SetEnumPorts(epFullInfo);
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(Names(rs), (V{"COM3"}));
    rs.RefreshDevices();
    EXPECT_EQ(Names(rs), (V{"COM3 (USB Serial Port)"}));
}

TEST_F(SerialEnum, SelectDeviceSetsThePortAndDeviceIndexFindsIt)
{
    PinPlainFile(2, "a");
    PinPlainFile(7, "b");
    TvxComm rs;
    int notified = 0;
    rs.AddNotify(TOnNotifyEvent([&](TObject*, int32_t kind) { notified += kind == nkDevicesChanged; }, &notified));
    rs.FillDeviceList(nullptr);
    EXPECT_EQ(rs.DeviceIndex(), -1) << "COM1 is not in the list";
    rs.SelectDevice(-1);
    rs.SelectDevice(rs.DeviceCount());
    EXPECT_EQ(rs.ComPortNo(), 1);
    EXPECT_EQ(notified, 0);
    rs.SelectDevice(1);
    EXPECT_EQ(rs.ComPortNo(), 7);
    EXPECT_EQ(rs.DeviceIndex(), 1);
    EXPECT_EQ(notified, 1);
}

TEST_F(SerialEnum, RefreshRebuildsTheListAndNotifies)
{
    PinPlainFile(2, "a");
    TvxComm rs;
    int notified = 0;
    rs.AddNotify(TOnNotifyEvent([&](TObject*, int32_t kind) { notified += kind == nkDevicesChanged; }, &notified));
    rs.FillDeviceList(nullptr);
    PinPlainFile(6, "b");
    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_PORT, 0};
    auto m = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, &port);
    EXPECT_TRUE(rs.DeviceChangeMessage(m));
    EXPECT_EQ(Names(rs), (V{"COM2", "COM6"}));
    EXPECT_EQ(notified, 1);
}
