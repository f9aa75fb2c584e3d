#include "Exceptions.h"
#include "vxclasses_medium.h"

#include <gtest/gtest.h>

namespace {

struct TDeviceListFixture : ::testing::Test {
    TTestMedium io;
    int changed = 0;
    void SetUp() override
    {
        io.toEnumerate = {{1, "COM1"}, {3, "COM3"}, {3, "COM3 again"}};
        io.AddNotify(TOnNotifyEvent(
            [this](QObject*, int32_t kind) {
                if (kind == nkDevicesChanged)
                    ++changed;
            },
            this));
    }
    static TvxMessage DeviceChange(uintptr_t event, const DEV_BROADCAST_HDR* header)
    {
        TvxMessage msg;
        msg.Msg = vxmsg::WM_DEVICECHANGE;
        msg.WParam = event;
        msg.LParam = reinterpret_cast<intptr_t>(header);
        return msg;
    }
};

} // namespace

TEST_F(TDeviceListFixture, FillWithoutStringsBuildsTheListOnlyOnce)
{
    io.FillDeviceList(nullptr);
    EXPECT_EQ(io.enums, 1);
    EXPECT_EQ(io.DeviceCount(), 3);
    io.FillDeviceList(nullptr);
    EXPECT_EQ(io.enums, 1);
    EXPECT_EQ(io.DeviceCount(), 3);
}

TEST_F(TDeviceListFixture, FillReplacesTheEntriesOfTheStrings)
{
    TvxStringList strings;
    strings.AddObject("stale", nullptr);
    io.FillDeviceList(&strings);
    ASSERT_EQ(strings.Count(), 3);
    EXPECT_EQ(strings.Strings(0), "COM1");
    EXPECT_EQ(strings.Strings(2), "COM3 again");
    EXPECT_EQ(strings.Objects(1), io.Device(1));
}

TEST_F(TDeviceListFixture, AddDeviceRecordsPositionAndOwner)
{
    io.FillDeviceList(nullptr);
    for (int32_t i = 0; i < io.DeviceCount(); ++i) {
        EXPECT_EQ(io.Device(i)->Index, i);
        EXPECT_EQ(io.Device(i)->Owner, &io);
    }
    EXPECT_EQ(io.Device(1)->PortNo, 3);
}

TEST_F(TDeviceListFixture, LookupsOutsideTheListFindNothing)
{
    io.FillDeviceList(nullptr);
    EXPECT_EQ(io.Device(-1), nullptr);
    EXPECT_EQ(io.Device(io.DeviceCount()), nullptr);
    EXPECT_EQ(io.IndexOfPort(7), -1);
    EXPECT_EQ(io.IndexOfPort(3), 1); // the first of two
    TvxStringList strings;
    EXPECT_THROW(strings.Strings(0), ERangeError);
}

TEST_F(TDeviceListFixture, ClearDevicesEmptiesTheList)
{
    io.FillDeviceList(nullptr);
    io.ClearDevices();
    EXPECT_EQ(io.DeviceCount(), 0);
    io.FillDeviceList(nullptr); // built again on the next demand
    EXPECT_EQ(io.enums, 2);
}

TEST_F(TDeviceListFixture, SelectAndRefreshTellTheHandlers)
{
    io.SelectDevice(0);
    io.RefreshDevices();
    EXPECT_EQ(changed, 2);
}

TEST_F(TDeviceListFixture, PortArrivalOrRemovalRefreshes)
{
    DEV_BROADCAST_HDR port{12, vxmsg::DBT_DEVTYP_PORT, 0};
    TvxMessage arrival = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, &port);
    TvxMessage removal = DeviceChange(vxmsg::DBT_DEVICEREMOVECOMPLETE, &port);
    EXPECT_TRUE(io.DeviceChangeMessage(arrival));
    EXPECT_TRUE(io.DeviceChangeMessage(removal));
    EXPECT_EQ(changed, 2);
}

TEST_F(TDeviceListFixture, VolumeArrivalIsNotAboutPorts)
{
    io.FillDeviceList(nullptr);
    DEV_BROADCAST_HDR volume{12, vxmsg::DBT_DEVTYP_VOLUME, 0};
    TvxMessage msg = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, &volume);
    EXPECT_FALSE(io.DeviceChangeMessage(msg));
    TvxMessage noHeader = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, nullptr);
    EXPECT_FALSE(io.DeviceChangeMessage(noHeader));
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(io.DeviceCount(), 3);
}

TEST_F(TDeviceListFixture, NodeChangeRefreshesWhateverLParamHolds)
{
    TvxMessage msg;
    msg.Msg = vxmsg::WM_DEVICECHANGE;
    msg.WParam = vxmsg::DBT_DEVNODES_CHANGED;
    msg.LParam = 1; // not a header: must not be read
    EXPECT_TRUE(io.DeviceChangeMessage(msg));
    EXPECT_EQ(changed, 1);
}

TEST_F(TDeviceListFixture, OtherMessagesAreIgnored)
{
    DEV_BROADCAST_HDR port{12, vxmsg::DBT_DEVTYP_PORT, 0};
    TvxMessage other = DeviceChange(vxmsg::DBT_DEVICEARRIVAL, &port);
    other.Msg = 0x0113;
    EXPECT_FALSE(io.DeviceChangeMessage(other));
    TvxMessage query = DeviceChange(0x8001, &port); // a removal query
    EXPECT_FALSE(io.DeviceChangeMessage(query));
    EXPECT_EQ(changed, 0);
}
