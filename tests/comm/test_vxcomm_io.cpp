// Receiving, sending, errors and trace of the serial component, through its
// worker threads.
#include "commtest.h"
#include "cputime.h"

#include "Debug.h"
#include "MainThread.h"

#include <QCheckBox>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <mutex>

using namespace commtest;
using namespace vxport;
namespace vp = vxport::virtualpair;

namespace {

class DebugCapture {
public:
    DebugCapture()
    {
        previous_ = SetDebugSink([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            texts_.push_back(text);
        });
    }
    ~DebugCapture() { SetDebugSink(previous_); }
    bool Saw(const std::string& text) const
    {
        std::lock_guard lock(mutex_);
        return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
    }

private:
    DebugSink previous_;
    mutable std::mutex mutex_;
    std::vector<std::string> texts_;
};

struct Received {
    std::mutex mutex;
    std::string bytes;
    bool allInMainThread = true;
    int events = 0;
    void Add(void* buffer, uint32_t count)
    {
        std::lock_guard lock(mutex);
        bytes.append(static_cast<const char*>(buffer), count);
        allInMainThread = allInMainThread && MainThread::IsCurrent();
        ++events;
    }
    std::string Bytes()
    {
        std::lock_guard lock(mutex);
        return bytes;
    }
    void Listen(TvxComm& rs)
    {
        rs.OnAfterReceive = [this](TObject*, void* buffer, uint32_t count) { Add(buffer, count); };
    }
};

} // namespace

TEST(CommReceive, EveryByteArrivesInOrderInTheMainThread)
{
    PtyPort port(41);
    TvxComm rs;
    Received got;
    got.Listen(rs);
    rs.SetComPortNo(41);
    rs.SetActive(true);
    std::string sent;
    for (int piece = 0; piece < 200; ++piece) {
        std::string chunk;
        for (int i = 0; i <= piece % 7; ++i)
            chunk += char((piece * 7 + i) & 0xFF);
        sent += chunk;
        port.Write(chunk);
        if (piece % 20 == 0)
            PumpFor(2);
    }
    EXPECT_TRUE(Pump([&] { return got.Bytes().size() >= sent.size(); }));
    EXPECT_EQ(got.Bytes(), sent);
    EXPECT_TRUE(got.allInMainThread);
}

// A burst that the tty hands over in many reads is taken in rounds within one
// event: whole, in order, in blocks no larger than the read buffer; a receiver
// that closes the port or destroys the component gets no further block.
TEST(CommReceive, ABurstArrivesWholeAndEndsAtAReceiverThatCloses)
{
    const Watchdog watchdog(20); // a writer blocked on a reader that stopped
    std::string burst(65536, 0);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = char(i * 31 / 7);
    enum { kKeeps, kCloses, kDestroys };
    for (const int receiver : {kKeeps, kCloses, kDestroys}) {
        PtyPort port(63);
        auto rs = std::make_unique<TvxComm>();
        std::string got;
        int calls = 0;
        size_t largest = 0;
        rs->OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
            got.append(static_cast<const char*>(buffer), count);
            largest = std::max<size_t>(largest, count);
            ++calls;
            if (receiver == kCloses)
                rs->SetActive(false);
            else if (receiver == kDestroys)
                rs.reset();
        };
        rs->SetComPortNo(63);
        rs->SetActive(true);
        const size_t bufferSize = rs->ReadBufferSize();
        if (receiver == kKeeps) {
            std::thread device([&] { port.Write(burst); });
            EXPECT_TRUE(Pump([&] { return got.size() >= burst.size(); }));
            device.join();
            EXPECT_TRUE(got == burst);
            EXPECT_LE(largest, bufferSize);
        } else {
            port.Write(burst.substr(0, 8192)); // what a pty holds with nobody reading
            PumpFor(100);
            EXPECT_EQ(calls, 1) << "receiver " << receiver;
            EXPECT_TRUE(burst.compare(0, got.size(), got) == 0);
            EXPECT_EQ(rs && rs->Active(), false);
        }
    }
}

// Switching between the main thread and the message thread while bytes
// stream in loses, repeats and reorders nothing: a hand-off on its way to
// the main thread and one to the message thread never overlap.
TEST(CommReceive, SwitchingTheHandlingThreadWhileReceivingKeepsEveryByte)
{
    PtyPort port(92);
    TvxComm rs;
    Received got;
    got.Listen(rs);
    rs.SetComPortNo(92);
    rs.SetActive(true);
    std::string sent;
    for (int piece = 0; piece < 300; ++piece) {
        const std::string chunk(size_t(1 + piece % 5), char('a' + piece % 26));
        sent += chunk;
        port.Write(chunk);
        if (piece % 3 == 0)
            rs.SetUseMainThread(piece % 2 == 0);
        if (piece % 10 == 0)
            PumpFor(1);
    }
    EXPECT_TRUE(Pump([&] { return got.Bytes().size() >= sent.size(); }));
    EXPECT_EQ(got.Bytes(), sent);
}

TEST(CommReceive, WithoutMainThreadTheMessageThreadDelivers)
{
    PtyPort port(42);
    TvxComm rs;
    rs.SetUseMainThread(false);
    Received got;
    got.Listen(rs);
    rs.SetComPortNo(42);
    rs.SetActive(true);
    port.Write("hello");
    // No event loop runs here: the handler must not need the main thread.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (got.Bytes() != "hello" && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(got.Bytes(), "hello");
    EXPECT_FALSE(got.allInMainThread);
}

TEST(CommReceive, BytesWaitUntilSomebodyTakesThem)
{
    PtyPort port(43);
    TvxComm rs;
    rs.SetComPortNo(43);
    rs.SetActive(true);
    port.Write("abc");
    EXPECT_TRUE(Pump([&] { return rs.InQueueCount() == 3; }));
    PumpFor(50);
    EXPECT_EQ(rs.InQueueCount(), 3u); // nobody read them
    Received got;
    got.Listen(rs);
    port.Write("d");
    EXPECT_TRUE(Pump([&] { return got.Bytes() == "abcd"; }));
}

// Bytes the device sends while the port is being set up raise no event of
// their own: they are delivered all the same. What it sent while the port
// was closed is gone, as from a closed port.
TEST(CommReceive, InputWaitingWhenThePortOpensIsDelivered)
{
    for (const bool mainThread : {true, false}) {
        PtyPort port(45);
        port.Write("stale");
        TvxComm rs;
        rs.SetUseMainThread(mainThread);
        rs.OnOpen = [&](QObject*) { port.Write("early"); };
        Received got;
        got.Listen(rs);
        rs.SetComPortNo(45);
        rs.SetActive(true);
        EXPECT_TRUE(Pump([&] { return got.Bytes() == "early"; })) << got.Bytes() << " main thread " << mainThread;
    }
}

TEST(CommReceive, TraceStateRxCharReadsWithoutReceiver)
{
    PtyPort port(44);
    TvxComm rs;
    rs.SetTraceStates({tsRxChar});
    rs.SetComPortNo(44);
    rs.SetActive(true);
    port.Write("xyz");
    EXPECT_TRUE(Pump([&] { return rs.InQueueCount() == 0; }));
}

TEST(CommReceive, LineErrorIsOneCommErrorAndNoReceive)
{
    VirtualPort port(45, "line-error");
    TvxComm rs;
    Received got;
    got.Listen(rs);
    std::vector<uint32_t> codes;
    rs.OnCommError = [&](TObject*, uint32_t code, uint32_t sys, TComStateFlags, bool&) {
        codes.push_back(code);
        EXPECT_EQ(sys, 0u);
    };
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.SetComPortNo(45);
    rs.SetActive(true);
    vp::InjectLineErrors(port.Name(), vp::End::A, CE_FRAME);
    port.Write("q");
    EXPECT_TRUE(Pump([&] { return !codes.empty(); }));
    PumpFor(50);
    EXPECT_EQ(codes, std::vector<uint32_t>{CE_FRAME});
    EXPECT_EQ(got.events, 0);
    const auto texts = log.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "vxComm: Communication Error 8:0"), texts.end());
    // The bytes of that event are read by the next one.
    port.Write("r");
    EXPECT_TRUE(Pump([&] { return got.Bytes() == "qr"; }));
}

TEST(CommReceive, FlashBuffersFromTheHandlerPurgesBothQueues)
{
    VirtualPort port(46, "flash");
    TvxComm rs;
    rs.OnCommError = [&](TObject*, uint32_t, uint32_t, TComStateFlags, bool& flash) { flash = true; };
    int errors = 0;
    rs.OnCommError = [&](TObject*, uint32_t, uint32_t, TComStateFlags, bool& flash) {
        ++errors;
        flash = true;
    };
    rs.SetComPortNo(46);
    rs.SetActive(true);
    vp::InjectLineErrors(port.Name(), vp::End::A, CE_OVERRUN);
    port.Write("pending bytes");
    EXPECT_TRUE(Pump([&] { return errors == 1; }));
    EXPECT_TRUE(Pump([&] { return rs.InQueueCount() == 0; }));
}

// A handler that asks for the buffers to be flushed and then closes or
// destroys the component: the flush is left out, nothing touches the gone
// component.
TEST(CommReceive, FlashBuffersFromAHandlerThatDestroysTheComponent)
{
    VirtualPort port(47, "flash-destroy");
    auto* rs = new TvxComm;
    rs->SetComPortNo(47);
    rs->SetActive(true);
    bool destroyed = false;
    rs->OnCommError = [&](TObject*, uint32_t, uint32_t, TComStateFlags, bool& flash) {
        flash = true;
        delete rs;
        destroyed = true;
    };
    vp::InjectLineErrors(port.Name(), vp::End::A, CE_OVERRUN);
    port.Write("x");
    EXPECT_TRUE(Pump([&] { return destroyed; }));
    PumpFor(50);
}

TEST(CommReceive, ChangingTraceStatesWhileOpenKeepsReceiving)
{
    PtyPort port(47);
    TvxComm rs;
    Received got;
    std::vector<TTraceStates> traced;
    rs.OnTraceState = [&](TObject*, TTraceStates s) { traced.push_back(s); };
    got.Listen(rs);
    rs.SetComPortNo(47);
    rs.SetActive(true);
    traced.clear(); // opening closes first, which reports tsTxEmpty
    for (int i = 0; i < 20; ++i)
        rs.SetTraceStates(i % 2 ? TTraceStates{tsRxFlag} : TTraceStates{tsCTS, tsErr});
    PumpFor(30);
    for (auto t : traced)
        ADD_FAILURE() << "traced " << t.ToBits();
    port.Write("still here");
    EXPECT_TRUE(Pump([&] { return got.Bytes() == "still here"; }));
}

TEST(CommReceive, EventCharacterIsReported)
{
    PtyPort port(48);
    TvxComm rs;
    std::atomic<int> flags{0};
    rs.OnTraceState = [&](TObject*, TTraceStates s) { flags += s.Contains(tsRxFlag); };
    rs.OnAfterReceive = [](TObject*, void*, uint32_t) {};
    rs.SetEventChar('\n');
    rs.SetTraceStates({tsRxFlag});
    rs.SetComPortNo(48);
    rs.SetActive(true);
    port.Write("line\n");
    EXPECT_TRUE(Pump([&] { return flags > 0; }));
}

// A handler slower than the input: events that come while it runs join the
// one waiting for it, and the main thread still serves its timers.
TEST(CommReceive, SlowHandlerUnderSteadyInputKeepsTheEventLoopAndTheQueueShort)
{
    for (const bool mainThread : {true, false}) {
        PtyPort port(60);
        TvxComm rs;
        Received got;
        std::atomic<int> traces{0};
        rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
            got.Add(buffer, count);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        };
        rs.OnTraceState = [&](TObject*, TTraceStates s) { traces += s.Contains(tsRxFlag); };
        rs.SetEventChar('x');
        rs.SetTraceStates({tsRxFlag});
        rs.SetUseMainThread(mainThread);
        rs.SetComPortNo(60);
        rs.SetActive(true);
        std::string sent;
        std::atomic<bool> done{false};
        std::atomic<int> ticks{0};
        std::thread device([&] {
            // A second of input, and on while the timer has not ticked ten
            // times: a loaded machine gives the main thread fewer turns. A
            // loop that served no timers under the input never gets there.
            using Clock = std::chrono::steady_clock;
            const auto start = Clock::now();
            for (auto now = start; now < start + std::chrono::seconds(1) ||
                                   (ticks < 10 && now < start + std::chrono::seconds(10));
                 now = Clock::now()) {
                const std::string chunk = "x" + std::string(7, char('a' + sent.size() / 8 % 26));
                port.Write(chunk);
                sent += chunk;
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            done = true;
        });
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(50);
        Pump([&] { return done.load(); }, 15000);
        timer.stop();
        device.join();
        EXPECT_GE(ticks.load(), 10) << "main thread " << mainThread;
        EXPECT_TRUE(Pump([&] { return got.Bytes().size() >= sent.size(); }, 5000));
        EXPECT_EQ(got.Bytes(), sent);
        // One report per handling, not one per arrival of an 'x'.
        std::lock_guard lock(got.mutex);
        EXPECT_LE(traces, 2 * got.events + 5) << "main thread " << mainThread;
    }
}

namespace {

// Times the threads other than the main one blocked since they started: a
// thread woken for every received piece blocks again after each.
long OtherThreadsBlockings()
{
    long total = 0;
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        if (task.path().filename() == std::to_string(::getpid()))
            continue;
        FILE* status = std::fopen((task.path() / "status").c_str(), "r");
        if (!status)
            continue;
        char line[256];
        long count = 0;
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "voluntary_ctxt_switches: %ld", &count) == 1)
                total += count;
        std::fclose(status);
    }
    return total;
}

} // namespace

// Handled in the main thread, received pieces wake only the main thread,
// which watches the device itself; input that nobody takes hands the watching
// back to the port's threads instead of waking the main thread without end,
// and is delivered once a receiver is there.
TEST(CommReceive, TheMainThreadWatchesTheInputWithoutWakingThePortsThreads)
{
    PtyPort port(61);
    TvxComm rs;
    Received got;
    got.Listen(rs);
    rs.SetComPortNo(61);
    rs.SetActive(true);
    port.Write("first");
    ASSERT_TRUE(Pump([&] { return got.Bytes() == "first"; }));
    PumpFor(20);
    std::string sent = "first";
    const long before = OtherThreadsBlockings();
    for (int piece = 0; piece < 200; ++piece) {
        const std::string chunk(size_t(1 + piece % 3), char('a' + piece % 26));
        sent += chunk;
        port.Write(chunk);
        ASSERT_TRUE(Pump([&] { return got.Bytes().size() == sent.size(); })) << piece;
    }
    EXPECT_LT(OtherThreadsBlockings() - before, 40);
    EXPECT_EQ(got.Bytes(), sent);
    EXPECT_TRUE(got.allInMainThread);

    rs.OnAfterReceive = nullptr;
    port.Write("abc");
    const double cpuBefore = ProcessCpuMs();
    QEventLoop loop; // a loop that sleeps while nothing comes
    QTimer::singleShot(500, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_LT(ProcessCpuMs() - cpuBefore, 100.0);
    EXPECT_EQ(rs.InQueueCount(), 3u);
    got.Listen(rs);
    port.Write("d");
    EXPECT_TRUE(Pump([&] { return got.Bytes() == sent + "abcd"; })) << got.Bytes();
    port.Write("e");
    EXPECT_TRUE(Pump([&] { return got.Bytes() == sent + "abcde"; })) << got.Bytes();
}

TEST(CommThreads, ClosingWhileTheThreadWaitsWritesBreak)
{
    DebugCapture debug;
    PtyPort port(51);
    TvxComm rs;
    rs.SetComPortNo(51);
    rs.SetActive(true);
    PumpFor(20);
    rs.SetActive(false);
    EXPECT_FALSE(rs.IsOpen());
    // The close does not wait for the thread, which ends on its own.
    EXPECT_TRUE(Pump([&] { return debug.Saw("BREAK ..."); }));
}

TEST(CommThreads, LostDeviceClosesThePortFromTheEventThread)
{
    DebugCapture debug;
    PtyPort port(52);
    std::atomic<bool> closed{false};
    std::atomic<bool> closedInMain{true};
    std::vector<int32_t> kinds;
    std::mutex kindsMutex;
    TvxComm rs;
    rs.OnClose = [&](TObject*) {
        closedInMain = MainThread::IsCurrent();
        closed = true;
    };
    rs.AddNotify([&](TObject*, int32_t kind) {
        std::lock_guard lock(kindsMutex);
        kinds.push_back(kind);
    });
    rs.SetComPortNo(52);
    rs.SetActive(true);
    port.CloseMaster(); // the device hangs up
    EXPECT_TRUE(Pump([&] { return closed.load(); }));
    EXPECT_FALSE(closedInMain);
    EXPECT_TRUE(debug.Saw("111 ..."));
    EXPECT_FALSE(rs.Active());
    rs.SetActive(false); // finds it closed and consistent
    {
        std::lock_guard lock(kindsMutex);
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), nkClosed), 1);
    }
    // Once the device is back, the port opens again.
    PtyPort back(52);
    rs.SetActive(true);
    EXPECT_TRUE(rs.IsOpen());
}

TEST(CommSend, SendsWriteTheBytesAndLogTheirLines)
{
    PtyPort port(53);
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    rs.SetComPortNo(53);
    rs.SetActive(true);
    log.Clear();
    rs.SendChar(0x05);
    rs.SendString("#10080");
    const char block[] = {1, 2, 3};
    rs.SendData(block, 3);
    EXPECT_EQ(port.Read(10), std::string("\x05#10080\x01\x02\x03", 10));
    EXPECT_EQ(log.Texts(), (std::vector<std::string>{"vxComm: Try to send char  5h ...",
                                                     "vxComm: Try to send string #10080 ...",
                                                     "vxComm: Try to send the data with 3 length ...",
                                                     "vxComm: ... the data transmittion is OK!"}));
}

TEST(CommSend, EmptyStringAndClosedPortSendNothing)
{
    PtyPort port(54);
    TvxComm rs;
    TvxMemoryLog log;
    rs.SetLog(&log);
    int errors = 0;
    rs.OnCommError = [&](TObject*, uint32_t, uint32_t, TComStateFlags, bool&) { ++errors; };
    rs.SetComPortNo(54);
    rs.SendChar('a');
    rs.SendString("abc");
    rs.SendData("abc", 3);
    rs.PurgeAll();
    rs.SetRTS(true);
    EXPECT_TRUE(log.Texts().empty());
    rs.SetActive(true);
    log.Clear();
    rs.SendString("");
    EXPECT_TRUE(log.Texts().empty());
    EXPECT_EQ(port.Read(1, 100), "");
    EXPECT_EQ(errors, 0);
}

TEST(CommSend, ManualRtsRisesBeforeSendingAndDropsAtTransmitEmpty)
{
    VirtualPort port(55, "rs485");
    // Half a second for the ten bytes, so that RTS is seen up while they go out.
    vp::SetTransmitTime(port.Name(), vp::End::A, std::chrono::milliseconds(50));
    TManualRtsComm rs;
    rs.SetRS485Mode(true);
    rs.SetStreamProtocol(spNone);
    rs.SetComPortNo(55);
    rs.SetActive(true);
    rs.SetRTS(false);
    std::atomic<int> sentEvents{0};
    rs.OnAfterSend = [&](TObject*) { ++sentEvents; };
    EXPECT_EQ(vp::DrivenLines(port.Name(), vp::End::A) & MS_CTS_ON, 0u);
    rs.SendString("0123456789");
    EXPECT_NE(vp::DrivenLines(port.Name(), vp::End::A) & MS_CTS_ON, 0u); // RTS up
    EXPECT_TRUE(Pump([&] { return (vp::DrivenLines(port.Name(), vp::End::A) & MS_CTS_ON) == 0; }));
    EXPECT_EQ(sentEvents, 0); // tsTxEmpty is not traced
}

TEST(CommSend, AfterSendFiresWhenTxEmptyIsTraced)
{
    PtyPort port(56);
    TvxComm rs;
    std::atomic<int> sent{0};
    rs.OnAfterSend = [&](TObject*) { ++sent; };
    rs.SetTraceStates({tsTxEmpty});
    rs.SetComPortNo(56);
    rs.SetActive(true);
    rs.SendString("x");
    EXPECT_TRUE(Pump([&] { return sent > 0; }));
}

TEST(CommWaits, WaitForInputSeesQueuedBytesAndTimesOut)
{
    PtyPort port(57);
    TvxComm rs;
    rs.SetComPortNo(57);
    rs.SetActive(true);
    EXPECT_FALSE(rs.WaitForInput(1, 30));
    port.Write("ab");
    EXPECT_TRUE(rs.WaitForInput(2, 2000));
    char buf[2];
    EXPECT_TRUE(rs.ReadBytes(buf, 2));
    EXPECT_EQ(std::string(buf, 2), "ab");
    EXPECT_FALSE(rs.WaitForModemSignal(8, 0));
}

// Time-outs too long for a tick-count deadline wait until the condition holds
// or the port is closed, here by timers that run inside the wait.
TEST(CommWaits, EndlessTimeoutsLastUntilInputOrClose)
{
    using Clock = std::chrono::steady_clock;
    const auto elapsedSince = [](Clock::time_point start) { return Clock::now() - start; };
    PtyPort port(91);
    TvxComm rs;
    rs.SetComPortNo(91);
    rs.SetActive(true);
    ASSERT_TRUE(rs.Active());
    // Ends a wait that the component would never end by itself.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { rs.SetActive(false); });
    watchdog.start(10000);

    QTimer later;
    later.setSingleShot(true);
    QMetaObject::Connection action = QObject::connect(&later, &QTimer::timeout, [&] { port.Write("xyz"); });
    later.start(100);
    auto start = Clock::now();
    EXPECT_TRUE(rs.WaitForInput(3, INFINITE));
    EXPECT_GE(elapsedSince(start), std::chrono::milliseconds(90));
    EXPECT_LT(elapsedSince(start), std::chrono::milliseconds(9000));
    EXPECT_TRUE(rs.Active());

    QObject::disconnect(action);
    QObject::connect(&later, &QTimer::timeout, [&] { rs.SetActive(false); });
    later.start(100);
    start = Clock::now();
    EXPECT_FALSE(rs.WaitForInput(4, INFINITE));
    EXPECT_GE(elapsedSince(start), std::chrono::milliseconds(90));
    EXPECT_FALSE(rs.Active());

    rs.SetActive(true);
    ASSERT_TRUE(rs.Active());
    start = Clock::now();
    EXPECT_FALSE(rs.WaitForModemSignal(8, INFINITE)); // no line has that ordinal
    EXPECT_LT(elapsedSince(start), std::chrono::milliseconds(1000));
    later.start(100);
    start = Clock::now();
    EXPECT_FALSE(rs.WaitForModemSignal(msRing, 0x80000001u));
    EXPECT_GE(elapsedSince(start), std::chrono::milliseconds(90));
    EXPECT_LT(elapsedSince(start), std::chrono::milliseconds(9000)); // the timer ended it, not the watchdog

    // A handler run during the wait may destroy the component that waits.
    auto doomed = std::make_unique<TvxComm>();
    doomed->SetComPortNo(91);
    doomed->SetActive(true);
    ASSERT_TRUE(doomed->Active());
    QTimer::singleShot(100, [&] { doomed.reset(); });
    TvxComm* waiting = doomed.get();
    EXPECT_FALSE(waiting->WaitForInput(1, INFINITE));
    EXPECT_EQ(doomed, nullptr);
}

TEST(CommWaits, ClosedPortWaitsNothing)
{
    TvxComm rs;
    EXPECT_FALSE(rs.WaitForInput(1, 1000));
    EXPECT_FALSE(rs.WaitForModemSignal(msDSR, 1000));
    EXPECT_TRUE(rs.ModemSignals().Empty());
}

TEST(CommMonitors, ModemLinesReachTheMonitors)
{
    VirtualPort port(58, "monitors");
    TvxComm rs;
    QCheckBox cts, dsr, ring;
    rs.SetMonitorCTS(&cts);
    rs.SetMonitorDSR(&dsr);
    rs.SetMonitorRing(&ring);
    rs.SetTraceStates({tsCTS, tsDSR, tsRing});
    rs.SetStreamProtocol(spNone);
    rs.SetComPortNo(58);
    rs.SetActive(true);
    // The peer raised its lines when it opened; drop and raise them again.
    std::atomic<int> lineEvents{0};
    rs.OnTraceState = [&](TObject*, TTraceStates s) { lineEvents += s.Contains(tsCTS) + s.Contains(tsDSR); };
    EscapeCommFunction(port.Peer(), CLRRTS);
    EscapeCommFunction(port.Peer(), CLRDTR);
    EXPECT_TRUE(Pump([&] { return lineEvents >= 2; }));
    EscapeCommFunction(port.Peer(), SETRTS);
    EscapeCommFunction(port.Peer(), SETDTR);
    EXPECT_TRUE(Pump([&] { return cts.isChecked() && dsr.isChecked(); }));
    vp::SetRing(port.Name(), vp::End::A, true);
    EXPECT_TRUE(Pump([&] { return ring.isChecked(); }));
    vp::SetRing(port.Name(), vp::End::A, false);
    PumpFor(30);
    EXPECT_TRUE(ring.isChecked()); // never set back
    EXPECT_TRUE(rs.WaitForModemSignal(msDSR, 100));
}

TEST(CommReceive, HandlerMayCloseAndReopenThePort)
{
    PtyPort port(59);
    std::atomic<int> calls{0};
    std::string first;
    TvxComm rs;
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
        ++calls;
        rs.SetActive(false);
        first.assign(static_cast<const char*>(buffer), count); // still valid
        rs.SetActive(true);
    };
    rs.SetComPortNo(59);
    rs.SetActive(true);
    port.Write("one");
    EXPECT_TRUE(Pump([&] { return calls == 1; }));
    EXPECT_EQ(first, "one");
    EXPECT_TRUE(rs.IsOpen());
    port.Write("two");
    EXPECT_TRUE(Pump([&] { return calls == 2; }));
    EXPECT_EQ(first, "two");
    rs.OnAfterReceive = [&](TObject*, void*, uint32_t) { rs.SetActive(false); };
    port.Write("three");
    EXPECT_TRUE(Pump([&] { return !rs.IsOpen(); }));
}
