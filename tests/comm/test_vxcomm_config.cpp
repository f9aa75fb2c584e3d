// The serial component's stored configuration, connection test and serial
// Plug and Play identification read.
#include "commtest.h"

#include "Exceptions.h"
#include "vxcomm_config.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

using namespace commtest;
using namespace vxport;
using ::testing::Contains;
using ::testing::Not;

namespace {

constexpr DWORD kKeptFlags = 0x4CEA;

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::path(std::getenv("XDG_CONFIG_HOME")) / "config-tests" /
                 ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(folder);
    }

    TvxRootKey Root() const { return TvxRootKey(folder); }

    void WriteValue(const std::vector<uint8_t>& bytes)
    {
        TvxRegistry reg(Root());
        ASSERT_TRUE(reg.OpenKey("Software\\Test", true));
        reg.WriteBinaryData("Port", bytes.data(), uint32_t(bytes.size()));
    }

    std::vector<uint8_t> ReadValue()
    {
        TvxRegistry reg(Root());
        EXPECT_TRUE(reg.OpenKey("Software\\Test", false));
        std::vector<uint8_t> bytes(64);
        bytes.resize(reg.ReadBinaryData("Port", bytes.data(), uint32_t(bytes.size())));
        return bytes;
    }

    static std::string Thrown(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const Exception& e) {
            return e.Message;
        }
        return "(nothing raised)";
    }

    fs::path folder;
};

void Configure(TvxComm& rs)
{
    rs.SetComPortNo(200);
    rs.SetBaudRate(38400);
    rs.SetByteSize(6);
    rs.SetParity(pOdd);
    rs.SetStopBits(sbTwo);
    rs.SetEventChar('x');
    rs.SetStreamProtocol(spXonXoff);
    rs.SetTimeouts({11, 22, 33, 44, 55});
}

bool SameDcb(const DCB& a, const DCB& b)
{
    return std::memcmp(&a, &b, sizeof(DCB)) == 0;
}

bool SameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b)
{
    return std::memcmp(&a, &b, sizeof(COMMTIMEOUTS)) == 0;
}

} // namespace

// ---- Saving and loading ----------------------------------------------------------------

TEST_F(ConfigTest, SavedBytesFollowTheLayout)
{
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.SetComPortNo(7);
    rs.SetBaudRate(57600);
    rs.SetByteSize(7);
    rs.SetParity(pEven);
    rs.SetStopBits(sbTwo);
    rs.SetEventChar('~');
    rs.SetStreamProtocol(spXonXoff);
    rs.SetTimeouts({0x11223344, 10, 20, 30, 0x01020304});
    rs.SaveConfig(Root(), "Software\\Test", "Port");

    const std::vector<uint8_t> expected{
        0x07,                   // port number
        0x1C, 0x00, 0x00, 0x00, // DCB length 28
        0x00, 0xE1, 0x00, 0x00, // 57600 baud
        0x93, 0x13, 0x00, 0x00, // binary, parity check, DTR on, continue on XOFF, XON/XOFF both ways, RTS on
        0x00, 0x00,             // reserved
        0x00, 0x08, 0x00, 0x08, // XonLim, XoffLim 2048
        0x07, 0x02, 0x02,       // 7 bits, even parity, two stop bits
        0x11, 0x13, 0x00, 0x00, // XON, XOFF, error and end-of-file characters
        0x7E,                   // event character
        0x00, 0x00,             // reserved
        0x44, 0x33, 0x22, 0x11, // read interval
        0x0A, 0x00, 0x00, 0x00, // read multiplier
        0x14, 0x00, 0x00, 0x00, // read constant
        0x1E, 0x00, 0x00, 0x00, // write multiplier
        0x04, 0x03, 0x02, 0x01, // write constant
    };
    ASSERT_EQ(expected.size(), 49u);
    EXPECT_EQ(ReadValue(), expected);
    EXPECT_THAT(log.Texts(), Contains("vxComm: Configuration was saved"));
}

TEST_F(ConfigTest, LoadRestoresSettingsAndFlowControlFollowsTheLoader)
{
    TvxComm saver;
    Configure(saver);
    saver.SaveConfig(Root(), "Software\\Test", "Port");

    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.SetRS485Mode(true);
    std::vector<int32_t> kinds;
    rs.AddNotify(TOnNotifyEvent([&](TObject*, int32_t kind) { kinds.push_back(kind); }));
    rs.LoadConfig(Root(), "Software\\Test", "Port");

    EXPECT_EQ(rs.ComPortNo(), 200);
    EXPECT_EQ(rs.BaudRate(), 38400u);
    EXPECT_EQ(rs.ByteSize(), 6);
    EXPECT_EQ(rs.Parity(), pOdd);
    EXPECT_EQ(rs.StopBits(), sbTwo);
    EXPECT_EQ(rs.GetEventChar(), 'x');
    EXPECT_TRUE(SameTimeouts(rs.GetTimeouts(), {11, 22, 33, 44, 55}));
    EXPECT_EQ(rs.StreamProtocol(), spHardware);
    EXPECT_EQ(DcbFlags(rs.Dcb()) & ~kKeptFlags, 0x3011u); // RS485, not the saved XON/XOFF
    EXPECT_EQ(kinds, std::vector<int32_t>{nkDevicesChanged});
    EXPECT_THAT(log.Texts(), Contains("vxComm: Configuration was loaded"));

    TvxComm plain;
    plain.LoadConfig(Root(), "Software\\Test", "Port");
    EXPECT_EQ(DcbFlags(plain.Dcb()) & ~kKeptFlags, 0x2015u);
    EXPECT_EQ(plain.Dcb().XonLim, 2048);
}

TEST_F(ConfigTest, LoadOnAnOpenPortReachesTheDriver)
{
    VirtualPort port(61, "load-open"); // a pty keeps 8 data bits whatever it is told
    TvxComm saver;
    Configure(saver);
    saver.SetComPortNo(61);
    saver.SaveConfig(Root(), "Software\\Test", "Port");

    TvxComm rs;
    rs.SetComPortNo(61);
    rs.SetActive(true);
    ASSERT_TRUE(rs.Active());
    rs.LoadConfig(Root(), "Software\\Test", "Port");
    ASSERT_TRUE(rs.Active());
    DCB state{};
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommState(rs.Handle(), &state));
    ASSERT_TRUE(GetCommTimeouts(rs.Handle(), &timeouts));
    EXPECT_EQ(state.BaudRate, 38400u);
    EXPECT_EQ(state.ByteSize, 6);
    EXPECT_TRUE(SameTimeouts(timeouts, {11, 22, 33, 44, 55}));
}

TEST_F(ConfigTest, LoadNamingAPortThatIsGoneStillTakesTheOtherSettings)
{
    VirtualPort port(61, "load-gone");
    TvxComm saver;
    Configure(saver);
    saver.SetComPortNo(209);
    saver.SaveConfig(Root(), "Software\\Test", "Port");

    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.SetComPortNo(61);
    rs.SetActive(true);
    std::vector<int32_t> kinds;
    rs.AddNotify(TOnNotifyEvent([&](TObject*, int32_t kind) { kinds.push_back(kind); }, &kinds));
    EXPECT_EQ(Thrown([&] { rs.LoadConfig(Root(), "Software\\Test", "Port"); }),
              "Error on load config information from registry");
    // A port box bound to the component shows the number it now holds.
    EXPECT_EQ(kinds, (std::vector<int32_t>{nkClosed, nkDevicesChanged}));
    EXPECT_THAT(log.Texts(), Contains(::testing::StartsWith("Fatal Error: 1, 0, Device \"COM209\" Open Error !!!")));
    EXPECT_FALSE(rs.Active());
    EXPECT_EQ(rs.ComPortNo(), 209);
    EXPECT_EQ(rs.BaudRate(), 38400u);
    EXPECT_EQ(rs.Parity(), pOdd);
    EXPECT_TRUE(SameTimeouts(rs.GetTimeouts(), {11, 22, 33, 44, 55}));
}

TEST_F(ConfigTest, PortNumberAbove255KeepsItsLowEightBits)
{
    TvxComm rs;
    rs.SetComPortNo(300);
    rs.SaveConfig(Root(), "Software\\Test", "Port");
    EXPECT_EQ(ReadValue().at(0), 300 % 256);
    rs.LoadConfig(Root(), "Software\\Test", "Port");
    EXPECT_EQ(rs.ComPortNo(), 44);
}

TEST_F(ConfigTest, ValuesOfOtherSizesOrNoneChangeNothingButAreLogged)
{
    TvxComm saver;
    Configure(saver);
    saver.SaveConfig(Root(), "Software\\Test", "Port");
    std::vector<uint8_t> good = ReadValue();

    for (const size_t size : {size_t(48), size_t(50), size_t(0)}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> bytes = good;
        bytes.resize(size, 0x55);
        WriteValue(bytes);
        TvxComm rs;
        TvxMemoryLog log;
        rs.SetLog(&log);
        const auto before = vxcomm::EncodeConfigValue({uint8_t(rs.ComPortNo()), rs.Dcb(), rs.GetTimeouts()});
        rs.LoadConfig(Root(), "Software\\Test", "Port");
        EXPECT_EQ(vxcomm::EncodeConfigValue({uint8_t(rs.ComPortNo()), rs.Dcb(), rs.GetTimeouts()}), before);
        EXPECT_EQ(log.Texts(), std::vector<std::string>{"vxComm: Configuration was loaded"});
    }

    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.LoadConfig(Root(), "Software\\Other", "Missing");
    EXPECT_EQ(rs.BaudRate(), 19200u);
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"vxComm: Configuration was loaded"});
}

TEST_F(ConfigTest, ValueWithImpossibleSettingsIsRefusedWhole)
{
    TvxComm saver;
    Configure(saver);
    saver.SaveConfig(Root(), "Software\\Test", "Port");
    std::vector<uint8_t> bytes = ReadValue();
    bytes[19] = 0; // byte size 0
    WriteValue(bytes);

    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    EXPECT_EQ(Thrown([&] { rs.LoadConfig(Root(), "Software\\Test", "Port"); }),
              "Error on load config information from registry");
    EXPECT_EQ(rs.ComPortNo(), 1);
    EXPECT_EQ(rs.BaudRate(), 19200u);
    EXPECT_EQ(rs.ByteSize(), 8);
    EXPECT_THAT(log.Texts(), Contains("Fatal Error: 1, 0, Error on load config information from registry"));
    EXPECT_THAT(log.Texts(), Not(Contains("vxComm: Configuration was loaded")));
}

TEST_F(ConfigTest, KeyPathsAsRegistryCallersWriteThemRoundTrip)
{
    const std::pair<const char*, const char*> spellings[] = {
        {"\\Software\\Maker\\Tool", "Software\\Maker\\Tool\\"},
        {"Software\\Maker\\Tool\\", "\\Software\\Maker\\Tool"},
        {"Software\\Maker/Tool", "\\Software\\Maker/Tool\\"},
        {"", "\\"},
    };
    uint16_t port = 10;
    for (const auto& [saveKey, loadKey] : spellings) {
        SCOPED_TRACE(saveKey);
        TvxComm saver;
        Configure(saver);
        saver.SetComPortNo(++port); // each spelling stores a value of its own
        saver.SaveConfig(Root(), saveKey, "Port");
        TvxComm rs;
        rs.SetStreamProtocol(saver.StreamProtocol());
        rs.LoadConfig(Root(), loadKey, "Port");
        EXPECT_EQ(vxcomm::EncodeConfigValue({uint8_t(rs.ComPortNo()), rs.Dcb(), rs.GetTimeouts()}),
                  vxcomm::EncodeConfigValue({uint8_t(port), saver.Dcb(), saver.GetTimeouts()}));
    }
    // "/" is part of the name of one key; the empty path is the root key.
    EXPECT_TRUE(fs::exists(folder / "Software" / "Maker%2FTool" / "=Port"));
    EXPECT_TRUE(fs::exists(folder / "=Port"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "Software" / "Maker"), {}), 1);
}

TEST_F(ConfigTest, KeyPathLeavingTheRootIsRefusedAsAFatalError)
{
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    EXPECT_EQ(Thrown([&] { rs.SaveConfig(Root(), "..\\..\\Escape", "Port"); }),
              "Error on save config information from registry");
    EXPECT_EQ(Thrown([&] { rs.LoadConfig(Root(), "Software\\..", "Port"); }),
              "Error on load config information from registry");
    EXPECT_FALSE(fs::exists(folder.parent_path().parent_path() / "Escape"));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{
                               "Fatal Error: 1, 0, Error on save config information from registry",
                               "Fatal Error: 1, 0, Error on load config information from registry",
                           }));

    bool raise = true;
    rs.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::string&, bool& r) { r = raise = false; };
    EXPECT_NO_THROW(rs.SaveConfig(Root(), "a\\.\\b", "Port"));
    EXPECT_FALSE(raise);
}

TEST_F(ConfigTest, SettingsNoPortCanUseAreNotStored)
{
    TvxComm saver;
    Configure(saver);
    saver.SaveConfig(Root(), "Software\\Test", "Port");
    const std::vector<uint8_t> good = ReadValue();

    const std::vector<std::pair<const char*, std::function<void(TvxComm&)>>> unusable{
        {"baud rate 0", [](TvxComm& rs) { rs.SetBaudRate(0); }},
        {"parity code 5", [](TvxComm& rs) { rs.SetParity(TParity(5)); }},
        {"stop-bits code 3", [](TvxComm& rs) { rs.SetStopBits(TStopBits(3)); }},
    };
    for (const auto& [name, spoil] : unusable) {
        SCOPED_TRACE(name);
        TvxComm rs;
        TvxMemoryLog log;
        rs.SetLog(&log);
        spoil(rs);
        const DCB kept = rs.Dcb();
        EXPECT_EQ(Thrown([&] { rs.SaveConfig(Root(), "Software\\Test", "Port"); }),
                  "Error on save config information from registry");
        EXPECT_EQ(ReadValue(), good);
        EXPECT_TRUE(SameDcb(rs.Dcb(), kept));
        EXPECT_THAT(log.Texts(), Not(Contains("vxComm: Configuration was saved")));

        // What is stored still loads, and replaces the unusable setting.
        EXPECT_NO_THROW(rs.LoadConfig(Root(), "Software\\Test", "Port"));
        EXPECT_EQ(rs.ComPortNo(), 200);
        EXPECT_EQ(rs.BaudRate(), 38400u);
        EXPECT_EQ(rs.Parity(), pOdd);
        EXPECT_EQ(rs.StopBits(), sbTwo);
    }
}

TEST_F(ConfigTest, KeyThatCannotBeOpenedFailsASaveAndLoadsNothing)
{
    // A file where the store's folder should be, and one where a key should be.
    fs::create_directories(folder.parent_path());
    std::ofstream(folder) << "not a folder";
    const TvxRootKey blockedKey(folder.parent_path());
    const std::string blockedPath = folder.filename().string() + "\\Maker";
    for (const auto& [root, key] : {std::pair{Root(), std::string("Software\\Test")}, std::pair{blockedKey, blockedPath}}) {
        SCOPED_TRACE(key);
        TvxComm rs;
        TvxMemoryLog log;
        rs.SetLog(&log);
        EXPECT_EQ(Thrown([&] { rs.SaveConfig(root, key, "Port"); }), "Error on save config information from registry");
        log.Clear();
        EXPECT_NO_THROW(rs.LoadConfig(root, key, "Port"));
        EXPECT_EQ(log.Texts(), std::vector<std::string>{"vxComm: Configuration was loaded"});
        EXPECT_EQ(rs.BaudRate(), 19200u);
    }
}

TEST(ConfigValue, ParsingTakesExactlyFortyNineSaneBytes)
{
    vxcomm::TCommConfigValue value;
    value.PortNo = 3;
    value.Dcb.DCBlength = 28;
    value.Dcb.BaudRate = 9600;
    value.Dcb.ByteSize = 8;
    value.Dcb.EvtChar = 'e';
    value.Timeouts = {1, 2, 3, 4, 5};
    const auto bytes = vxcomm::EncodeConfigValue(value);

    const vxcomm::TConfigParseResult ok = vxcomm::ParseConfigValue(bytes.data(), bytes.size());
    ASSERT_EQ(ok.Status, vxcomm::TConfigParse::Ok);
    EXPECT_EQ(vxcomm::EncodeConfigValue(ok.Value), bytes);

    EXPECT_EQ(vxcomm::ParseConfigValue(bytes.data(), 48).Status, vxcomm::TConfigParse::WrongSize);
    EXPECT_EQ(vxcomm::ParseConfigValue(nullptr, 49).Status, vxcomm::TConfigParse::WrongSize);

    for (const auto& [offset, byte] : std::vector<std::pair<size_t, uint8_t>>{{5, 0}, {19, 9}, {20, 5}, {21, 3}}) {
        auto bad = bytes;
        bad[offset] = byte;
        if (offset == 5)
            bad[6] = bad[7] = bad[8] = 0;
        const vxcomm::TConfigParseResult r = vxcomm::ParseConfigValue(bad.data(), bad.size());
        EXPECT_EQ(r.Status, vxcomm::TConfigParse::BadField) << offset;
        EXPECT_FALSE(r.Error.empty());
    }
}

// ---- Connection test -------------------------------------------------------------------------

TEST(CommConnection, ClosedPortDoesNothing)
{
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    EXPECT_NO_THROW(rs.TestConnection());
    EXPECT_EQ(log.Count(), 0u);
}

TEST(CommConnection, DsrFromThePeerPassesAndRaisesRts)
{
    VirtualPort port(62, "conn-ok");
    TvxComm rs;
    rs.SetComPortNo(62);
    rs.SetActive(true);
    ASSERT_TRUE(rs.Active());
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.TestConnection();
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"vxComm: The device connection was succesful tested"});
    const DWORD lines = virtualpair::DrivenLines(port.Name(), virtualpair::End::A);
    EXPECT_TRUE(lines & MS_DSR_ON);
    EXPECT_TRUE(lines & MS_CTS_ON);
}

TEST(CommConnection, NoDsrIsAnInitializationError)
{
    VirtualPort port(63, "conn-none");
    ASSERT_TRUE(EscapeCommFunction(port.Peer(), CLRDTR));
    TvxComm rs;
    rs.SetComPortNo(63);
    rs.SetActive(true);
    TvxMemoryLog log;
    rs.SetLog(&log);
    try {
        rs.TestConnection();
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Device Connect Initialization Error");
    }
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"Fatal Error: 1, 0, Device Connect Initialization Error"});
    EXPECT_FALSE(virtualpair::DrivenLines(port.Name(), virtualpair::End::A) & MS_CTS_ON);
}

// ---- Device identification ---------------------------------------------------------------------

namespace {

struct Settings {
    explicit Settings(TvxComm& rs) : dcb(rs.Dcb()), trace(rs.TraceStates()), active(rs.Active()) {}
    bool operator==(const Settings& o) const { return SameDcb(dcb, o.dcb) && trace == o.trace && active == o.active; }
    DCB dcb;
    TTraceStates trace;
    bool active;
};

} // namespace

TEST(CommDeviceId, AnswerInParenthesesIsReadWholeAtTwelveHundredBaud)
{
    VirtualPort port(64, "pnp-paren");
    TvxComm rs;
    rs.SetComPortNo(64);
    rs.SetTraceStates({tsRxChar, tsCTS}); // reading stays with ReadDeviceId all the same
    const Settings before(rs);
    const std::string id = "(\x01$ABC0102\\\\MODEM\\PNPC107\\Test Modem A5)";
    PnpDevice device(port, rs, id + "trailing");

    EXPECT_EQ(rs.ReadDeviceId(), id);
    EXPECT_EQ(device.answers, 1);
    EXPECT_EQ(device.baud, 1200u);
    EXPECT_EQ(device.byteSize, 7);
    EXPECT_EQ(device.parity, NOPARITY);
    EXPECT_EQ(device.stopBits, ONESTOPBIT);
    EXPECT_TRUE(Settings(rs) == before);
    EXPECT_FALSE(rs.Active());
}

TEST(CommDeviceId, BackspaceBeginMarkEndsAtTab)
{
    VirtualPort port(65, "pnp-bs");
    TvxComm rs;
    rs.SetComPortNo(65);
    rs.SetBaudRate(115200);
    rs.SetActive(true);
    const Settings before(rs);
    PnpDevice device(port, rs, "\x08" "abc\x09" "def");
    EXPECT_EQ(rs.ReadDeviceId(), "\x08" "abc\x09");
    EXPECT_TRUE(Settings(rs) == before);
    ASSERT_TRUE(rs.Active());
    DCB state{};
    ASSERT_TRUE(GetCommState(rs.Handle(), &state));
    EXPECT_EQ(state.BaudRate, 115200u);
    EXPECT_EQ(state.ByteSize, 8);
}

TEST(CommDeviceId, FirstByteThatIsNoBeginMarkGivesNothing)
{
    VirtualPort port(66, "pnp-other");
    TvxComm rs;
    rs.SetComPortNo(66);
    PnpDevice device(port, rs, "X(abc)");
    EXPECT_EQ(rs.ReadDeviceId(), "");
    EXPECT_EQ(device.answers, 1);
}

TEST(CommDeviceId, AnswerWithoutEndMarkGivesWhatArrivedAndNoMore)
{
    VirtualPort port(60, "pnp-endless");
    TvxComm rs;
    rs.SetComPortNo(60);
    {
        PnpDevice device(port, rs, "(abc");
        EXPECT_EQ(rs.ReadDeviceId(), "(abc");
    }
    PnpDevice device(port, rs, "(" + std::string(400, 'a'));
    EXPECT_EQ(rs.ReadDeviceId(), "(" + std::string(255, 'a'));
}

TEST(CommDeviceId, SilentDeviceGivesNothingAndLeavesThePortClosed)
{
    VirtualPort port(67, "pnp-silent");
    TvxComm rs;
    rs.SetComPortNo(67);
    const Settings before(rs);
    EXPECT_EQ(rs.ReadDeviceId(), "");
    EXPECT_TRUE(Settings(rs) == before);
}

TEST(CommDeviceId, NoDsrIsAnErrorAndThePortIsClosedAgain)
{
    VirtualPort port(68, "pnp-nodsr");
    ASSERT_TRUE(EscapeCommFunction(port.Peer(), CLRDTR));
    TvxComm rs;
    rs.SetComPortNo(68);
    EXPECT_THROW(rs.ReadDeviceId(), Exception);
    EXPECT_FALSE(rs.Active());
}

TEST(CommDeviceId, PortThatCannotOpenGivesNothingWhenTheErrorIsDeclined)
{
    TvxComm rs;
    rs.SetComPortNo(69); // no such port in the test's port map
    EXPECT_THROW(rs.ReadDeviceId(), Exception);
    rs.OnFatalError = [](TObject*, uint32_t, uint32_t, const std::string&, bool& raise) { raise = false; };
    EXPECT_EQ(rs.ReadDeviceId(), "");
    EXPECT_FALSE(rs.Active());
}
