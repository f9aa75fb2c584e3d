// The serial-port map over a fake device tree: its links, and the numbers
// that its table keeps for the devices.
#include "diagnostics.h"
#include "fsread.h"
#include "fake_device_tree.h"
#include "portmap.h"
#include "portnumbers.h"
#include "porttest.h"

#include <fstream>
#include <gmock/gmock.h>
#include <sys/wait.h>

using namespace vxport;

namespace {

using Numbers = std::vector<unsigned>;

Numbers NumbersOf(const std::vector<PortMapEntry>& map)
{
    Numbers numbers;
    for (const auto& e : map)
        numbers.push_back(e.number);
    return numbers;
}

unsigned NumberOf(const FakeDeviceTree& tree, const std::string& name)
{
    for (const auto& e : ReadPortMap(tree.config))
        if (e.device == tree.Dev(name))
            return e.number;
    return 0;
}

// The diagnostic lines made while it lives.
struct DiagnosticLines {
    std::vector<std::string> lines;
    DiagnosticLines()
    {
        SetDiagnosticSink([this](const std::string& line) { lines.push_back(line); });
    }
    ~DiagnosticLines() { SetDiagnosticSink({}); }
};

FakeDeviceTree::Usb Ftdi(const std::string& serial)
{
    return {.serial = serial};
}

// Two serial numbers whose FT232R adapters the same number is suggested for.
std::pair<std::string, std::string> CollidingSerials()
{
    std::map<unsigned, std::string> seen;
    for (int i = 0;; ++i) {
        const std::string serial = "S" + std::to_string(i);
        auto [it, added] = seen.emplace(SuggestedNumber("usb:0403:6001:" + serial + ":1.0"), serial);
        if (!added)
            return {it->second, serial};
    }
}

} // namespace

TEST(PortMap, LegacyTtySWithoutHardwareIsLeftOutAndRealOnesKeepTheirIndex)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    const fs::path legacy = tree.AddDevice("platform/serial8250", "platform", "serial8250");
    tree.AddTty("ttyS1", legacy, "4:65", "0");
    tree.AddTty("ttyS2", legacy, "4:66", "0");
    fs::create_directories(tree.root / "sys" / "class" / "tty" / "tty0"); // a console, no device
    auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].number, 1u);
    EXPECT_EQ(map[0].device, tree.Dev("ttyS0"));
    EXPECT_FALSE(map[0].pinned);
}

TEST(PortMap, TtySWithAnOverlongIndexGetsADerivedNumberInsteadOfFailing)
{
    FakeDeviceTree tree;
    tree.AddTty("ttyS123456789012345678901", tree.AddDevice("platform/odd0", "platform")); // overflows any integer
    tree.AddTty("ttyS4294967296", tree.AddDevice("platform/odd1", "platform"));           // 2^32: must not wrap to COM1
    auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 2u);
    for (const auto& entry : map) {
        EXPECT_GE(entry.number, 33u);
        EXPECT_LE(entry.number, 255u);
    }
}

TEST(PortMap, UsbDeviceKeepsItsNumberWhenOthersComeAndGoAndKernelNamesChange)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A5XK3RJT"));
    const unsigned alone = NumberOf(tree, "ttyUSB0");
    EXPECT_GE(alone, 33u);
    EXPECT_LE(alone, 255u);

    // Plugged again after another adapter took ttyUSB0: the same device, a new name.
    tree.Unplug("ttyUSB0");
    tree.AddUsbSerial("ttyUSB0", "1-3", "ftdi_sio", Ftdi("OTHER123"));
    tree.AddUsbSerial("ttyUSB1", "1-5", "ftdi_sio", Ftdi("A5XK3RJT")); // another socket, same serial number
    tree.AddAcm("ttyACM0", "1-4", {});
    EXPECT_EQ(NumberOf(tree, "ttyUSB1"), alone);
    auto map = ReadPortMap(tree.config);
    EXPECT_EQ(map.size(), 3u);
    for (size_t i = 1; i < map.size(); ++i)
        EXPECT_LT(map[i - 1].number, map[i].number); // distinct, in order
}

TEST(PortMap, LinkPinsANumberAndWinsOverAnAutomaticEntry)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    FakeDeviceTree::Write(tree.root / "dev" / "ttyUSB7", "");
    tree.Pin(1, tree.Dev("ttyUSB7"));
    tree.Pin(2, tree.Dev("missing"));
    tree.LinkAs("notaport", tree.Dev("ttyUSB7"));

    auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].number, 1u);
    EXPECT_EQ(map[0].device, tree.Dev("ttyUSB7"));
    EXPECT_TRUE(map[0].pinned);
    EXPECT_GE(map[1].number, 33u); // ttyS0 moved out of the link's way
    EXPECT_EQ(map[1].device, tree.Dev("ttyS0"));

    EXPECT_EQ(ResolveComPort(1, tree.config), tree.Dev("ttyUSB7"));
    // A dangling link is not listed but still resolves, so opening it says "not found".
    EXPECT_EQ(ResolveComPort(2, tree.config), tree.Dev("missing"));
    EXPECT_EQ(ResolveComPort(9, tree.config), std::nullopt);
}

TEST(PortMap, LinkToAnUnpluggedDeviceKeepsItsNumberFromOtherDevices)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS0");
    tree.Pin(1, tree.Dev("ttyUSB3")); // unplugged
    auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].device, tree.Dev("ttyS0"));
    EXPECT_GE(map[0].number, 33u); // COM1 is not listed as ttyS0 while it opens the link
    EXPECT_EQ(ResolveComPort(1, tree.config), tree.Dev("ttyUSB3"));
    EXPECT_EQ(ResolveComPort(map[0].number, tree.config), tree.Dev("ttyS0"));
}

TEST(PortMap, TwoLinksForOneNumberAgreeOnThePlainName)
{
    FakeDeviceTree tree;
    FakeDeviceTree::Write(tree.root / "dev" / "ttyUSB1", "");
    FakeDeviceTree::Write(tree.root / "dev" / "ttyUSB2", "");
    tree.LinkAs("com03", tree.Dev("ttyUSB2"));
    tree.LinkAs("com3", tree.Dev("ttyUSB1"));
    tree.LinkAs("com003", tree.Dev("ttyUSB2"));
    auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 1u);
    EXPECT_EQ(map[0].number, 3u);
    EXPECT_EQ(map[0].device, tree.Dev("ttyUSB1"));
    EXPECT_EQ(ResolveComPort(3, tree.config), tree.Dev("ttyUSB1"));
}

TEST(PortMap, DeviceBehindALinkIsListedOnceWhateverTheLinkGoesThrough)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", Ftdi("B2"), 0, "188:1");
    tree.AddUsbSerial("ttyUSB2", "1-4", "ftdi_sio", Ftdi("C3"), 0, "188:2");
    tree.AddById("usb-FTDI_FT232R_USB_UART_A1-if00-port0", "ttyUSB0");
    fs::create_symlink("ttyUSB1", tree.root / "dev" / "programmer"); // an alias a udev rule makes
    tree.Pin(1, tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"));
    tree.Pin(4, tree.Dev("programmer"));
    tree.Pin(5, tree.Dev("ttyUSB2"));
    DiagnosticLines diagnostics;
    tree.Pin(6, tree.Dev("ttyUSB2"));

    auto map = ReadPortMap(tree.config);
    EXPECT_EQ(NumbersOf(map), (Numbers{1, 4, 5}));
    EXPECT_EQ(map[0].device, tree.Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A1-if00-port0"));
    EXPECT_EQ(map[0].canonical, fs::canonical(tree.Dev("ttyUSB0")).string());
    EXPECT_EQ(diagnostics.lines.size(), 1u) << "com6 names the device of COM5";
}

TEST(PortMap, RelativeLinksInALinkedLinkFolderPinTheirDevices)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    // The folder lives with the user's dotfiles, deeper than the name it is linked as.
    const fs::path real = tree.root / "dotfiles" / "vxcomm" / "ports";
    fs::create_directories(real);
    fs::remove_all(tree.config.linkFolder);
    fs::create_directory_symlink(real, tree.config.linkFolder);
    fs::create_symlink(fs::relative(tree.Dev("ttyUSB0"), real), real / "com4"); // ln -sr
    auto map = ReadPortMap(tree.config);
    EXPECT_EQ(NumbersOf(map), (Numbers{4}));
    EXPECT_EQ(ResolveComPort(4, tree.config), tree.Dev("ttyUSB0"));
}

TEST(PortMap, LinkNamesIgnoreCaseAndNumbersOutsideOneTo255AreRefused)
{
    FakeDeviceTree tree;
    FakeDeviceTree::Write(tree.root / "dev" / "ttyUSB0", "");
    tree.LinkAs("COM7", tree.Dev("ttyUSB0"));
    DiagnosticLines diagnostics;
    for (const char* name : {"com65537", "com0", "Com256", "com99999999999999999999"})
        tree.LinkAs(name, tree.Dev("ttyUSB0"));
    // A copy of the node, or a file holding its path, instead of a link.
    FakeDeviceTree::Write(fs::path(tree.config.linkFolder) / "com8", tree.Dev("ttyUSB0"));
    fs::create_directory(fs::path(tree.config.linkFolder) / "com9");

    EXPECT_EQ(NumbersOf(ReadPortMap(tree.config)), (Numbers{7}));
    ASSERT_EQ(diagnostics.lines.size(), 6u);
    EXPECT_NE(diagnostics.lines[0].find("1 to 255"), std::string::npos) << diagnostics.lines[0];
    EXPECT_EQ(std::count_if(diagnostics.lines.begin(), diagnostics.lines.end(),
                            [](const std::string& line) { return line.find("not a symbolic link") != line.npos; }),
              2);
    EXPECT_EQ(ResolveComPort(1, tree.config), std::nullopt) << "65537 cut to 16 bits";
    EXPECT_EQ(ResolveComPort(65537, tree.config), std::nullopt);
    EXPECT_EQ(porttest::OpenPath("COM65537"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PortMap, FoldersThatCannotBeListedGiveAnEmptyListAndADiagnosticLine)
{
    FakeDeviceTree tree;
    fs::remove_all(tree.root / "sys" / "class" / "tty");
    FakeDeviceTree::Write(tree.root / "sys" / "class" / "tty", "not a folder");
    fs::remove_all(tree.config.linkFolder);
    fs::create_symlink("links", tree.config.linkFolder); // a loop
    DiagnosticLines diagnostics;
    EXPECT_TRUE(ReadPortMap(tree.config).empty());
    EXPECT_EQ(diagnostics.lines.size(), 2u);
}

TEST(PortMap, SerialCommMapListsValueNamesWithComNames)
{
    FakeDeviceTree tree;
    tree.AddUart("ttyS3", "00:06");
    auto pairs = SerialCommMap();
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].first, tree.Dev("ttyS3"));
    EXPECT_EQ(pairs[0].second, "COM4");
}

TEST(PortMap, CreateFileOpensComNamesThroughTheMap)
{
    FakeDeviceTree tree;
    porttest::Pty pty;
    tree.Pin(3, pty.path);
    for (const char* name : {"\\\\?\\COM3", "\\\\.\\com3", "COM3"}) {
        HANDLE h = porttest::OpenPath(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        CloseHandle(h);
    }
    EXPECT_EQ(porttest::OpenPath("\\\\?\\COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

// Short names exist for COM1 to COM9 only, with or without a colon; a colon
// after a prefixed name, or leading zeros, name no port.
TEST(PortMap, CreateFileTakesTheComNameFormsOfTheSystemAndNoOthers)
{
    FakeDeviceTree tree;
    porttest::Pty pty3, pty12;
    tree.Pin(3, pty3.path);
    tree.Pin(12, pty12.path);
    for (const char* name : {"COM3:", "com3:", "\\\\.\\COM12", "\\\\?\\com12"}) {
        HANDLE h = porttest::OpenPath(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name;
        CloseHandle(h);
    }
    for (const char* name : {"COM12", "COM12:", "\\\\.\\COM3:", "\\\\?\\COM3:", "COM03", "\\\\.\\COM012", "COM3::"}) {
        EXPECT_EQ(porttest::OpenPath(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(PortMap, LinksThatLoopOrLeadNowhereOpenAsPortsThatDoNotExist)
{
    FakeDeviceTree tree;
    tree.Pin(5, fs::path(tree.config.linkFolder) / "com5"); // itself
    fs::create_symlink("b", tree.root / "dev" / "a");
    fs::create_symlink("a", tree.root / "dev" / "b");
    tree.Pin(6, tree.Dev("a")); // through a loop of aliases
    tree.AddById("usb-FTDI_gone-if00-port0", "ttyUSB9"); // its adapter is unplugged
    tree.Pin(7, tree.Dev("serial/by-id/usb-FTDI_gone-if00-port0"));
    EXPECT_TRUE(ReadPortMap(tree.config).empty());
    for (const char* name : {"COM5", "COM6", "COM7"}) {
        EXPECT_EQ(porttest::OpenPath(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << name;
    }
}

TEST(PortNumbers, AdaptersWhoseIdentitiesSuggestOneNumberKeepTheirsWhicheverIsPluggedFirst)
{
    const auto [first, second] = CollidingSerials();
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi(second));
    ASSERT_EQ(ReadDeviceTree(tree.config.sysfsRoot, tree.config.devRoot).ttys[0].identity,
              "usb:0403:6001:" + second + ":1.0");
    const unsigned secondNumber = NumberOf(tree, "ttyUSB0");
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", Ftdi(first), 0, "188:1");
    const unsigned firstNumber = NumberOf(tree, "ttyUSB1");
    EXPECT_NE(firstNumber, secondNumber);

    // Another day, the other one first, each alone, then both.
    tree.Unplug("ttyUSB0");
    tree.Unplug("ttyUSB1");
    tree.AddUsbSerial("ttyUSB0", "1-3", "ftdi_sio", Ftdi(first));
    EXPECT_EQ(NumberOf(tree, "ttyUSB0"), firstNumber);
    tree.Unplug("ttyUSB0");
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi(second));
    EXPECT_EQ(NumberOf(tree, "ttyUSB0"), secondNumber);
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", Ftdi(first), 0, "188:1");
    EXPECT_EQ(NumberOf(tree, "ttyUSB1"), firstNumber);
}

TEST(PortNumbers, AnAdapterPluggedAgainAfterAnotherHadItsSocketGetsItsOldNumber)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    const unsigned a = NumberOf(tree, "ttyUSB0");
    tree.Unplug("ttyUSB0");
    tree.AddUsbSerial("ttyUSB0", "1-3", "cp210x", {.vendor = "10c4", .product = "ea60", .serial = "B2"});
    const unsigned b = NumberOf(tree, "ttyUSB0");
    EXPECT_NE(b, a) << "a's number is kept while it is away";
    tree.Unplug("ttyUSB0");
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    EXPECT_EQ(NumberOf(tree, "ttyUSB0"), a);

    // The table is plain text: lines that are not entries are skipped, and
    // an entry written by hand is taken.
    std::ofstream(tree.config.numberTable) << "# kept\n40 usb:0403:6001:A1:1.0\n300 x\n0 y\nabc\n7\n";
    EXPECT_EQ(NumberOf(tree, "ttyUSB0"), 40u);
}

TEST(PortNumbers, LinesEditedByHandKeepTheirNumbersAndThoseLeftOutAreNamed)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", Ftdi("B1"), 0, "188:1");
    // Line ends of another system and trailing blanks; a number given twice.
    FakeDeviceTree::Write(tree.config.numberTable, "# bench\r\n40 usb:0403:6001:A1:1.0\r\n"
                                                   "41 usb:0403:6001:B1:1.0 \t\n40 usb:0403:6001:C1:1.0\n41x");
    DiagnosticLines diagnostics;
    EXPECT_EQ(NumberOf(tree, "ttyUSB0"), 40u);
    EXPECT_EQ(NumberOf(tree, "ttyUSB1"), 41u);
    ASSERT_FALSE(diagnostics.lines.empty());
    EXPECT_EQ(diagnostics.lines[0], tree.config.numberTable + ": line 4 is ignored: an earlier line gives COM40 to "
                                                              "usb:0403:6001:A1:1.0 (and 1 more)");
}

TEST(PortNumbers, ATableLinkedFromElsewhereOrKeptPrivateStaysSoWhenNewNumbersAreWritten)
{
    FakeDeviceTree tree;
    tree.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi("A1"));
    const fs::path kept = tree.root / "dotfiles" / "port-numbers";
    FakeDeviceTree::Write(kept, "40 usb:0403:6001:Z9:1.0");
    fs::create_directories(fs::path(tree.config.numberTable).parent_path());
    fs::create_symlink(fs::relative(kept, fs::path(tree.config.numberTable).parent_path()), tree.config.numberTable);
    const unsigned number = NumberOf(tree, "ttyUSB0");
    EXPECT_TRUE(fs::is_symlink(tree.config.numberTable));
    std::ifstream in(kept);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("40 usb:0403:6001:Z9:1.0\n"), std::string::npos) << text;
    EXPECT_NE(text.find(std::to_string(number) + " usb:0403:6001:A1:1.0\n"), std::string::npos) << text;

    // A table that the user keeps to themselves stays so after new numbers.
    fs::permissions(kept, fs::perms::owner_read | fs::perms::owner_write);
    tree.AddUsbSerial("ttyUSB1", "1-3", "ftdi_sio", Ftdi("B2"), 0, "188:1");
    EXPECT_NE(NumberOf(tree, "ttyUSB1"), 0u);
    EXPECT_EQ(fs::status(kept).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(PortNumbers, ATableThatCannotBeReadIsNotWrittenOver)
{
    FakeDeviceTree tree;
    const fs::path folder = fs::path(tree.config.numberTable).parent_path();
    FakeDeviceTree::Write(tree.config.numberTable, "40 usb:0403:6001:A1:1.0");
    fs::permissions(tree.config.numberTable, fs::perms::none);
    // The folder is the user's, the table is not readable to them (left by
    // root with umask 077); root reads anything, so a root run tries as nobody.
    const bool asNobody = geteuid() == 0;
    if (asNobody) {
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    }
    const pid_t child = fork();
    if (child == 0) {
        if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(2);
        _exit(NumberDevices(tree.config.numberTable, {{"usb:0403:6001:B2:1.0"}}, {})[0] != 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the new device still gets a number";
    fs::permissions(tree.config.numberTable, fs::perms::owner_read);
    std::ifstream in(tree.config.numberTable);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "40 usb:0403:6001:A1:1.0");
}

TEST(PortNumbers, IdentitiesWithLineBreaksKeepTheirNumbersAndOneLineEach)
{
    FakeDeviceTree tree;
    const std::vector<NumberRequest> devices{{"usb:0403:6001:A\n40 B:1.0"}, {"usb:0403:6001:C\r\x7f:1.0"},
                                             {"usb:0403:6001:D  "}};
    const Numbers first = NumberDevices(tree.config.numberTable, devices, {});
    EXPECT_EQ(NumberDevices(tree.config.numberTable, devices, {}), first);
    EXPECT_NE(first[0], first[1]);
    std::ifstream table(tree.config.numberTable);
    std::vector<std::string> lines;
    for (std::string line; std::getline(table, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u); // the comment and one line per device
    EXPECT_THAT(lines, ::testing::Contains(std::to_string(first[0]) + " usb:0403:6001:A\\x0A40 B:1.0"));
    EXPECT_THAT(lines, ::testing::Contains(std::to_string(first[2]) + " usb:0403:6001:D\\x20\\x20"));
}

TEST(PortNumbers, AdaptersWithoutSerialNumberFollowTheirSocket)
{
    FakeDeviceTree tree;
    const FakeDeviceTree::Usb bare{.vendor = "1a86", .product = "7523"};
    tree.AddUsbSerial("ttyUSB0", "1-2", "ch341", bare);
    tree.AddUsbSerial("ttyUSB1", "1-3", "ch341", bare, 0, "188:1");
    const auto map = ReadPortMap(tree.config);
    ASSERT_EQ(map.size(), 2u);
    EXPECT_TRUE(map[0].followsSocket && map[1].followsSocket);
    const unsigned inSocket2 = NumberOf(tree, "ttyUSB0");
    tree.Unplug("ttyUSB0");
    tree.Unplug("ttyUSB1");
    tree.AddUsbSerial("ttyUSB0", "1-3", "ch341", bare); // the other adapter, or this one moved
    tree.AddUsbSerial("ttyUSB1", "1-2", "ch341", bare, 0, "188:1");
    EXPECT_EQ(NumberOf(tree, "ttyUSB1"), inSocket2);
}

TEST(PortNumbers, TwoProcessesNumberingNewDevicesAtOnceKeepBoth)
{
    const auto [first, second] = CollidingSerials();
    FakeDeviceTree a("-a"), b("-b");
    a.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi(first));
    b.AddUsbSerial("ttyUSB0", "1-2", "ftdi_sio", Ftdi(second));
    b.config.numberTable = a.config.numberTable;
    for (int round = 0; round < 10; ++round) {
        fs::remove(a.config.numberTable);
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            children[i] = fork();
            if (children[i] == 0) {
                char c;
                ::close(go[1]);
                const bool read = ::read(go[0], &c, 1) == 0; // both start when the pipe closes
                ReadPortMap(i == 0 ? a.config : b.config);
                _exit(read ? 0 : 1);
            }
        }
        ::close(go[0]);
        ::close(go[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::ifstream table(a.config.numberTable);
        std::set<std::string> identities;
        std::set<unsigned> numbers;
        for (std::string line; std::getline(table, line);)
            if (line[0] != '#') {
                numbers.insert(unsigned(std::stoul(line)));
                identities.insert(line.substr(line.find(' ') + 1));
            }
        EXPECT_EQ(identities.size(), 2u) << "round " << round;
        EXPECT_EQ(numbers.size(), 2u) << "round " << round;
    }
    EXPECT_TRUE(ListFolder(fs::path(a.config.numberTable).parent_path()).size() == 2) << "no temporary file left";
}

TEST(PortMapDefaults, LinksFollowXdgConfigHomeAndNumbersXdgStateHome)
{
    const char* saved = getenv("XDG_CONFIG_HOME");
    const char* savedState = getenv("XDG_STATE_HOME");
    std::string keep = saved ? saved : "", keepState = savedState ? savedState : "";
    setenv("XDG_CONFIG_HOME", "/tmp/somewhere", 1);
    setenv("XDG_STATE_HOME", "/tmp/state", 1);
    EXPECT_EQ(DefaultPortMapConfig().linkFolder, "/tmp/somewhere/vxcomm/ports");
    EXPECT_EQ(DefaultPortMapConfig().numberTable, "/tmp/state/vxcomm/port-numbers");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", getenv("HOME") ? getenv("HOME") : "/root", 1);
    EXPECT_EQ(DefaultPortMapConfig().linkFolder, std::string(getenv("HOME")) + "/.config/vxcomm/ports");
    EXPECT_EQ(DefaultPortMapConfig().numberTable, std::string(getenv("HOME")) + "/.local/state/vxcomm/port-numbers");
    EXPECT_EQ(DefaultPortMapConfig().sysfsRoot, "/sys");
    // Relative or missing folders would depend on the folder the program starts in.
    const std::string home = getenv("HOME");
    setenv("XDG_STATE_HOME", "state", 1);
    unsetenv("HOME");
    EXPECT_TRUE(fs::path(DefaultPortMapConfig().linkFolder).is_absolute()) << DefaultPortMapConfig().linkFolder;
    EXPECT_TRUE(fs::path(DefaultPortMapConfig().numberTable).is_absolute()) << DefaultPortMapConfig().numberTable;
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
    if (saved)
        setenv("XDG_CONFIG_HOME", keep.c_str(), 1);
    if (savedState)
        setenv("XDG_STATE_HOME", keepState.c_str(), 1);
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
