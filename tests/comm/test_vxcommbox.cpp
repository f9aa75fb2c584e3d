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

#include <chrono>
#include <filesystem>
#include <map>
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

// A change of the device list told on another thread refills the box later,
// on the box's own thread.
TEST(DeviceBox, ADeviceChangeToldOnAnotherThreadRefillsOnTheBoxsThread)
{
    auto io = Medium({{1, "COM1"}}, 1);
    TvxDeviceBox box;
    box.SetvxComm(io.get());
    io->ports.push_back({5, "COM5"});
    std::thread([&] { io->RefreshDevices(); }).join(); // which tells of the change there
    EXPECT_EQ(Items(box), (V{"COM1"}));
    QCoreApplication::processEvents();
    EXPECT_EQ(Items(box), (V{"COM1", "COM5"}));
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
                if (port)
                    seen.push_back({m.WParam, port->dbcp_devicetype, port->dbcp_name});
                else
                    seen.push_back({m.WParam, 0, {}});
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

TEST_F(DeviceEvents, LostEventsBringOneFullRefreshAndLaterEventsStillCome)
{
    bool lost = false;
    monitor.SetEventReader([&](int socket, std::string& datagram) {
        if (!lost) {
            lost = true;
            char drop[8192];
            ::recv(socket, drop, sizeof drop, MSG_DONTWAIT); // what the kernel dropped
            return vxport::EventRead::Lost;
        }
        return vxport::ReadKernelEvent(socket, false, datagram);
    });
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(WaitFor(1));
    EXPECT_EQ(seen[0].event, vxmsg::DBT_DEVNODES_CHANGED);
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(seen[1].event, vxmsg::DBT_DEVICEARRIVAL);
    QTest::qWait(50);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(DeviceEvents, WithoutAFolderWatchAnArrivalIsFollowedByALaterRefresh)
{
    monitor.SetArrivalRetries({100});
    Send(Uevent("add", kUsbTty, "tty", "ttyUSB0"));
    ASSERT_TRUE(WaitFor(2));
    EXPECT_EQ(seen[0].event, vxmsg::DBT_DEVICEARRIVAL);
    EXPECT_EQ(seen[1].event, vxmsg::DBT_DEVNODES_CHANGED);
}

namespace {

// A serial component bound to a box that the monitor's messages refresh, as
// the window sets them up.
struct WatchedBox {
    TvxComm rs;
    TvxDeviceBox box;
    TvxDeviceMonitor monitor;
    explicit WatchedBox(const vxport::PortMapConfig& config)
    {
        box.SetvxComm(&rs);
        monitor.SetSettleTime(50);
        monitor.OnDeviceChange = TMethod<TvxMessage&>([this](TvxMessage& m) { box.DeviceChanged(m); }, this);
        EXPECT_TRUE(monitor.WatchFolders(config));
    }
    bool Shows(const V& items, int ms = 3000)
    {
        return QTest::qWaitFor([&] { return Items(box) == items; }, ms);
    }
};

} // namespace

TEST(DeviceFolderWatch, AByIdLinkMadeHalfASecondAfterTheKernelEventEndsInTheRightList)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", {.serial = "A1"});
    tree.Pin(1, tree.Dev("serial/by-id/usb-FTDI_A1-if00-port0")); // udev has not made it yet
    WatchedBox watched(tree.config);
    const V automatic = Items(watched.box);
    ASSERT_EQ(automatic.size(), 1u);
    EXPECT_NE(automatic[0], "COM1");

    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_TRUE(watched.monitor.StartOnSocket(fds[0]));
    ASSERT_TRUE(watched.monitor.WatchFolders(tree.config));
    const std::string add = Uevent("add", kUsbTty, "tty", "ttyUSB0");
    ASSERT_EQ(::send(fds[1], add.data(), add.size(), 0), ssize_t(add.size()));
    QTimer::singleShot(500, [&] { tree.AddById("usb-FTDI_A1-if00-port0", "ttyUSB0"); });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(watched.Shows({"COM1"}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    watched.monitor.Stop();
    ::close(fds[1]);
}

TEST(DeviceFolderWatch, WithoutKernelEventsALinkMadeOrRemovedRefreshesTheList)
{
    FakeDeviceTree tree;
    fs::remove_all(tree.config.linkFolder); // made later, with its first link
    FakeDeviceTree::Write(tree.root / "dev" / "pts" / "5", "");
    WatchedBox watched(tree.config);
    EXPECT_FALSE(watched.monitor.Active());
    EXPECT_TRUE(Items(watched.box).empty());
    fs::create_directories(tree.config.linkFolder);
    tree.Pin(5, tree.Dev("pts/5"));
    EXPECT_TRUE(watched.Shows({"COM5"}));
    fs::remove(fs::path(tree.config.linkFolder) / "com5");
    EXPECT_TRUE(watched.Shows({}));
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

TEST(DeviceBoxHints, ItemsSayWhenTheNumberFollowsTheSocketAndWhenTheUserHasNoAccess)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ch341", {.vendor = "1a86", .product = "7523"}); // no serial number
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", {.serial = "A1"}, 0, "188:1");
    std::vector<std::string> checked;
    SetDeviceAccessCheck([&](const std::string& node) {
        checked.push_back(node);
        return vxport::DeviceAccess{node != tree.Dev("ttyUSB1"), "uucp"};
    });
    TvxComm rs;
    TvxDeviceBox box;
    box.SetvxComm(&rs);
    ShowDeviceTreeHints(&box);
    SetDeviceAccessCheck({});
    ASSERT_EQ(box.count(), 2);
    std::map<std::string, std::string> tips;
    for (int i = 0; i < box.count(); ++i) {
        EXPECT_EQ(box.itemText(i).toStdString().rfind("COM", 0), 0u);
        tips[box.ItemDevice(i)->DeviceObject] = box.itemData(i, Qt::ToolTipRole).toString().toStdString();
    }
    const std::string bare = tips[tree.Dev("ttyUSB0")], locked = tips[tree.Dev("ttyUSB1")];
    EXPECT_NE(bare.find("follows the USB socket"), std::string::npos) << bare;
    EXPECT_EQ(bare.find("No access"), std::string::npos) << bare;
    EXPECT_NE(locked.find("\nNo access for this user: add it to the group uucp (sudo adduser $USER uucp)"),
              std::string::npos)
        << locked;
    EXPECT_EQ(locked.find("socket"), std::string::npos) << locked;
    EXPECT_EQ(checked.size(), 2u);
}
