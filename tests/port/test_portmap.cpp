// The serial-port map over a temporary folder of links and a fake sysfs tree.
#include "portmap.h"
#include "porttest.h"

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace vxport;

namespace {

class PortMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("vxportmap-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        config.linkFolder = (root / "links").string();
        config.sysfsRoot = (root / "sys").string();
        config.devRoot = (root / "dev").string();
        config.numberTable = (root / "state" / "port-numbers").string();
        fs::create_directories(config.linkFolder);
        fs::create_directories(root / "sys" / "class" / "tty");
        fs::create_directories(root / "dev");
    }
    void TearDown() override
    {
        ResetPortMapConfig();
        fs::remove_all(root);
    }
    static void Write(const fs::path& file, const std::string& text)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << "\n";
    }
    // A tty class entry whose device link points at `devicePath` below sys/devices.
    void AddTty(const std::string& name, const std::string& devicePath, const std::string& type = "")
    {
        fs::path entry = root / "sys" / "class" / "tty" / name;
        fs::create_directories(entry);
        fs::create_directories(root / "sys" / "devices" / devicePath);
        fs::create_directory_symlink(fs::path("../../../devices") / devicePath, entry / "device");
        if (!type.empty())
            Write(entry / "type", type);
    }
    void AddUsbSerial(const std::string& name, const std::string& usbPort, const std::string& serial)
    {
        fs::path usb = root / "sys" / "devices" / "pci0000:00" / "usb1" / usbPort;
        Write(usb / "idVendor", "0403");
        Write(usb / "idProduct", "6001");
        if (!serial.empty())
            Write(usb / "serial", serial);
        AddTty(name, "pci0000:00/usb1/" + usbPort + "/" + usbPort + ":1.0/" + name);
    }
    unsigned NumberOf(const std::string& device)
    {
        for (const auto& e : ReadPortMap(config))
            if (e.device == device)
                return e.number;
        return 0;
    }
    std::string Dev(const std::string& name) { return (root / "dev" / name).string(); }

    fs::path root;
    PortMapConfig config;
};

TEST_F(PortMap, LegacyTtySWithoutHardwareIsLeftOutAndRealOnesKeepTheirIndex)
{
    AddTty("ttyS0", "pnp0/00:05", "4");
    AddTty("ttyS1", "platform/serial8250", "0");
    AddTty("ttyS2", "platform/serial8250", "0");
    fs::create_directories(root / "sys" / "class" / "tty" / "tty0"); // a console, no device
    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].number, 1u);
    EXPECT_EQ(map[0].device, Dev("ttyS0"));
    EXPECT_FALSE(map[0].pinned);
}

TEST_F(PortMap, TtySWithAnOverlongIndexGetsADerivedNumberInsteadOfFailing)
{
    AddTty("ttyS123456789012345678901", "platform/odd0"); // overflows any integer
    AddTty("ttyS4294967296", "platform/odd1");            // 2^32: must not wrap to COM1
    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 2u);
    for (const auto& entry : map) {
        EXPECT_GE(entry.number, 33u);
        EXPECT_LE(entry.number, 255u);
    }
}

TEST_F(PortMap, UsbDeviceKeepsItsNumberWhenOthersComeAndGoAndKernelNamesChange)
{
    AddUsbSerial("ttyUSB0", "1-2", "A5XK3RJT");
    const unsigned alone = NumberOf(Dev("ttyUSB0"));
    EXPECT_GE(alone, 33u);
    EXPECT_LE(alone, 255u);

    // Re-plugged after another adapter took ttyUSB0: the same device, a new name.
    fs::remove_all(root / "sys");
    fs::create_directories(root / "sys" / "class" / "tty");
    AddUsbSerial("ttyUSB0", "1-3", "OTHER123");
    AddUsbSerial("ttyUSB1", "1-5", "A5XK3RJT"); // another socket, same serial number
    AddTty("ttyACM0", "pci0000:00/usb1/1-4/1-4:1.0");
    EXPECT_EQ(NumberOf(Dev("ttyUSB1")), alone);
    auto map = ReadPortMap(config);
    EXPECT_EQ(map.size(), 3u);
    for (size_t i = 1; i < map.size(); ++i)
        EXPECT_LT(map[i - 1].number, map[i].number); // distinct, in order
}

TEST_F(PortMap, LinkPinsANumberAndWinsOverAnAutomaticEntry)
{
    AddTty("ttyS0", "pnp0/00:05", "4");
    Write(root / "dev" / "ttyUSB7", "");
    fs::create_symlink(Dev("ttyUSB7"), fs::path(config.linkFolder) / "com1");
    fs::create_symlink(root / "dev" / "missing", fs::path(config.linkFolder) / "com2");
    fs::create_symlink(Dev("ttyUSB7"), fs::path(config.linkFolder) / "notaport");

    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].number, 1u);
    EXPECT_EQ(map[0].device, Dev("ttyUSB7"));
    EXPECT_TRUE(map[0].pinned);
    EXPECT_GE(map[1].number, 33u); // ttyS0 moved out of the link's way
    EXPECT_EQ(map[1].device, Dev("ttyS0"));

    EXPECT_EQ(ResolveComPort(1, config), Dev("ttyUSB7"));
    // A dangling link is not listed but still resolves, so opening it says "not found".
    EXPECT_EQ(ResolveComPort(2, config), (root / "dev" / "missing").string());
    EXPECT_EQ(ResolveComPort(9, config), std::nullopt);
}

TEST_F(PortMap, LinkToAnUnpluggedDeviceKeepsItsNumberFromOtherDevices)
{
    AddTty("ttyS0", "pnp0/00:05", "4");
    fs::create_symlink(Dev("ttyUSB3"), fs::path(config.linkFolder) / "com1"); // unplugged
    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].device, Dev("ttyS0"));
    EXPECT_GE(map[0].number, 33u); // COM1 is not listed as ttyS0 while it opens the link
    EXPECT_EQ(ResolveComPort(1, config), Dev("ttyUSB3"));
    EXPECT_EQ(ResolveComPort(map[0].number, config), Dev("ttyS0"));
}

TEST_F(PortMap, TwoLinksForOneNumberAgreeOnThePlainName)
{
    Write(root / "dev" / "ttyUSB1", "");
    Write(root / "dev" / "ttyUSB2", "");
    fs::create_symlink(Dev("ttyUSB2"), fs::path(config.linkFolder) / "com03");
    fs::create_symlink(Dev("ttyUSB1"), fs::path(config.linkFolder) / "com3");
    fs::create_symlink(Dev("ttyUSB2"), fs::path(config.linkFolder) / "com003");
    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].number, 3u);
    EXPECT_EQ(map[0].device, Dev("ttyUSB1"));
    EXPECT_EQ(ResolveComPort(3, config), Dev("ttyUSB1"));
}

TEST_F(PortMap, DeviceBehindALinkGetsNoSecondEntry)
{
    AddUsbSerial("ttyUSB0", "1-2", "SER1");
    Write(root / "dev" / "ttyUSB0", "");
    fs::create_symlink(Dev("ttyUSB0"), fs::path(config.linkFolder) / "com5");
    auto map = ReadPortMap(config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].number, 5u);
}

TEST_F(PortMap, SerialCommMapListsValueNamesWithComNames)
{
    AddTty("ttyS3", "pnp0/00:06", "4");
    SetPortMapConfig(config);
    auto pairs = SerialCommMap();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].first, Dev("ttyS3"));
    EXPECT_EQ(pairs[0].second, "COM4");
}

TEST_F(PortMap, CreateFileOpensComNamesThroughTheMap)
{
    porttest::Pty pty;
    fs::create_symlink(pty.path, fs::path(config.linkFolder) / "com3");
    SetPortMapConfig(config);
    for (const char* name : {"\\\\?\\COM3", "\\\\.\\com3", "COM3"}) {
        HANDLE h = porttest::OpenPath(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        CloseHandle(h);
    }
    EXPECT_EQ(porttest::OpenPath("\\\\?\\COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PortMapDefaults, LinkFolderFollowsXdgConfigHome)
{
    const char* saved = getenv("XDG_CONFIG_HOME");
    std::string keep = saved ? saved : "";
    setenv("XDG_CONFIG_HOME", "/tmp/somewhere", 1);
    EXPECT_EQ(DefaultPortMapConfig().linkFolder, "/tmp/somewhere/vxcomm/ports");
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", getenv("HOME") ? getenv("HOME") : "/root", 1);
    EXPECT_EQ(DefaultPortMapConfig().linkFolder, std::string(getenv("HOME")) + "/.config/vxcomm/ports");
    EXPECT_EQ(DefaultPortMapConfig().sysfsRoot, "/sys");
    if (saved)
        setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
}

TEST(PortErrors, TextsSayWhatToDo)
{
    EXPECT_NE(SysErrorMessage(ERROR_ACCESS_DENIED).find("dialout"), std::string::npos);
    EXPECT_NE(SysErrorMessage(ERROR_SHARING_VIOLATION).find("busy"), std::string::npos);
    EXPECT_NE(SysErrorMessage(ERROR_FILE_NOT_FOUND).find("does not exist"), std::string::npos);
    EXPECT_NE(SysErrorMessage(ERROR_DEVICE_NOT_CONNECTED).find("not connected"), std::string::npos);
}

TEST(PortDefaults, DefaultCommConfigIs9600EightNoneOneWithoutFlowControl)
{
    COMMCONFIG config{};
    DWORD size = 10;
    EXPECT_FALSE(GetDefaultCommConfigA("COM1", &config, &size));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, sizeof(COMMCONFIG));
    ASSERT_TRUE(GetDefaultCommConfigA("COM1", &config, &size));
    EXPECT_EQ(config.dwSize, 52u);
    EXPECT_EQ(config.dcb.DCBlength, 28u);
    EXPECT_EQ(config.dcb.BaudRate, 9600u);
    EXPECT_EQ(config.dcb.ByteSize, 8);
    EXPECT_EQ(config.dcb.Parity, NOPARITY);
    EXPECT_EQ(config.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(config.dcb.fOutxCtsFlow | config.dcb.fOutX | config.dcb.fInX, 0u);
    EXPECT_NE(config.dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
}

} // namespace
