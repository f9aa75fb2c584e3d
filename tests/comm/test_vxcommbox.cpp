// The device selector box and the device events that refresh it.
#include "Application.h"
#include "devicelist_medium.h"
#include "fake_device_tree.h"
#include "porttest.h"
#include "vxcomm.h"
#include "vxcommbox.h"
#include "vxcommbox_hints.h"
#include "vxdevicemonitor.h"

#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/socket.h>

namespace {

using V = std::vector<std::string>;

V Items(const QComboBox& box)
{
    V items;
    for (int i = 0; i < box.count(); ++i)
        items.push_back(box.itemText(i).toStdString());
    return items;
}

std::unique_ptr<TListMedium> Medium(std::vector<std::pair<int32_t, std::string>> ports, int32_t current)
{
    auto io = std::make_unique<TListMedium>();
    io->ports = std::move(ports);
    io->current = current;
    io->selectLikeSerial = true;
    return io;
}

} // namespace

TEST(DeviceBox, IsADropDownListWhoseItemsCarryTheirDeviceAndATooltip)
{
    auto io = Medium({{1, "COM1"}, {4, "COM4"}}, 4);
    TvxDeviceBox box;
    EXPECT_FALSE(box.isEditable());
    EXPECT_FALSE(box.ResetOnChanged());
    box.SetvxComm(io.get());
    EXPECT_EQ(Items(box), (V{"COM1", "COM4"}));
    EXPECT_EQ(box.currentIndex(), 1);
    EXPECT_EQ(box.ItemDevice(1), io->Device(1));
    EXPECT_EQ(box.ItemDevice(2), nullptr);
    EXPECT_EQ(box.itemData(1, Qt::ToolTipRole).toString().toStdString(), "Device: /dev/COM4");
    EXPECT_EQ(TvxDeviceBox::DeviceToolTip("/dev/ttyUSB0", "FT232R USB UART", "FTDI").toStdString(),
              "Device: /dev/ttyUSB0\nDescription: FT232R USB UART\nManufacturer: FTDI");
}

TEST(DeviceBox, BindingEnumeratesOnceAndASecondBoxReusesTheList)
{
    auto io = Medium({{1, "COM1"}, {2, "COM2"}}, 2);
    TvxDeviceBox first, second;
    first.SetvxComm(io.get());
    second.SetvxComm(io.get());
    EXPECT_EQ(io->enums, 1);
    EXPECT_EQ(Items(second), (V{"COM1", "COM2"}));
    EXPECT_EQ(second.currentIndex(), 1);
    EXPECT_EQ(io->NotifyList.Count(), 2);
}

TEST(DeviceBox, RebindingTheSameComponentRefillsWithoutRegisteringTwice)
{
    auto io = Medium({{1, "COM1"}}, 1);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    box.SetvxComm(io.get());
    box.RefreshItems();
    EXPECT_EQ(io->NotifyList.Count(), 1);
    EXPECT_EQ(Items(box), (V{"COM1"}));
}

TEST(DeviceBox, APortNumberWithoutDeviceShowsNoSelection)
{
    auto io = Medium({{1, "COM1"}}, 9);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    EXPECT_EQ(box.currentIndex(), -1);
}

TEST(DeviceBox, UnbindingOrRebindingElsewhereUnregistersFromThePrevious)
{
    auto a = Medium({{1, "COM1"}}, 1);
    auto b = Medium({{2, "COM2"}}, 2);
    TvxDeviceBox box;
    box.SetvxComm(a.get());
    box.SetvxComm(b.get());
    EXPECT_EQ(a->NotifyList.Count(), 0);
    EXPECT_EQ(Items(box), (V{"COM2"}));
    box.SetvxComm(nullptr);
    EXPECT_EQ(b->NotifyList.Count(), 0);
    EXPECT_EQ(box.count(), 0);
    EXPECT_EQ(box.currentIndex(), -1);
}

TEST(DeviceBox, ADestroyedBoxLeavesNoHandlerBehind)
{
    auto io = Medium({{1, "COM1"}}, 1);
    {
        TvxDeviceBox box;
        box.SetvxComm(io.get());
        EXPECT_EQ(io->NotifyList.Count(), 1);
    }
    EXPECT_EQ(io->NotifyList.Count(), 0);
    io->SelectDevice(0); // would reach a box that is gone
}

TEST(DeviceBox, AFreedComponentLeavesTheItemsWithoutSelectionAndPicksDoNothing)
{
    auto io = Medium({{1, "COM1"}, {2, "COM2"}}, 1);
    TvxDeviceBox box;
    int changes = 0;
    box.OnChange = TNotifyEvent([&](TObject*) { ++changes; }, &changes);
    box.SetvxComm(io.get());
    io.reset();
    EXPECT_EQ(box.vxComm(), nullptr);
    EXPECT_EQ(Items(box), (V{"COM1", "COM2"}));
    EXPECT_EQ(box.currentIndex(), -1);
    EXPECT_EQ(box.ItemDevice(0), nullptr) << "the records went with the component";
    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(changes, 0);
    TvxMessage m{vxmsg::WM_DEVICECHANGE, vxmsg::DBT_DEVNODES_CHANGED, 0, 0};
    EXPECT_FALSE(box.DeviceChanged(m));
}

TEST(DeviceBox, PickingTheSelectedEntryAgainChangesNothing)
{
    auto io = Medium({{1, "COM1"}, {2, "COM2"}}, 2);
    TvxDeviceBox box;
    int changes = 0, notified = 0;
    box.OnChange = TNotifyEvent([&](TObject*) { ++changes; }, &changes);
    box.SetvxComm(io.get());
    io->AddNotify(TOnNotifyEvent([&](TObject*, int32_t) { ++notified; }, &notified));
    emit box.activated(1);
    EXPECT_EQ(changes, 0);
    EXPECT_EQ(notified, 0);
    QTest::keyClick(&box, Qt::Key_Up);
    EXPECT_EQ(io->current, 1);
    EXPECT_EQ(changes, 1);
}

TEST(DeviceBox, AFailingEnumerationReachesTheCallerAndLeavesTheBoxUnbound)
{
    auto io = Medium({{1, "COM1"}}, 1);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    io->ClearDevices();
    io->failEnum = true;
    EXPECT_THROW(box.RefreshItems(), EConvertError);
    EXPECT_EQ(box.vxComm(), nullptr);
    EXPECT_EQ(io->NotifyList.Count(), 0);
}

TEST(DeviceBox, DeviceChangedHandsTheMessageToTheComponentAndRefills)
{
    auto io = Medium({{1, "COM1"}}, 1);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    io->ports.push_back({5, "COM5"});
    DEV_BROADCAST_HDR volume{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_VOLUME, 0};
    TvxMessage m{vxmsg::WM_DEVICECHANGE, vxmsg::DBT_DEVICEARRIVAL, reinterpret_cast<intptr_t>(&volume), 0};
    EXPECT_FALSE(box.DeviceChanged(m));
    EXPECT_EQ(Items(box), (V{"COM1"}));
    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_PORT, 0};
    m.LParam = reinterpret_cast<intptr_t>(&port);
    EXPECT_TRUE(box.DeviceChanged(m));
    EXPECT_EQ(Items(box), (V{"COM1", "COM5"}));
    EXPECT_EQ(box.currentIndex(), 0);
}

TEST(DeviceBox, PickingAnotherPortWhileOpenReopensOnItAndFiresOnChangeOnce)
{
    namespace fs = std::filesystem;
    porttest::Pty first, second;
    const fs::path links = fs::path(std::getenv("XDG_CONFIG_HOME")) / "vxcomm" / "ports";
    fs::remove_all(links);
    fs::create_directories(links);
    fs::create_symlink(first.path, links / "com1");
    fs::create_symlink(second.path, links / "com2");

    TvxComm rs;
    int opens = 0, closes = 0, changes = 0;
    rs.OnOpen = TNotifyEvent([&](TObject*) { ++opens; }, &opens);
    rs.OnClose = TNotifyEvent([&](TObject*) { ++closes; }, &closes);
    rs.SetActive(true);
    ASSERT_TRUE(rs.Active());
    TvxDeviceBox box;
    box.OnChange = TNotifyEvent([&](TObject*) { ++changes; }, &changes);
    box.SetvxComm(&rs);
    ASSERT_GE(box.count(), 2);
    ASSERT_EQ(box.currentIndex(), 0);

    QTest::keyClick(&box, Qt::Key_Down);
    EXPECT_EQ(rs.ComPortNo(), 2);
    EXPECT_TRUE(rs.Active());
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(box.currentIndex(), 1);
    EXPECT_EQ(changes, 1);
    rs.SetActive(false);
    fs::remove_all(links);
}

// ---- Device events -----------------------------------------------------------------------------

namespace {

std::string Uevent(const std::string& action, const std::string& devpath, const std::string& subsystem,
                   const std::string& devname)
{
    std::string m = action + "@" + devpath;
    m += '\0';
    for (std::string line : {"ACTION=" + action, "DEVPATH=" + devpath, "SUBSYSTEM=" + subsystem,
                             "DEVNAME=" + devname, std::string("SEQNUM=1234")}) {
        m += line;
        m += '\0';
    }
    return m;
}

const std::string kUsbTty = "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0";

struct Seen {
    uintptr_t event;
    uint32_t type;
    std::string name;
};

class DeviceEvents : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        monitor.SetSettleTime(0);
        ASSERT_TRUE(monitor.StartOnSocket(fds[0]));
        monitor.OnDeviceChange = TMethod<TvxMessage&>(
            [this](TvxMessage& m) {
                ASSERT_EQ(m.Msg, vxmsg::WM_DEVICECHANGE);
                const auto* port = reinterpret_cast<const DEV_BROADCAST_PORT_A*>(m.LParam);
                seen.push_back({m.WParam, port->dbcp_devicetype, port->dbcp_name});
            },
            this);
    }
    void TearDown() override
    {
        monitor.Stop();
        ::close(fds[1]);
    }
    void Send(const std::string& datagram) { ASSERT_EQ(::send(fds[1], datagram.data(), datagram.size(), 0), ssize_t(datagram.size())); }
    bool WaitFor(size_t count, int ms = 3000)
    {
        return QTest::qWaitFor([&] { return seen.size() >= count; }, ms);
    }

    int fds[2] = {-1, -1};
    TvxDeviceMonitor monitor;
    std::vector<Seen> seen;
};

} // namespace

TEST(DeviceEventParsing, KernelMessagesParseAndOnlySerialTtysCount)
{
    const std::string m = Uevent("add", kUsbTty, "tty", "ttyUSB0");
    auto e = vxdevmon::ParseUevent(m.data(), m.size());
    ASSERT_TRUE(e);
    EXPECT_EQ(e->Action, "add");
    EXPECT_EQ(e->DevPath, kUsbTty);
    EXPECT_EQ(e->DevName, "ttyUSB0");
    EXPECT_TRUE(vxdevmon::IsSerialPort(*e));

    const std::string udev = std::string("libudev\0\xfe\xed\xca\xfe", 12);
    EXPECT_FALSE(vxdevmon::ParseUevent(udev.data(), udev.size()));
    EXPECT_FALSE(vxdevmon::ParseUevent("", 0));

    using vxdevmon::TUevent;
    EXPECT_FALSE(vxdevmon::IsSerialPort(TUevent{"add", "/devices/virtual/tty/tty3", "tty", "tty3"}));
    EXPECT_FALSE(vxdevmon::IsSerialPort(TUevent{"add", "/devices/pci0000:00/usb1/1-2", "usb", "bus/usb/001/002"}));
    EXPECT_FALSE(vxdevmon::IsSerialPort(TUevent{"add", "/devices/x/tty/a", "tty", "../etc/passwd"}));
    EXPECT_TRUE(vxdevmon::IsSerialPort(TUevent{"add", "/devices/virtual/tty/rfcomm0", "tty", "rfcomm0"}));
}

TEST_F(DeviceEvents, AddAndRemoveOfASerialTtyBecomePortMessages)
{
    Send(Uevent("add", "/devices/pci0000:00/0000:00:14.0/usb1/1-2", "usb", "bus/usb/001/005"));
    Send(Uevent("add", "/devices/virtual/tty/tty9", "tty", "tty9"));
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(WaitFor(1));
    Send(Uevent("change", kUsbTty, "tty", "ttyUSB0"));
    Send(Uevent("remove", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(WaitFor(2));
    QTest::qWait(50);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, vxmsg::DBT_DEVICEARRIVAL);
    EXPECT_EQ(seen[0].type, vxmsg::DBT_DEVTYP_PORT);
    EXPECT_EQ(seen[0].name, "/dev/ttyUSB0");
    EXPECT_EQ(seen[1].event, vxmsg::DBT_DEVICEREMOVECOMPLETE);
}

TEST_F(DeviceEvents, EventsWithinTheSettleTimeMakeOneMessagePerKind)
{
    monitor.SetSettleTime(200);
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    Send(Uevent("add", kUsbTty + "x", "tty", "ttyUSB1"));
    Send(Uevent("remove", "/devices/pnp0/00:05/tty/ttyS3", "tty", "ttyS3"));
    ASSERT_TRUE(WaitFor(2));
    QTest::qWait(300);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, vxmsg::DBT_DEVICEARRIVAL);
    EXPECT_EQ(seen[0].name, "/dev/ttyUSB1");
    EXPECT_EQ(seen[1].event, vxmsg::DBT_DEVICEREMOVECOMPLETE);
}

TEST_F(DeviceEvents, ForwardedToABoxTheyRefreshItsComponent)
{
    auto io = Medium({{1, "COM1"}}, 1);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    bool refreshed = false;
    monitor.OnDeviceChange = TMethod<TvxMessage&>([&](TvxMessage& m) { refreshed = box.DeviceChanged(m); }, &box);
    io->ports.push_back({33, "COM33"});
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return refreshed; }, 3000));
    EXPECT_EQ(Items(box), (V{"COM1", "COM33"}));
}

// ---- Tooltips from the device tree ----------------------------------------------------------------

TEST(DeviceBoxHints, QuickModeItemsTellTheProductAndMakerOfTheirDevice)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", {.productName = "FT232R USB UART", .manufacturer = "FTDI"});
    tree.Pin(3, tree.Dev("ttyUSB0"));
    FakeDeviceTree::Write(tree.root / "dev" / "pts7", "");
    tree.Pin(4, tree.Dev("pts7"));

    TvxComm rs;
    TvxDeviceBox box;
    box.SetvxComm(&rs);
    ShowDeviceTreeHints(&box);
    ShowDeviceTreeHints(&box);
    ASSERT_EQ(Items(box), (V{"COM3", "COM4"}));
    auto tip = [&](int i) { return box.itemData(i, Qt::ToolTipRole).toString().toStdString(); };
    EXPECT_EQ(tip(0), "Device: " + tree.Dev("ttyUSB0") + "\nDescription: FT232R USB UART\nManufacturer: FTDI");
    EXPECT_EQ(tip(1), "Device: " + tree.Dev("pts7")) << "the tree does not know it";

    int applied = 0;
    QObject::connect(&box, &TvxDeviceBox::ItemsRefreshed, [&] { ++applied; });
    rs.RefreshDevices();
    EXPECT_EQ(applied, 1);
    EXPECT_EQ(tip(0), "Device: " + tree.Dev("ttyUSB0") + "\nDescription: FT232R USB UART\nManufacturer: FTDI");
}
