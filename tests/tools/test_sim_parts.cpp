// The simulator's memory file, reply, options and port-map link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "DeviceMemory.h"
#include "Options.h"
#include "PortLink.h"
#include "Reply.h"

namespace fs = std::filesystem;
using namespace irsim;

namespace {

// A fresh folder of the test's own, under the per-test XDG_CONFIG_HOME when
// there is one.
class TempFolder {
public:
    TempFolder() {
        const char* base = std::getenv("XDG_CONFIG_HOME");
        fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path();
        auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        path_ = root / ("sim-" + std::string(info->test_suite_name()) + "-" + info->name());
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempFolder() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Points XDG_CONFIG_HOME somewhere else for one test.
class ConfigHome {
public:
    explicit ConfigHome(const fs::path& path) {
        if (const char* old = std::getenv("XDG_CONFIG_HOME"))
            old_ = old;
        ::setenv("XDG_CONFIG_HOME", path.c_str(), 1);
    }
    ~ConfigHome() {
        if (old_)
            ::setenv("XDG_CONFIG_HOME", old_->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

private:
    std::optional<std::string> old_;
};

DeviceMemory sampleMemory() {
    DeviceMemory memory;
    for (uint8_t a = 0; a < DeviceMemory::Size; ++a)
        memory.set(a, static_cast<uint8_t>(a * 11 + 1));
    return memory;
}

} // namespace

// ---- memory ------------------------------------------------------------------

TEST(SimMemory, HexIsUpperCaseInAddressOrder) {
    DeviceMemory memory;
    EXPECT_EQ(memory.hex(), std::string(48, '0'));
    memory.set(0x00, 0x80);
    memory.set(0x17, 0xab);
    EXPECT_EQ(memory.hex(), "80" + std::string(44, '0') + "AB");
    EXPECT_FALSE(memory.set(0x18, 0x01));
    EXPECT_FALSE(memory.set(0x00, 0x80)) << "an unchanged byte is no change";
}

TEST(SimMemory, SavedFileLoadsBack) {
    TempFolder temp;
    fs::path file = temp.path() / "memory";
    DeviceMemory saved = sampleMemory();
    ASSERT_EQ(saved.save(file), std::nullopt);
    EXPECT_EQ(readFile(file), saved.hex() + "\n");
    DeviceMemory loaded;
    ASSERT_EQ(loaded.load(file), std::nullopt);
    EXPECT_EQ(loaded.bytes(), saved.bytes());
    EXPECT_EQ(std::distance(fs::directory_iterator(temp.path()), {}), 1) << "no temporary file is left";
}

TEST(SimMemory, MissingFileStartsAtZero) {
    TempFolder temp;
    DeviceMemory memory;
    EXPECT_EQ(memory.load(temp.path() / "none"), std::nullopt);
    EXPECT_EQ(memory.hex(), std::string(48, '0'));
}

TEST(SimMemory, CorruptFileIsAnErrorAndChangesNothing) {
    TempFolder temp;
    fs::path file = temp.path() / "memory";
    for (std::string text : {std::string("0123"), std::string(48, 'G'), std::string(50, '0'), std::string(),
                             std::string("\0\x01\xff", 3)}) {
        writeFile(file, text);
        DeviceMemory memory = sampleMemory();
        auto error = memory.load(file);
        ASSERT_TRUE(error.has_value()) << "text: " << text;
        EXPECT_NE(error->find(file.string()), std::string::npos) << *error;
        EXPECT_EQ(memory.hex(), sampleMemory().hex());
        EXPECT_EQ(readFile(file), text);
    }
}

TEST(SimMemory, FileToleratesLowerCaseAndLineEnd) {
    DeviceMemory::Bytes bytes{};
    EXPECT_EQ(DeviceMemory::parse(std::string(46, '0') + "ab\r\n", bytes), std::nullopt);
    EXPECT_EQ(bytes[23], 0xAB);
}

TEST(SimMemory, SaveIntoMissingFolderIsAnError) {
    TempFolder temp;
    auto error = sampleMemory().save(temp.path() / "no" / "memory");
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(fs::exists(temp.path() / "no"));
}

// ---- reply -------------------------------------------------------------------

TEST(SimReply, CarriesTheMemoryAndErasedDigitsBetweenHashAndDollar) {
    Options options;
    std::string reply = buildReply(sampleMemory(), options);
    EXPECT_EQ(reply, "#" + sampleMemory().hex() + std::string(48, 'F') + "$");
}

TEST(SimReply, NoiseGoesBeforeTheHash) {
    Options options;
    options.noise = "\r\n~";
    EXPECT_EQ(buildReply(DeviceMemory(), options).substr(0, 4), "\r\n~#");
}

TEST(SimReply, MisplacedDollarStandsWhereAsked) {
    Options options;
    for (int position : {97, 99}) {
        options.dollarPosition = position;
        std::string reply = buildReply(sampleMemory(), options);
        EXPECT_EQ(reply.size(), size_t(position));
        EXPECT_EQ(reply.find('$'), size_t(position - 1));
        EXPECT_EQ(reply.substr(1, 48), sampleMemory().hex());
    }
}

TEST(SimReply, PiecesJoinToTheReplyWithPausesBetween) {
    Options options;
    options.pieces = 4;
    options.pauseMs = 30;
    std::string reply = buildReply(sampleMemory(), options);
    auto chunks = scheduleReply(reply, options);
    ASSERT_EQ(chunks.size(), 4u);
    std::string joined;
    for (size_t i = 0; i < chunks.size(); ++i) {
        EXPECT_FALSE(chunks[i].bytes.empty());
        EXPECT_EQ(chunks[i].delay, std::chrono::milliseconds(i == 0 ? 0 : 30));
        joined += chunks[i].bytes;
    }
    EXPECT_EQ(joined, reply);
}

TEST(SimReply, NeverMorePiecesThanBytes) {
    Options options;
    options.pieces = 100;
    EXPECT_EQ(scheduleReply("#12$", options).size(), 4u);
}

TEST(SimReply, PaceSendsOneByteEveryCharacterTime) {
    Options options;
    options.pace = true;
    std::string reply = buildReply(DeviceMemory(), options);
    auto chunks = scheduleReply(reply, options);
    ASSERT_EQ(chunks.size(), reply.size());
    std::chrono::microseconds total{0};
    for (const auto& chunk : chunks) {
        EXPECT_EQ(chunk.bytes.size(), 1u);
        total += chunk.delay;
    }
    EXPECT_NEAR(total.count(), 98 * 1041.67, 98 * 2);
}

// ---- options -----------------------------------------------------------------

TEST(SimOptions, DefaultsAreComOneWithAPlainReply) {
    auto r = parseOptions({});
    ASSERT_FALSE(r.error);
    EXPECT_EQ(r.options.port, 1);
    EXPECT_EQ(r.options.dollarPosition, 98);
    EXPECT_EQ(r.options.pieces, 1);
    EXPECT_FALSE(r.options.noReply || r.options.pace || r.options.force || r.options.quiet);
}

TEST(SimOptions, EveryOptionIsTaken) {
    auto r = parseOptions({"--port", "3", "--force", "--memory", "m.hex", "--no-reply", "--noise", "ab",
                           "--pieces=5", "--pause", "0", "--misplace-dollar", "99", "--pace", "--quiet"});
    ASSERT_FALSE(r.error) << *r.error;
    const Options& o = r.options;
    EXPECT_EQ(o.port, 3);
    EXPECT_EQ(o.memoryFile, "m.hex");
    EXPECT_EQ(o.noise, "ab");
    EXPECT_EQ(o.pieces, 5);
    EXPECT_EQ(o.pauseMs, 0);
    EXPECT_EQ(o.dollarPosition, 99);
    EXPECT_TRUE(o.force && o.noReply && o.pace && o.quiet);
    EXPECT_TRUE(parseOptions({"--help"}).options.help);
}

TEST(SimOptions, BadOptionsAreNamedInTheError) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--bogus"}, "--bogus"},          {{"--port"}, "needs a value"},
        {{"--port", "0"}, "--port"},        {{"--port", "2x"}, "'2x'"},
        {{"--misplace-dollar", "98"}, "97 or 99"}, {{"--misplace-dollar", "100"}, "--misplace-dollar"},
        {{"--pieces", "0"}, "--pieces"},    {{"--pace=1"}, "takes no value"},
        {{"--memory", ""}, "file name"},
    };
    for (const auto& [args, expected] : cases) {
        auto r = parseOptions(args);
        ASSERT_TRUE(r.error) << args[0];
        EXPECT_NE(r.error->find(expected), std::string::npos) << *r.error;
    }
}

// ---- port-map link -----------------------------------------------------------

// A port-map folder of the test's own, as XDG_CONFIG_HOME.
class SimPortLink : public ::testing::Test {
protected:
    // The path of com<n>, with its folder made.
    fs::path entry(int n) {
        fs::path path = temp.path() / "vxcomm/ports" / ("com" + std::to_string(n));
        fs::create_directories(path.parent_path());
        return path;
    }

    TempFolder temp;
    ConfigHome home{temp.path()};
};

TEST_F(SimPortLink, FolderFollowsXdgConfigHomeOrHome) {
    {
        EXPECT_EQ(portLinkPath(2), (temp.path() / "vxcomm/ports/com2").string());
    }
    std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", temp.path().c_str(), 1);
    std::optional<std::string> oldXdg;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"))
        oldXdg = x;
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(portMapFolder(), (temp.path() / ".config/vxcomm/ports").string());
    ::setenv("XDG_CONFIG_HOME", "relative", 1); // ignored, as the port layer ignores it
    EXPECT_EQ(portMapFolder(), (temp.path() / ".config/vxcomm/ports").string());
    ::unsetenv("XDG_CONFIG_HOME");
    ::setenv("HOME", oldHome.c_str(), 1);
    if (oldXdg)
        ::setenv("XDG_CONFIG_HOME", oldXdg->c_str(), 1);
}

TEST_F(SimPortLink, CreatesFoldersAndLinkAndRemovesIt) {
    PortLink link;
    ASSERT_EQ(link.create(1, "/dev/null", false), std::nullopt);
    fs::path path = temp.path() / "vxcomm/ports/com1";
    EXPECT_EQ(fs::read_symlink(path), "/dev/null");
    link.remove();
    EXPECT_FALSE(fs::is_symlink(path));
}

TEST_F(SimPortLink, LiveLinkIsKeptUnlessForced) {
    fs::path path = entry(1);
    fs::create_symlink("/dev/zero", path);
    PortLink link;
    auto error = link.create(1, "/dev/null", false);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("/dev/zero"), std::string::npos) << *error;
    EXPECT_NE(error->find("--force"), std::string::npos) << *error;
    EXPECT_EQ(fs::read_symlink(path), "/dev/zero");
    ASSERT_EQ(link.create(1, "/dev/null", true), std::nullopt);
    EXPECT_EQ(fs::read_symlink(path), "/dev/null");
}

// A user's link to an adapter that is unplugged now, under any spelling of the
// port's name: the simulator takes that entry while it runs (no second link
// for the port) and puts the user's link back when it ends.
TEST_F(SimPortLink, StaleLinkOfTheUserIsLentAndPutBack) {
    for (const char* name : {"com4", "COM4", "Com004"}) {
        fs::path path = entry(4).parent_path() / name;
        fs::create_symlink(temp.path() / "gone", path);
        {
            PortLink link;
            ASSERT_EQ(link.create(4, "/dev/null", false), std::nullopt) << name;
            EXPECT_EQ(fs::read_symlink(path), "/dev/null") << name;
            EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), 2) << "the link and its lock";
        }
        EXPECT_EQ(fs::read_symlink(path), temp.path() / "gone") << name;
        fs::remove(path);
    }
}

// Killed while it borrowed the user's link: the next simulator on the port
// puts the user's link back when it ends.
TEST_F(SimPortLink, UsersLinkLentToAKilledSimulatorComesBackAfterTheNext) {
    fs::path path = entry(4);
    fs::create_symlink(temp.path() / "gone", path);
    const pid_t child = fork();
    if (child == 0) {
        auto* killed = new PortLink; // never removed, as under SIGKILL
        _exit(killed->create(4, "/dev/zero", false) ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(fs::read_symlink(path), "/dev/zero");
    {
        PortLink next;
        ASSERT_EQ(next.create(4, "/dev/null", false), std::nullopt);
        EXPECT_EQ(fs::read_symlink(path), "/dev/null");
    }
    EXPECT_EQ(fs::read_symlink(path), temp.path() / "gone");
}

TEST_F(SimPortLink, EntryThatIsNoLinkIsLeftAlone) {
    fs::path path = entry(1);
    writeFile(path, "mine");
    PortLink link;
    EXPECT_TRUE(link.create(1, "/dev/null", false).has_value());
    EXPECT_EQ(readFile(path), "mine");
}

TEST_F(SimPortLink, LinkTakenOverByAnotherIsNotRemoved) {
    PortLink first, second;
    ASSERT_EQ(first.create(1, "/dev/null", false), std::nullopt);
    ASSERT_EQ(second.create(1, "/dev/zero", true), std::nullopt);
    first.remove();
    EXPECT_EQ(fs::read_symlink(temp.path() / "vxcomm/ports/com1"), "/dev/zero");
}

TEST_F(SimPortLink, LinkOfAKilledSimulatorIsReplacedEvenWhenItsNameWasReused) {
    fs::path path = entry(1);
    // What a simulator killed by SIGKILL leaves: its link and an unlocked
    // record of it; the target exists again (another program's terminal).
    fs::create_symlink("/dev/zero", path);
    writeFile(portLockPath(1), "/dev/zero");
    PortLink link;
    ASSERT_EQ(link.create(1, "/dev/null", false), std::nullopt);
    EXPECT_EQ(fs::read_symlink(path), "/dev/null");
    EXPECT_EQ(readFile(portLockPath(1)), "/dev/null");
}

TEST_F(SimPortLink, RunningSimulatorKeepsItsPortUnlessForced) {
    fs::path path = temp.path() / "vxcomm/ports/com2";
    PortLink running;
    ASSERT_EQ(running.create(2, "/dev/zero", false), std::nullopt);
    // Even a target that looks gone is not taken from a running simulator.
    fs::remove(path);
    fs::create_symlink(temp.path() / "gone", path);
    writeFile(portLockPath(2), (temp.path() / "gone").string());
    PortLink second;
    auto error = second.create(2, "/dev/null", false);
    ASSERT_TRUE(error.has_value());
    EXPECT_NE(error->find("--force"), std::string::npos) << *error;
    EXPECT_EQ(fs::read_symlink(path), temp.path() / "gone");
    ASSERT_EQ(second.create(2, "/dev/null", true), std::nullopt);
    EXPECT_EQ(fs::read_symlink(path), "/dev/null");
}

TEST_F(SimPortLink, EndedSimulatorLeavesNoRecordThatCouldClaimALaterLink) {
    fs::path path = temp.path() / "vxcomm/ports/com3";
    {
        PortLink first;
        ASSERT_EQ(first.create(3, "/dev/zero", false), std::nullopt);
    }
    EXPECT_FALSE(fs::is_symlink(path));
    // The user links a real device by hand: it is not a simulator's to replace.
    fs::create_symlink("/dev/zero", path);
    PortLink next;
    EXPECT_TRUE(next.create(3, "/dev/null", false).has_value());
    EXPECT_EQ(fs::read_symlink(path), "/dev/zero");
}
