// irprogrammer-cli against a programmer device on a pseudo-terminal registered
// as COM1: the simulator, or the test itself where the bytes on the wire are
// compared.
#include "Spawned.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>

using namespace spawned;

namespace {

// What the window sends for side code 1 and ID 1 on every button and relay
// position 1, and the image those commands write.
const std::string WindowCommands = "#10080#10180#10200#10381#10481#10500#10600#10700#10880#10980#10A00#10BA1"
                                   "#10CA1#10D00#10E00#10F00#11080#11180#11200#11391#11491#11500#11600#11700";
const std::string WindowImage = "8080008181000000808000A1A10000008080009191000000";

// The device as the test plays it: everything that arrives is kept with its
// time, and each read request is answered with the reply for one image.
class RawDevice {
public:
    explicit RawDevice(const fs::path& home) {
        char name[128];
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        // The program must not inherit the master: its copy would keep the line up.
        for (int fd : {master_, slave_})
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        fs::create_directories(home / "vxcomm/ports");
        fs::create_symlink(name, home / "vxcomm/ports/com1");
    }
    ~RawDevice() {
        ::close(slave_);
        ::close(master_);
    }

    // Serves the program until it ends, or 10 s at most; what it sent.
    // afterReply runs right after each reply is sent.
    std::string serve(Spawned& program, const std::string& image = WindowImage,
                      const std::function<void()>& afterReply = {}) {
        size_t answered = 0;
        for (const auto end = Clock::now() + 10s; !program.exitCode(0ms) && Clock::now() < end;) {
            take(20);
            for (size_t at = got_.find("00#00030", answered); at != std::string::npos; at = got_.find("00#00030", answered)) {
                answered = at + 8;
                const std::string reply = "#" + image + std::string(48, 'F') + "$";
                EXPECT_EQ(::write(master_, reply.data(), reply.size()), ssize_t(reply.size()));
                if (afterReply)
                    afterReply();
            }
        }
        take(0);
        return got_;
    }
    // Bytes from the device that wait in the port for whoever opens it next.
    void leave(const std::string& bytes) {
        termios raw{};
        ::tcgetattr(slave_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
        EXPECT_EQ(::write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    // Takes what arrives until `count` bytes.
    void takeUntil(Spawned& program, size_t count) {
        while (got_.size() < count && !program.exitCode(0ms))
            take(20);
    }
    // Then hangs up, as a pulled cable does.
    void hangUpAfter(Spawned& program, size_t count) {
        takeUntil(program, count);
        ::close(master_);
        master_ = -1;
    }
    // When the first `count` bytes had all arrived.
    Clock::time_point arrivalOf(size_t count) const {
        for (const auto& [size, at] : arrivals_)
            if (size >= count)
                return at;
        return Clock::time_point::max();
    }

private:
    void take(int ms) {
        pollfd p{master_, POLLIN, 0};
        while (::poll(&p, 1, ms) > 0 && (p.revents & POLLIN)) {
            char buffer[512];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0)
                return;
            got_.append(buffer, size_t(n));
            arrivals_.emplace_back(got_.size(), Clock::now());
            ms = 0;
        }
    }

    int master_ = -1, slave_ = -1;
    std::string got_;
    std::vector<std::pair<size_t, Clock::time_point>> arrivals_;
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

class CliProgram : public ::testing::Test {
protected:
    fs::path home = freshConfigHome("cli-");
    Spawned cli(std::vector<std::string> args, const std::string& tag = "cli") const {
        return {home, IRCLI_EXECUTABLE, std::move(args), tag};
    }
    // The program started by sh after `setup`, such as "exec <fifo;".
    Spawned cliAfter(const std::string& setup, std::vector<std::string> args, const std::string& tag = "cli") const {
        args.insert(args.begin(), {"-c", setup + " exec \"$0\" \"$@\"", IRCLI_EXECUTABLE});
        return {home, "/bin/sh", std::move(args), tag};
    }
};

const std::string RecordHeader =
    "time,port,p1_side,p1_id,p2_side,p2_id,p3_side,p3_id,relay,p1_code,p2_code,p3_code,verified";

} // namespace

TEST_F(CliProgram, WriteSendsTheWindowsBytesOneEvery50msAndVerifies) {
    RawDevice device(home);
    Spawned write = cli({"write", "--port", "COM1", "--side", "1", "--id", "1"});
    EXPECT_EQ(device.serve(write), WindowCommands + "00#00030");
    EXPECT_EQ(write.exitCode(), 0) << write.err();
    EXPECT_EQ(write.out(), "COM1  P1 1:1  P2 1:1  P3 1:1  relay 1  verified\n");
    // The first command may be read late on a busy machine (by 77 ms once),
    // which shortens the span; sent without the tick, it would be near 0.
    EXPECT_GE(device.arrivalOf(24 * 6) - device.arrivalOf(6), 23 * 50ms - 200ms) << "one command per 50 ms tick";
}

TEST_F(CliProgram, WriteThatLosesACommandFailsNamingTheAddressAndIsRecorded) {
    Sim sim(home, {"--drop-write", "13"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Spawned write = cli({"write", "--port", "COM1", "--side", "17", "--id", "4660", "--record", (home / "r.csv").string()});
    EXPECT_EQ(write.exitCode(10s), 4);
    EXPECT_NE(write.err().find("address 0x0C: wrote 7A, read 00"), std::string::npos) << write.err();
    EXPECT_TRUE(sim.logShows("ignored: write 0C 7A (write 13, --drop-write)")) << sim.out();
    const auto record = lines(readFile(home / "r.csv"));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], RecordHeader);
    EXPECT_TRUE(record[1].ends_with(",COM1,17,4660,17,4660,17,4660,1,88891A415A,88891A617A,88891A514A,no")) << record[1];
}

TEST_F(CliProgram, PortLostInTheMiddleOfAWriteExitsWithThreeAndIsRecorded) {
    RawDevice device(home);
    Spawned write = cli({"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", (home / "r.csv").string()});
    device.hangUpAfter(write, 5 * 6);
    EXPECT_EQ(write.exitCode(10s), 3) << write.err();
    EXPECT_NE(write.err().find("COM1"), std::string::npos) << write.err();
    EXPECT_NE(write.err().find(" of 24 bytes: the device holds old and new bytes"), std::string::npos) << write.err();
    const auto record = lines(readFile(home / "r.csv"));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_TRUE(record[1].ends_with(",no")) << record[1];
}

// Ctrl-C, a SIGTERM from a bench script or a dropped ssh session: the
// transmitter stops before its next command, and the record still says it was
// not verified.
TEST_F(CliProgram, InterruptedWriteStopsBeforeTheNextCommandAndIsRecorded) {
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        RawDevice device(home);
        const fs::path record = home / ("r" + std::to_string(sig) + ".csv");
        Spawned write = cli({"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", record.string()});
        device.takeUntil(write, 2 * 6);
        write.signal(sig);
        EXPECT_EQ(write.exitCode(10s), 128 + sig) << write.err();
        // What the program says it sent is all the device got: nothing went
        // out once the signal was taken, however late the test looked.
        const std::string err = write.err();
        const size_t at = err.find("interrupted after ");
        ASSERT_NE(at, std::string::npos) << err;
        const int reported = std::atoi(err.c_str() + at + 18);
        EXPECT_LT(reported, 24) << err;
        EXPECT_EQ(device.serve(write).size(), size_t(reported) * 6) << err;
        const auto rows = lines(readFile(record));
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_TRUE(rows[1].ends_with(",no")) << rows[1];
        fs::remove(home / "vxcomm/ports/com1");
    }
}

// A signal that comes while a transmitter is being finished (its record line
// synced) stops the batch before the prompt, though standard input stays open.
TEST_F(CliProgram, SignalAsATransmitterIsFinishedStopsTheBatch) {
    RawDevice device(home);
    const fs::path in = home / "in";
    ASSERT_EQ(::mkfifo(in.c_str(), 0600), 0);
    const int keepOpen = ::open(in.c_str(), O_RDWR | O_CLOEXEC);
    Spawned batch = cliAfter("exec <'" + in.string() + "';", {"write", "--port", "COM1", "--side", "1", "--id", "1",
                                                             "--count", "2", "--record", (home / "r.csv").string()});
    const std::string sent = device.serve(batch, WindowImage, [&] { batch.signal(SIGTERM); });
    EXPECT_EQ(batch.exitCode(0ms), 143) << batch.err();
    EXPECT_EQ(sent, WindowCommands + "00#00030") << "nothing sent for the second transmitter";
    EXPECT_EQ(lines(readFile(home / "r.csv")).size(), 2u);
    ::close(keepOpen);
}

// The late reply to a read that timed out, left in the port, is not the
// answer to the next request.
TEST_F(CliProgram, ReadTakesNoReplyThatWaitedInThePort) {
    RawDevice device(home);
    device.leave("#" + std::string(48, '7') + std::string(48, 'F') + "$");
    Spawned read = cli({"read", "--port", "COM1"});
    EXPECT_EQ(device.serve(read), "00#00030");
    EXPECT_EQ(read.exitCode(0ms), 0) << read.err();
    EXPECT_TRUE(read.out().starts_with("P1  side   1  ID     1  code 8080008181\n")) << read.out();
}

TEST_F(CliProgram, ReadPrintsTheFieldsAndTheSameAsJson) {
    std::ofstream(home / "memory.hex") << "88891A455E00000080FFFFE5650000007F800655AC000000\n";
    Sim sim(home, {"--memory", (home / "memory.hex").string(), "--noise", "\r\nOK", "--pieces", "3"});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Spawned text = cli({"read", "--port", "COM1"}, "text");
    EXPECT_EQ(text.exitCode(), 0) << text.err();
    EXPECT_EQ(text.out(), "P1  side  17  ID  4660  code 88891A455E\n"
                          "P2  side   1  ID 65535  code 80FFFFE565\n"
                          "P3  side 255  ID    12  code 7F800655AC\n"
                          "relay position 5 (6 s)\n");
    Spawned json = cli({"read", "--port=com1", "--json"}, "json");
    EXPECT_EQ(json.exitCode(), 0) << json.err();
    QJsonParseError error{};
    const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json.out()), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json.out();
    EXPECT_EQ(o["port"].toString(), "COM1");
    EXPECT_EQ(o["relay"].toInt(), 5);
    const QJsonArray buttons = o["buttons"].toArray();
    ASSERT_EQ(buttons.size(), 3);
    EXPECT_EQ(buttons[0].toObject(), QJsonObject({{"button", "P1"}, {"side", 17}, {"id", 4660}, {"code", "88891A455E"}}));
    EXPECT_EQ(buttons[2].toObject()["id"].toInt(), 12);
}

// A script opens the device named in the JSON: a path in UTF-8 must come out
// as the same path.
TEST_F(CliProgram, PortsJsonKeepsAUtf8DevicePath) {
    RawDevice device(home);
    const fs::path named = home / "programmer-\xC3\xA9\xE2\x82\xAC";
    fs::create_symlink(fs::read_symlink(home / "vxcomm/ports/com1"), named);
    fs::remove(home / "vxcomm/ports/com1");
    fs::create_symlink(named, home / "vxcomm/ports/com1");
    Spawned ports = cli({"ports", "--json"});
    EXPECT_EQ(ports.exitCode(), 0) << ports.err();
    QJsonParseError error{};
    const QJsonArray list = QJsonDocument::fromJson(QByteArray::fromStdString(ports.out()), &error).array();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << ports.out();
    const auto com1 = std::find_if(list.begin(), list.end(), [](const QJsonValue& p) { return p.toObject()["port"] == "COM1"; });
    ASSERT_NE(com1, list.end()) << ports.out();
    EXPECT_EQ((*com1).toObject()["device"].toString().toStdString(), named.string());
}

// A check byte damaged on the line is no code to print.
TEST_F(CliProgram, ReadOfADamagedCodeExitsWithFour) {
    RawDevice device(home);
    Spawned read = cli({"read", "--port", "COM1"});
    device.serve(read, WindowImage.substr(0, 8) + "\x1b[" + WindowImage.substr(10));
    EXPECT_EQ(read.exitCode(0ms), 4);
    EXPECT_EQ(read.out(), "");
    EXPECT_NE(read.err().find("COM1: the reply is damaged: the code of P1 reads 80800081\\x1B["), std::string::npos)
        << read.err();
}

TEST_F(CliProgram, BatchOfThreeRaisesTheIdsAndAppendsALinePerTransmitter) {
    const fs::path file = home / "batch.csv";
    std::ofstream(file) << RecordHeader << "\nearlier line\n";
    Sim sim(home, {"--memory", (home / "memory.hex").string()});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Spawned batch = cli({"write", "--port", "COM1", "--side", "5", "--id", "65533", "--p3", "9:100", "--relay", "0",
                         "--count", "3", "--increment", "--yes", "--record", file.string()});
    EXPECT_EQ(batch.exitCode(15s), 0) << batch.err();
    const auto out = lines(batch.out());
    ASSERT_EQ(out.size(), 3u) << batch.out();
    EXPECT_EQ(out[2], "3/3  COM1  P1 5:65535  P2 5:65535  P3 9:102  relay 0  verified");
    const auto record = lines(readFile(file));
    ASSERT_EQ(record.size(), 5u);
    EXPECT_EQ(record[1], "earlier line");
    for (int n = 0; n < 3; ++n) {
        const std::string id = std::to_string(65533 + n);
        EXPECT_NE(record[2 + n].find(",COM1,5," + id + ",5," + id + ",9," + std::to_string(100 + n) + ",0,"),
                  std::string::npos) << record[2 + n];
        EXPECT_TRUE(record[2 + n].ends_with(",yes")) << record[2 + n];
        EXPECT_EQ(record[2 + n][10], 'T');
    }
    EXPECT_EQ(sim.out().find("ignored"), std::string::npos) << sim.out();
}

// Benches on four ports share two records, one new and one whose last line
// was torn: each gets one header and whole lines, none empty.
TEST_F(CliProgram, RunsAtOnceOnOneRecordKeepItWhole) {
    const fs::path fresh = home / "fresh.csv", torn = home / "torn.csv";
    std::ofstream(torn) << RecordHeader << "\n2026-12-01T08:30:00Z,COM9,1,1";
    std::vector<std::unique_ptr<Spawned>> sims, runs;
    for (int port = 1; port <= 4; ++port) {
        const std::string n = std::to_string(port);
        auto sim = std::make_unique<Sim>(home, std::vector<std::string>{"--port", n}, "sim" + n);
        ASSERT_TRUE(sim->waitForLink(port)) << sim->err();
        sims.push_back(std::move(sim));
        runs.push_back(std::make_unique<Spawned>(home, IRCLI_EXECUTABLE, std::vector<std::string>{
            "write", "--port", "COM" + n, "--side", "1", "--id", n, "--record", (port <= 2 ? fresh : torn).string()}, "cli" + n));
    }
    for (auto& run : runs)
        EXPECT_EQ(run->exitCode(10s), 0) << run->err();
    for (const auto& [file, rows] : {std::pair{fresh, 3u}, std::pair{torn, 4u}}) {
        const auto got = lines(readFile(file));
        EXPECT_EQ(got.size(), rows) << readFile(file);
        EXPECT_EQ(std::count(got.begin(), got.end(), RecordHeader), 1) << readFile(file);
        EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const std::string& l) { return l.ends_with(",yes"); }), 2);
    }
}

// A record kept on Windows (CR LF line ends) is read, and its new lines end
// the same way; a last line torn after its CR gets only the LF.
// The same with a spreadsheet's byte-order mark before the header.
TEST_F(CliProgram, RecordWithCrLfLineEndsIsAppendedInItsOwnStyle) {
    for (const std::string lead : {"", "\xEF\xBB\xBF"}) {
        RawDevice device(home);
        const fs::path file = home / ("windows" + std::to_string(lead.size()) + ".csv");
        std::ofstream(file, std::ios::binary) << lead << RecordHeader << "\r\nearlier line\r";
        Spawned write = cli({"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", file.string()});
        device.serve(write);
        EXPECT_EQ(write.exitCode(0ms), 0) << write.err();
        const std::string text = readFile(file);
        EXPECT_TRUE(text.starts_with(lead + RecordHeader + "\r\nearlier line\r\n2")) << text;
        EXPECT_TRUE(text.ends_with(",COM1,1,1,1,1,1,1,1,8080008181,808000A1A1,8080009191,yes\r\n")) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), std::count(text.begin(), text.end(), '\n'));
        fs::remove(home / "vxcomm/ports/com1");
    }
}

// A run that met a full disk wrote only the start of the header; the next
// run finishes it instead of refusing the file.
TEST_F(CliProgram, RecordWithATornHeaderGetsItsHeaderFinished) {
    RawDevice device(home);
    const fs::path file = home / "torn.csv";
    std::ofstream(file, std::ios::binary) << std::string(RecordHeader).substr(0, 20);
    Spawned write = cli({"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", file.string()});
    device.serve(write);
    EXPECT_EQ(write.exitCode(0ms), 0) << write.err();
    const auto record = lines(readFile(file));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_EQ(record[0], RecordHeader);
    EXPECT_TRUE(record[1].ends_with(",COM1,1,1,1,1,1,1,1,8080008181,808000A1A1,8080009191,yes")) << record[1];
}

// A reader of the results that goes away (| head -1) ends a batch with the
// output error once the transmitter under way is finished and recorded.
TEST_F(CliProgram, OutputPipeClosedByItsReaderIsAnOutputError) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    const fs::path status = home / "status";
    Spawned run(home, "/bin/sh", {"-c", "{ \"$0\" \"$@\"; echo $? >'" + status.string() + "'; } | head -1",
                                  IRCLI_EXECUTABLE, "write", "--port", "COM1", "--side", "1", "--id", "1", "--count",
                                  "3", "--yes", "--record", (home / "r.csv").string()}, "cli");
    EXPECT_EQ(run.exitCode(15s), 0);
    EXPECT_EQ(readFile(status), "1\n") << run.err();
    EXPECT_NE(run.err().find("cannot write the output: Broken pipe"), std::string::npos) << run.err();
    EXPECT_EQ(run.out(), "1/3  COM1  P1 1:1  P2 1:1  P3 1:1  relay 1  verified\n");
    const auto record = lines(readFile(home / "r.csv"));
    ASSERT_EQ(record.size(), 3u);
    EXPECT_TRUE(record[2].ends_with(",yes")) << record[2];
}

// A result that cannot be written is no success; a record line that cannot
// be written still leaves the transmitter's line on stdout.
TEST_F(CliProgram, OutputOrRecordThatCannotBeWrittenExitsWithOne) {
    Sim sim(home, {});
    ASSERT_TRUE(sim.waitForLink()) << sim.err();
    Spawned read = cliAfter("exec >/dev/full;", {"read", "--port", "COM1", "--json"}, "read");
    EXPECT_EQ(read.exitCode(), 1);
    EXPECT_NE(read.err().find("cannot write the output: No space left on device"), std::string::npos) << read.err();
    const fs::path full = home / "full.csv";
    std::ofstream(full) << RecordHeader << "\n" << std::string(8192, ',') << "\n";
    Spawned write = cliAfter("ulimit -f 4; trap '' XFSZ;",
                             {"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", full.string()});
    EXPECT_EQ(write.exitCode(), 1);
    EXPECT_EQ(write.out(), "COM1  P1 1:1  P2 1:1  P3 1:1  relay 1  verified\n");
    EXPECT_NE(write.err().find("cannot write the record " + full.string()), std::string::npos) << write.err();
}

// A script that closed standard output: the port and the record must not
// take its number and get the results written into them.
TEST_F(CliProgram, ClosedOutputSendsNothingToTheDeviceOrTheRecord) {
    RawDevice device(home);
    Spawned write = cliAfter("exec >&-;", {"write", "--port", "COM1", "--side", "1", "--id", "1", "--record",
                                           (home / "r.csv").string()});
    EXPECT_EQ(device.serve(write), WindowCommands + "00#00030");
    EXPECT_EQ(write.exitCode(0ms), 1);
    EXPECT_NE(write.err().find("cannot write the output: "), std::string::npos) << write.err();
    const auto record = lines(readFile(home / "r.csv"));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_TRUE(record[1].ends_with(",yes")) << record[1];
}

// A bench script's working folder removed while a transmitter is written: the
// record named relative to it was opened before, and takes the line.
TEST_F(CliProgram, WorkingFolderRemovedDuringAWriteLosesNoResult) {
    RawDevice device(home);
    const fs::path work = home / "work";
    fs::create_directories(work);
    Spawned write = cliAfter("cd '" + work.string() + "';",
                             {"write", "--port", "COM1", "--side", "1", "--id", "1", "--record", "../r.csv"});
    device.takeUntil(write, 6);
    fs::remove_all(work);
    device.serve(write);
    EXPECT_EQ(write.exitCode(0ms), 0) << write.err();
    EXPECT_EQ(write.out(), "COM1  P1 1:1  P2 1:1  P3 1:1  relay 1  verified\n");
    const auto record = lines(readFile(home / "r.csv"));
    ASSERT_EQ(record.size(), 2u);
    EXPECT_TRUE(record[1].ends_with(",yes")) << record[1];
}

// A script that checks for the usage or the version must not take a lost one
// for a success.
TEST_F(CliProgram, HelpOrVersionThatCannotBeWrittenExitsWithOne) {
    Spawned help = cli({"--help"}, "help");
    EXPECT_EQ(help.exitCode(), 0);
    EXPECT_TRUE(help.out().starts_with("Usage: irprogrammer-cli COMMAND")) << help.out();
    for (const auto& [setup, option] : {std::pair{"exec >&-;", "--help"}, std::pair{"exec >/dev/full;", "--version"}}) {
        Spawned run = cliAfter(setup, {option}, "lost");
        EXPECT_EQ(run.exitCode(), 1) << setup << option;
        EXPECT_NE(run.err().find("irprogrammer-cli: cannot write the output: "), std::string::npos) << run.err();
    }
}

TEST_F(CliProgram, BadArgumentsExitWithTwoNamingTheValueAndSendNothing) {
    RawDevice device(home);
    const std::vector<std::string> write = {"write", "--port", "COM1"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--side", "0", "--id", "1"}, "--side 0"},
        {{"--side", "256", "--id", "1"}, "--side 256"},
        {{"--side", "1", "--id", "65536"}, "--id 65536"},
        {{"--side", "1", "--id", "-3"}, "--id -3"},
        {{"--side", "1", "--id", "1", "--relay", "8"}, "--relay 8"},
        {{"--side", "1", "--id", "1", "--p2", "17:0"}, "--p2 17:0"},
        {{"--side", "1", "--id", "1", "--p3", "17"}, "--p3 17"},
        {{"--side", "1", "--id", "1", "--count", "0"}, "--count 0"},
        {{"--side", "1", "--id", "1", "--timeout", "0"}, "--timeout 0"},
        {{"--side", "1", "--id", "65534", "--count", "3", "--increment", "--yes"}, "65536"},
        {{"--side", "1", "--id", "1", "--record", home.string()}, home.string()},
        {{"--side", "1"}, "--id"},
        {{"--side", "1", "--id", "1", "--json"}, "--json"},
        {{"--side", "1", "--id", "1", "--bogus"}, "--bogus"},
        {{"--side", "1", "--id", "1", "--record", "--no-verify"}, "option --record needs a value"},
    };
    for (auto [args, expected] : cases) {
        args.insert(args.begin(), write.begin(), write.end());
        Spawned run = cli(args, "bad");
        EXPECT_EQ(run.exitCode(), 2) << expected;
        EXPECT_NE(run.err().find(expected), std::string::npos) << run.err();
    }
    Spawned port = cli({"read", "--port", "LPT1"}, "port");
    EXPECT_EQ(port.exitCode(), 2);
    EXPECT_NE(port.err().find("LPT1"), std::string::npos) << port.err();
    EXPECT_EQ(device.serve(port), "");
}

TEST_F(CliProgram, PortThatCannotBeOpenedExitsWithThree) {
    const std::vector<std::vector<std::string>> runs = {{"read", "--port", "COM250"},
                                                        {"write", "--port", "COM250", "--side", "1", "--id", "1"}};
    for (const auto& args : runs) {
        Spawned run = cli(args, args[0]);
        EXPECT_EQ(run.exitCode(), 3) << run.err();
        EXPECT_NE(run.err().find("cannot open COM250"), std::string::npos) << run.err();
    }
}
