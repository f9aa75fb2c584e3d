// The real irprogrammer-sim program, driven through its pseudo-terminal the way
// the tool drives a serial port.
#include "Spawned.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using spawned::freshConfigHome;
using spawned::readFile;
using spawned::Sim;

// The port as the tool opens it: raw, 9600 8N1.
class Port {
public:
    explicit Port(const fs::path& link) {
        fd_ = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B9600);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~Port() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    bool isOpen() const { return fd_ >= 0; }

    void send(const std::string& text) {
        size_t done = 0;
        for (auto end = Clock::now() + 3s; done < text.size() && Clock::now() < end;) {
            pollfd p{fd_, POLLOUT, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
        }
        ASSERT_EQ(done, text.size()) << "the simulator does not take input";
    }

    // Reads until "$" has arrived or the time is up.
    std::string receive(std::chrono::milliseconds timeout = 3s) { return read(timeout, SIZE_MAX, true); }
    // Reads until count bytes have arrived or the time is up.
    std::string receiveBytes(size_t count, std::chrono::milliseconds timeout) { return read(timeout, count, false); }
    const std::vector<Clock::time_point>& arrivals() const { return arrivals_; }

private:
    std::string read(std::chrono::milliseconds timeout, size_t count, bool untilDollar) {
        std::string got;
        auto end = Clock::now() + timeout;
        while (got.size() < count && !(untilDollar && got.find('$') != std::string::npos) && Clock::now() < end) {
            pollfd p{fd_, POLLIN, 0};
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (::poll(&p, 1, static_cast<int>(std::max<long>(left, 1))) <= 0)
                continue;
            char buffer[256];
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
                arrivals_.push_back(Clock::now());
            }
        }
        return got;
    }

    int fd_ = -1;
    std::vector<Clock::time_point> arrivals_;
};

// The 24 write commands of an image, one per address.
std::string writeCommands(const std::string& image) {
    std::string commands;
    static const char digits[] = "0123456789ABCDEF";
    for (int a = 0; a < 24; ++a)
        commands += std::string("#1") + digits[a >> 4] + digits[a & 15] + image.substr(2 * a, 2);
    return commands;
}

const std::string Image = "8080008181000000808000A1A1000000808000919100FF00";
const std::string Erased(48, 'F');

class SimProgram : public ::testing::Test {
protected:
    fs::path home = freshConfigHome();
};

} // namespace

TEST_F(SimProgram, WrittenImageIsReadBackAfterTheToolReopensThePort) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    EXPECT_NE(sim.out().find("irprogrammer-sim: COM1 -> /dev/pts/"), std::string::npos) << sim.out();
    {
        Port port(sim.link());
        ASSERT_TRUE(port.isOpen());
        port.send(writeCommands(Image));
        EXPECT_EQ(port.receive(300ms), "") << "a write gets no answer";
    }
    ASSERT_TRUE(sim.logShows("write 17 00"));
    Port port(sim.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + Image + Erased + "$");
    ASSERT_TRUE(sim.logShows("read -> #" + Image));
    std::string log = sim.out();
    EXPECT_NE(log.find("write 00 80\nwrite 01 80\nwrite 02 00\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("ignored"), std::string::npos) << log;
}

// The tool takes the port with a flock and TIOCEXCL; killed, it loses the lock
// but not the flag, and the flag alone turns away every later open of a
// normal user.
TEST_F(SimProgram, PortLeftTakenByAKilledToolCanBeOpenedAgain) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    int tool = ::open(sim.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(tool, 0);
    ASSERT_EQ(::flock(tool, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(::ioctl(tool, TIOCEXCL), 0);
    std::this_thread::sleep_for(600ms);
    int exclusive = 0;
    ASSERT_EQ(::ioctl(tool, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1) << "a tool that has the port keeps it";
    ::close(tool); // all that is left of a killed tool

    bool released = false;
    for (auto end = Clock::now() + 3s; !released && Clock::now() < end; std::this_thread::sleep_for(20ms)) {
        int fd = ::open(sim.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue; // busy, for a user without the right to pass the flag
        released = ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
        ::close(fd);
    }
    EXPECT_TRUE(released);
    Port port(sim.link());
    ASSERT_TRUE(port.isOpen());
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + std::string(48, '0') + Erased + "$");
    EXPECT_TRUE(sim.logShows("released: "));
}

TEST_F(SimProgram, GarbageIsReportedAndTheDeviceGoesOn) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    std::string garbage;
    for (int b = 0; b < 256; ++b)
        garbage += static_cast<char>(b);
    port.send(garbage + "#10ba1#1FF00#10501");
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + std::string(10, '0') + "01" + std::string(36, '0') + Erased + "$");
    ASSERT_TRUE(sim.logShows("ignored: address FF out of range"));
    EXPECT_NE(sim.out().find("ignored: malformed frame \"#10b\""), std::string::npos) << sim.out();
}

TEST_F(SimProgram, RepliesWaitWithoutSpinningWhileTheToolDoesNotRead) {
    Sim sim(home, {"--quiet"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    const int requests = 300; // far more than the pseudo-terminal holds
    std::string all;
    for (int i = 0; i < requests; ++i)
        all += "00#00030";
    port.send(all);
    std::this_thread::sleep_for(1s);
    EXPECT_LT(sim.cpuTime(), 300ms);
    std::string got = port.receiveBytes(requests * 98u, 10s);
    ASSERT_EQ(got.size(), requests * 98u);
    EXPECT_EQ(got.substr(got.size() - 98), "#" + std::string(48, '0') + Erased + "$");
}

TEST_F(SimProgram, RepliesNobodyReadsAreBoundedAndReported) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    std::string all;
    for (int i = 0; i < 1500; ++i)
        all += "00#00030";
    port.send(all);
    ASSERT_TRUE(sim.logShows("earlier replies are still waiting"));
    std::string got = port.receiveBytes(SIZE_MAX, 1500ms);
    EXPECT_GT(got.size(), 0u);
    EXPECT_LT(got.size(), 1500 * 98u);
    EXPECT_EQ(got.size() % 98, 0u) << "only whole replies are dropped";
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + std::string(48, '0') + Erased + "$");
}

TEST_F(SimProgram, NoiseComesBeforeTheReply) {
    Sim sim(home, {"--noise", "\r\nOK"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "\r\nOK#" + std::string(48, '0') + Erased + "$");
}

TEST_F(SimProgram, ReplyInPiecesArrivesSpreadOverThePauses) {
    Sim sim(home, {"--pieces", "3", "--pause", "150"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + std::string(48, '0') + Erased + "$");
    ASSERT_GE(port.arrivals().size(), 3u);
    EXPECT_GE(port.arrivals().back() - port.arrivals().front(), 250ms);
}

TEST_F(SimProgram, PaceTakesAboutACharacterTimePerByte) {
    Sim sim(home, {"--pace"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    auto start = Clock::now();
    port.send("00#00030");
    EXPECT_EQ(port.receive().size(), 98u);
    EXPECT_GE(Clock::now() - start, 90ms);
}

TEST_F(SimProgram, MisplacedDollarStandsAt97Or99) {
    for (const char* position : {"97", "99"}) {
        Sim sim(home, {"--misplace-dollar", position}, std::string("sim") + position);
        ASSERT_TRUE(sim.waitForLink()) << sim.err();
        Port port(sim.link());
        port.send("00#00030");
        std::string reply = port.receive();
        EXPECT_EQ(reply.size(), size_t(std::atoi(position)));
        EXPECT_EQ(reply.find('$'), size_t(std::atoi(position) - 1));
        EXPECT_EQ(reply.front(), '#');
    }
}

TEST_F(SimProgram, NoReplyLogsTheRequestAndSendsNothing) {
    Sim sim(home, {"--no-reply"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive(500ms), "");
    EXPECT_TRUE(sim.logShows("read -> no reply"));
}

TEST_F(SimProgram, FaultOptionsLoseOrDamageTheWriteCommandOfTheirNumber) {
    Sim sim(home, {"--drop-write", "2", "--corrupt-write", "3"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    port.send("#10011#10122#10233#10344#10122");
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#11223244" + std::string(40, '0') + Erased + "$");
    EXPECT_TRUE(sim.logShows("ignored: write 01 22 (write 2, --drop-write)")) << sim.out();
    EXPECT_TRUE(sim.logShows("write 02 32 (write 3, --corrupt-write)")) << sim.out();
}

TEST_F(SimProgram, MemoryFileSurvivesARestart) {
    fs::path file = home / "memory.hex";
    {
        Sim sim(home, {"--memory", file.string()}, "first");
        ASSERT_TRUE(sim.waitForLink()) << sim.err();
        Port port(sim.link());
        port.send(writeCommands(Image));
        ASSERT_TRUE(sim.logShows("write 17 00"));
        sim.signal(SIGTERM);
        ASSERT_EQ(sim.exitCode(), 0) << sim.err();
    }
    EXPECT_EQ(readFile(file), Image + "\n");
    Sim sim(home, {"--memory", file.string()}, "second");
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Port port(sim.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive(), "#" + Image + Erased + "$");
}

TEST_F(SimProgram, CorruptMemoryFileStopsItAndIsKept) {
    fs::path file = home / "memory.hex";
    std::ofstream(file) << "not a memory image";
    Sim sim(home, {"--memory", file.string()});
    EXPECT_EQ(sim.exitCode(), 1);
    EXPECT_NE(sim.err().find("not a memory image"), std::string::npos) << sim.err();
    EXPECT_EQ(readFile(file), "not a memory image");
    EXPECT_FALSE(fs::exists(sim.link()));
}

TEST_F(SimProgram, MemoryFileThatCannotBeWrittenStopsItAtOnce) {
    Sim sim(home, {"--memory", (home / "missing" / "memory.hex").string()});
    EXPECT_EQ(sim.exitCode(), 1);
    EXPECT_NE(sim.err().find("missing/memory.hex"), std::string::npos) << sim.err();
    EXPECT_FALSE(fs::exists(sim.link()));
}

TEST_F(SimProgram, LinkIsRemovedOnEveryStopSignal) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        Sim sim(home, {"--port", "3"});
        ASSERT_TRUE(sim.waitForLink(3)) << sim.err();
        sim.signal(sig);
        EXPECT_EQ(sim.exitCode(), 0) << "signal " << sig;
        EXPECT_FALSE(fs::is_symlink(sim.link(3))) << "signal " << sig;
    }
}

TEST_F(SimProgram, SecondInstanceOnTheSamePortRefuses) {
    Sim first(home, {}, "first");
    ASSERT_TRUE(first.waitForLink()) << first.err();
    auto target = fs::read_symlink(first.link());
    Sim second(home, {}, "second");
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_NE(second.err().find("already registered"), std::string::npos) << second.err();
    EXPECT_EQ(fs::read_symlink(first.link()), target);
    Port port(first.link());
    port.send("00#00030");
    EXPECT_EQ(port.receive().size(), 98u) << "the first one still answers";
}

TEST_F(SimProgram, BadOptionExitsWithTwoAndHelpListsTheOptions) {
    Sim bad(home, {"--pieces", "many"}, "bad");
    EXPECT_EQ(bad.exitCode(), 2);
    EXPECT_NE(bad.err().find("--pieces"), std::string::npos) << bad.err();
    EXPECT_FALSE(fs::exists(bad.link()));
    Sim help(home, {"--help"}, "help");
    EXPECT_EQ(help.exitCode(), 0);
    for (const char* option : {"--no-reply", "--noise", "--pieces", "--pause", "--misplace-dollar", "--pace",
                               "--memory", "--port", "--quiet", "--force", "--drop-write", "--corrupt-write"})
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
}

TEST_F(SimProgram, HelpThatCannotBeWrittenExitsWithOne) {
    for (const char* output : {">&-", ">/dev/full"}) {
        spawned::Spawned help(home, "/bin/sh", {"-c", std::string("exec \"$0\" --help ") + output, IRSIM_EXECUTABLE}, "help");
        EXPECT_EQ(help.exitCode(), 1) << output;
        EXPECT_NE(help.err().find("irprogrammer-sim: cannot write the usage: "), std::string::npos) << help.err();
    }
}

// Started with its output closed, the simulator must not print its log into
// the pseudo-terminal that would take the output's number: the tool would
// read the log as the device's reply.
TEST_F(SimProgram, ClosedOutputSendsNoLogToThePort) {
    spawned::Spawned sim(home, "/bin/sh", {"-c", "exec \"$0\" >&-", IRSIM_EXECUTABLE}, "sim");
    const fs::path link = home / "vxcomm/ports/com1";
    for (auto end = Clock::now() + 5s; !fs::is_symlink(link) && Clock::now() < end;)
        std::this_thread::sleep_for(10ms);
    Port port(link);
    ASSERT_TRUE(port.isOpen());
    port.send("00#00030");
    const std::string reply = port.receive();
    EXPECT_EQ(reply.size(), 98u) << reply;
    EXPECT_TRUE(reply.starts_with("#")) << reply;
}
