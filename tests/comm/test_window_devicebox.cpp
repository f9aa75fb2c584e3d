// The programmer window's port list: bound to RS once the layout has been
// read, in RS's quick mode, each port with a tooltip naming its device.
#include "Application.h"
#include "Unit1.h"
#include "fake_device_tree.h"
#include "vxcomm.h"
#include "vxcommbox.h"

#include <gtest/gtest.h>

TEST(WindowDeviceBox, ListsTheMapsPortsByNameWithTheirDevicesAndSelectsRsPort)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", {.productName = "FT232R USB UART", .manufacturer = "FTDI"});
    tree.Pin(4, tree.Dev("ttyUSB0"));
    FakeDeviceTree::Write(tree.root / "dev" / "pts3", "");
    tree.Pin(1, tree.Dev("pts3"));

    TForm1 form;
    TvxDeviceBox* box = form.vxDeviceBox1;
    EXPECT_EQ(box->vxComm(), form.RS);
    EXPECT_FALSE(box->ResetOnChanged());
    EXPECT_FALSE(box->isEditable());
    EXPECT_EQ(box->geometry(), QRect(8, 8, 145, 21));
    ASSERT_EQ(box->count(), 2);
    EXPECT_EQ(box->itemText(0).toStdString(), "COM1");
    EXPECT_EQ(box->itemText(1).toStdString(), "COM4") << "quick mode: bare names";
    EXPECT_EQ(box->currentIndex(), 0) << "RS is on COM1";
    EXPECT_EQ(box->itemData(1, Qt::ToolTipRole).toString().toStdString(),
              "Device: " + tree.Dev("ttyUSB0") + "\nDescription: FT232R USB UART\nManufacturer: FTDI");
    EXPECT_EQ(box->itemData(0, Qt::ToolTipRole).toString().toStdString(), "Device: " + tree.Dev("pts3"));

    // A port device event refreshes the list without a restart.
    FakeDeviceTree::Write(tree.root / "dev" / "pts4", "");
    tree.Pin(9, tree.Dev("pts4"));
    DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), vxmsg::DBT_DEVTYP_PORT, 0};
    TvxMessage m{vxmsg::WM_DEVICECHANGE, vxmsg::DBT_DEVICEARRIVAL, reinterpret_cast<intptr_t>(&port), 0};
    EXPECT_TRUE(box->DeviceChanged(m));
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->itemText(2).toStdString(), "COM9");
    EXPECT_EQ(box->currentIndex(), 0);
}
