// The serial component's lifecycle: opening, closing, reopening and
// destroying it from its own handlers, on the main thread and on the message
// thread, while the device comes and goes. Each test has a watchdog: a hang
// ends the program within seconds.
#include "commtest.h"

#include "Exceptions.h"
#include "MainThread.h"
#include "vxclasses_log.h"

#include <QCheckBox>
#include <atomic>
#include <cstring>
#include <mutex>

using namespace commtest;
using namespace vxport;
namespace vp = vxport::virtualpair;

namespace {

constexpr int kLimit = 20; // seconds before the watchdog ends a hanging test

struct Counts {
    std::atomic<int> closes{0}, closedNotes{0}, receives{0};
};

void CountEvents(TvxComm& rs, Counts& counts)
{
    rs.OnClose = [&counts](TObject*) { ++counts.closes; };
    rs.AddNotify([&counts](TObject*, int32_t kind) {
        if (kind == nkClosed)
            ++counts.closedNotes;
    });
}

// A log that cannot be written, as on a full disk.
class TBrokenLog : public TvxCustomLogFile {
public:
    void LogBlank() override { throw Exception("No space left on device"); }
    void Log(uint8_t, const std::string&) override { throw Exception("No space left on device"); }
    void LogFmt(uint8_t, const std::string&, const TVarArgs&) override { throw Exception("No space left on device"); }
};

// A processor with state of its own, slow enough that a receive is often in
// it when it is destroyed.
class TSlowProcessor : public TvxCustomDataProcessor {
public:
    ~TSlowProcessor() override { NotifyDestroying(); }
    void DataReceived(void* Buffer, uint32_t Received, bool&) override
    {
        seen.append(static_cast<const char*>(Buffer), Received);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    std::string seen;
};

} // namespace

// A close handler may reopen, close again or destroy the component; on the
// event thread's own close path (the device went away) it may reopen too.
TEST(CommLifecycle, CloseHandlerMayReopenCloseOrDestroy)
{
    Watchdog watchdog(kLimit);
    PtyPort port(1), other(2);
    {
        TvxComm rs;
        rs.SetComPortNo(1);
        rs.SetActive(true);
        int reopened = 0;
        rs.OnClose = [&](TObject*) {
            if (reopened++ == 0)
                rs.SetActive(true);
        };
        rs.SetActive(false);
        EXPECT_TRUE(rs.IsOpen());
        port.Write("after");
        std::string got;
        rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
            got.append(static_cast<const char*>(buffer), count);
        };
        EXPECT_TRUE(Pump([&] { return got == "after"; }));
        rs.OnClose = [&](TObject*) { rs.SetActive(false); };
        rs.SetActive(false);
        EXPECT_FALSE(rs.IsOpen());
    }
    {
        auto* rs = new TvxComm;
        rs->SetComPortNo(1);
        rs->SetActive(true);
        bool destroyed = false;
        rs->OnClose = [&](TObject*) {
            delete rs;
            destroyed = true;
        };
        rs->SetActive(false);
        EXPECT_TRUE(destroyed);
    }
    {
        TvxComm rs;
        Counts counts;
        CountEvents(rs, counts);
        std::atomic<bool> moved{false};
        rs.OnClose = [&](TObject*) {
            ++counts.closes;
            if (!moved.exchange(true)) {
                rs.SetComPortNo(2); // the adapter came back under another number
                rs.SetActive(true);
            }
        };
        rs.SetComPortNo(1);
        rs.SetActive(true);
        port.CloseMaster();
        EXPECT_TRUE(Pump([&] { return counts.closes >= 1 && rs.IsOpen(); }));
        EXPECT_EQ(rs.ComPortNo(), 2);
        other.Write("back");
        std::atomic<int> got{0};
        rs.OnAfterReceive = [&](TObject*, void*, uint32_t count) { got += int(count); };
        EXPECT_TRUE(Pump([&] { return got == 4; }));
    }
}

// The device goes away while a handler on the main thread closes the port: the
// event thread's close and the handler's close meet without waiting for each
// other, and the port is closed once.
TEST(CommLifecycle, DeviceLostWhileAMainThreadHandlerCloses)
{
    Watchdog watchdog(kLimit);
    PtyPort port(3);
    TvxComm rs;
    Counts counts;
    CountEvents(rs, counts);
    std::atomic<bool> handled{false};
    rs.OnAfterReceive = [&](TObject*, void*, uint32_t) {
        if (handled)
            return;
        port.CloseMaster();
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the event thread starts its close
        rs.SetActive(false);
        handled = true;
    };
    rs.SetComPortNo(3);
    rs.SetActive(true);
    port.Write("x");
    ASSERT_TRUE(Pump([&] { return handled.load() && counts.closedNotes > 0; }));
    PumpFor(50);
    EXPECT_FALSE(rs.Active());
    EXPECT_EQ(counts.closes, 1);
    EXPECT_EQ(counts.closedNotes, 1);
}

// A handler may destroy the component; nothing touches it afterwards.
TEST(CommLifecycle, HandlerMayDestroyTheComponent)
{
    Watchdog watchdog(kLimit);
    PtyPort port(4);
    for (bool mainThread : {true, false}) {
        auto* rs = new TvxComm;
        std::atomic<bool> destroyed{false};
        rs->SetUseMainThread(mainThread);
        rs->SetTraceStates({tsTxEmpty, tsCTS, tsDSR});
        rs->OnAfterReceive = [&](TObject*, void*, uint32_t) {
            delete rs;
            destroyed = true;
        };
        rs->SetComPortNo(4);
        rs->SetActive(true);
        port.Write("bye");
        EXPECT_TRUE(Pump([&] { return destroyed.load(); })) << "main thread " << mainThread;
        PumpFor(20);
    }
}

// The component destroyed on one thread while a handler on the message thread
// waits for input, then closes and reopens the port: the destruction's close
// ends the wait, the handler ends with its trace events before OnTraceState
// goes, and the port it reopened is closed, so that it can be opened again.
TEST(CommLifecycle, DestroyedWhileAHandlerOnAnotherThreadReopens)
{
    Watchdog watchdog(kLimit);
    PtyPort port(13);
    auto* rs = new TvxComm;
    rs->SetUseMainThread(false);
    std::atomic<bool> inside{false};
    std::atomic<int> traces{0};
    rs->OnTraceState = [&](TObject*, TTraceStates) { ++traces; };
    rs->OnAfterReceive = [&](TObject*, void*, uint32_t) {
        inside = true;
        rs->WaitForInput(1000, INFINITE);
        rs->SetActive(false);
        rs->SetActive(true);
    };
    rs->SetComPortNo(13);
    rs->SetActive(true);
    port.Write("x");
    ASSERT_TRUE(Pump([&] { return inside.load(); }));
    const int tracesBefore = traces;
    delete rs;
    EXPECT_GT(traces, tracesBefore);
    TvxComm again;
    again.SetComPortNo(13);
    EXPECT_NO_THROW(again.SetActive(true));
    EXPECT_TRUE(again.Active());
}

// An OnAfterSend handler on the message thread destroys the component once
// the bytes have gone out, while the thread that sent them is still leaving
// its send: the destruction waits for that call, which touches nothing after.
TEST(CommLifecycle, SendCompletedHandlerDestroysTheComponentWhileTheSendReturns)
{
    Watchdog watchdog(kLimit);
    PtyPort port(14);
    for (int round = 0; round < 5; ++round) {
        auto* rs = new TvxComm;
        rs->SetUseMainThread(false);
        rs->SetTraceStates({tsTxEmpty});
        rs->SetStreamProtocol(spNone);
        std::atomic<bool> destroyed{false};
        rs->OnAfterSend = [&](TObject*) {
            delete rs;
            destroyed = true;
        };
        rs->SetComPortNo(14);
        rs->SetActive(true);
        rs->SendString(round % 2 ? "abc" : "d");
        EXPECT_TRUE(Pump([&] { return destroyed.load(); })) << round;
        port.Read(3, 50);
    }
}

// A receive handler answers what it got, on either thread: the answers go
// out whole and in order. Once another thread has begun to destroy the
// component, a handler still running may reopen the port, but an answer it
// sends then is refused.
TEST(CommLifecycle, HandlerAnswersUntilAnotherThreadBeginsTheDestruction)
{
    Watchdog watchdog(kLimit);
    PtyPort port(15);
    for (bool mainThread : {true, false}) {
        TvxComm rs;
        rs.SetUseMainThread(mainThread);
        rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
            rs.SendString(std::string(static_cast<const char*>(buffer), count));
        };
        rs.SetComPortNo(15);
        rs.SetActive(true);
        std::string back;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            back = port.Read(7);
            done = true;
        });
        for (const char* piece : {"ab", "c", "defg"}) {
            port.Write(piece);
            PumpFor(20);
        }
        EXPECT_TRUE(Pump([&] { return done.load(); }));
        reader.join();
        EXPECT_EQ(back, "abcdefg") << "main thread " << mainThread;
    }
    auto* rs = new TvxComm;
    rs->SetUseMainThread(false);
    std::atomic<bool> inside{false};
    rs->OnAfterReceive = [&](TObject*, void*, uint32_t) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the destruction begins meanwhile
        rs->SetActive(true);
        rs->SendString("late");
    };
    rs->SetComPortNo(15);
    rs->SetActive(true);
    port.Write("x");
    ASSERT_TRUE(Pump([&] { return inside.load(); }));
    delete rs;
    EXPECT_EQ(port.Read(4, 300), "");
}

// An OnFatalError handler, or the first of several notification handlers,
// may destroy the component: the component is not read afterwards (not even
// its log link or the rest of its handler list), though its memory is in use
// again by then.
TEST(CommLifecycle, FatalErrorOrNotifyHandlerMayDestroyTheComponent)
{
    Watchdog watchdog(kLimit);
    const auto Reuse = [](std::vector<std::unique_ptr<char[]>>& blocks) {
        for (int i = 0; i < 16; ++i) {
            blocks.emplace_back(new char[sizeof(TvxComm)]);
            std::memset(blocks.back().get(), 0xA5, sizeof(TvxComm));
        }
    };
    PtyPort port(12);
    for (int32_t kind : {nkOpened, nkClosed}) {
        auto* rs = new TvxComm;
        rs->SetComPortNo(12);
        int later = 0;
        std::vector<std::unique_ptr<char[]>> reuse;
        rs->AddNotify([&, kind](TObject*, int32_t k) {
            if (k != kind)
                return;
            delete rs;
            Reuse(reuse);
        });
        rs->AddNotify([&, kind](TObject*, int32_t k) { later += k == kind; });
        rs->SetActive(true);
        if (kind == nkClosed)
            rs->SetActive(false);
        EXPECT_EQ(later, 0);
    }
    port.CloseMaster();
    UnlinkPort(12);
    for (bool raise : {false, true}) {
        TvxMemoryLog log;
        auto* rs = new TvxComm;
        rs->SetLog(&log);
        rs->SetComPortNo(12);
        std::vector<std::unique_ptr<char[]>> reuse;
        rs->OnFatalError = [&](QObject*, uint32_t, uint32_t, const std::string&, bool& raiseException) {
            raiseException = raise;
            delete rs;
            Reuse(reuse);
        };
        if (raise)
            EXPECT_THROW(rs->SetActive(true), Exception);
        else
            EXPECT_NO_THROW(rs->SetActive(true));
    }
}

// Without the main thread, a handler that closes and reopens the port leaves
// the handling to one thread at a time, and monitors that the main thread
// destroys are never called from the message thread.
TEST(CommLifecycle, WithoutMainThreadHandlersNeverOverlap)
{
    Watchdog watchdog(kLimit);
    VirtualPort port(5, "overlap");
    TvxComm rs;
    rs.SetUseMainThread(false);
    rs.SetTraceStates({tsCTS});
    auto* monitor = new QCheckBox;
    rs.SetMonitorCTS(monitor);
    std::atomic<int> inside{0}, most{0}, calls{0};
    rs.OnAfterReceive = [&](TObject*, void*, uint32_t) {
        most = std::max(most.load(), ++inside);
        if (++calls % 3 == 0) {
            rs.SetActive(false);
            rs.SetActive(true); // the new connection receives at once
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --inside;
    };
    rs.SetComPortNo(5);
    rs.SetActive(true);
    {
        Feeder feeder(port);
        std::atomic<bool> stop{false};
        std::thread lines([&] {
            for (bool on = true; !stop; on = !on) {
                EscapeCommFunction(port.Peer(), on ? SETRTS : CLRRTS);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        PumpFor(150);
        delete monitor;
        PumpFor(150);
        // A loaded machine handles fewer pieces in that time: the input goes
        // on until there were enough.
        EXPECT_TRUE(Pump([&] { return calls > 10; }));
        stop = true;
        lines.join();
    }
    EXPECT_GT(calls, 10);
    EXPECT_EQ(most, 1);
    rs.SetActive(false);
}

// An exception of any type from a handler is reported, and the thread goes on;
// so it does when the report itself fails.
TEST(CommLifecycle, HandlerExceptionsAreReportedAndHandlingGoesOn)
{
    Watchdog watchdog(kLimit);
    PtyPort port(6);
    for (bool mainThread : {true, false}) {
        TvxComm rs;
        std::mutex mutex;
        std::vector<std::string> reported;
        std::atomic<bool> reportFails{false};
        rs.OnFatalError = [&](TObject*, uint32_t, uint32_t, const std::string& message, bool& raise) {
            if (reportFails)
                throw std::runtime_error("the report failed too");
            std::lock_guard lock(mutex);
            reported.push_back(message);
            raise = false;
        };
        std::atomic<int> calls{0};
        rs.OnAfterReceive = [&](TObject*, void*, uint32_t) {
            const int call = ++calls;
            if (call == 1)
                throw 42;
            if (call == 3)
                throw Exception("handler failed");
        };
        rs.SetUseMainThread(mainThread);
        rs.SetComPortNo(6);
        rs.SetActive(true);
        for (int call = 1; call <= 4; ++call) {
            reportFails = call >= 3;
            port.Write("x");
            ASSERT_TRUE(Pump([&] { return calls == call; })) << "call " << call << ", main thread " << mainThread;
        }
        std::lock_guard lock(mutex);
        EXPECT_EQ(reported, std::vector<std::string>{"Unknown exception"});
    }
}

// An open that fails after the handle was opened closes it again and raises.
TEST(CommLifecycle, OpenThatFailsHalfwayLeavesThePortClosed)
{
    Watchdog watchdog(kLimit);
    PtyPort port(7);
    TBrokenLog log;
    TvxComm rs;
    Counts counts;
    CountEvents(rs, counts);
    int opened = 0;
    rs.AddNotify([&](TObject*, int32_t kind) { opened += kind == nkOpened; });
    rs.SetLog(&log);
    rs.SetComPortNo(7);
    EXPECT_THROW(rs.SetActive(true), Exception);
    EXPECT_FALSE(rs.Active());
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(counts.closedNotes, 0);
    TvxComm another; // the port is free again
    another.SetComPortNo(7);
    another.SetActive(true);
    EXPECT_TRUE(another.IsOpen());
    another.SetActive(false);
    rs.SetLog(nullptr);
    rs.SetActive(true);
    EXPECT_TRUE(rs.IsOpen());
}

// A processor or log destroyed while the message thread receives is never
// called once its destruction has begun.
TEST(CommLifecycle, LinksDestroyedWhileTheMessageThreadReceives)
{
    Watchdog watchdog(kLimit);
    VirtualPort port(8, "links");
    TvxComm rs;
    rs.SetUseMainThread(false);
    rs.OnCommError = [](TObject*, uint32_t, uint32_t, TComStateFlags, bool&) {};
    auto* processor = new TSlowProcessor;
    auto* log = new TvxMemoryLog;
    rs.SetDataProcessor(processor);
    rs.SetLog(log);
    rs.SetComPortNo(8);
    rs.SetActive(true);
    {
        Feeder feeder(port);
        std::atomic<bool> stop{false};
        std::thread errors([&] {
            while (!stop) {
                vp::InjectLineErrors(port.Name(), vp::End::A, CE_FRAME);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        PumpFor(100);
        delete processor;
        PumpFor(50);
        delete log;
        PumpFor(50);
        stop = true;
        errors.join();
    }
    EXPECT_EQ(rs.GetDataProcessor(), nullptr);
    EXPECT_EQ(rs.GetLog(), nullptr);
}

// A processor or log that was unlinked first and destroyed afterwards, a
// processor further down a chain, or a processor's own log, may still be in
// use by a receive on the message thread: its destruction waits until that
// receive has left it.
TEST(CommLifecycle, UnlinkedOrChainedLinksDestroyedWhileAReceiveIsInThem)
{
    Watchdog watchdog(kLimit);
    struct Gate {
        std::atomic<bool> entered{false}, inside{false}, insideAtDestruction{false};
        void Pass()
        {
            inside = true;
            entered = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            inside = false;
        }
        void Dying()
        {
            if (inside)
                insideAtDestruction = true;
        }
    };
    class TGateProcessor : public TvxCustomDataProcessor {
    public:
        explicit TGateProcessor(Gate& gate) : gate_(gate) {}
        ~TGateProcessor() override
        {
            NotifyDestroying();
            gate_.Dying();
        }
        void DataReceived(void* Buffer, uint32_t Received, bool& Handled) override
        {
            gate_.Pass();
            Log(2, "received");
            TvxCustomDataProcessor::DataReceived(Buffer, Received, Handled);
        }

    private:
        Gate& gate_;
    };
    class TGateLog : public TvxMemoryLog {
    public:
        explicit TGateLog(Gate& gate) : gate_(gate) {}
        ~TGateLog() override
        {
            NotifyDestroying();
            gate_.Dying();
        }
        void Log(uint8_t Level, const std::string& Msg) override
        {
            gate_.Pass();
            TvxMemoryLog::Log(Level, Msg);
        }
        void LogFmt(uint8_t Level, const std::string& Fmt, const TVarArgs& Args) override
        {
            gate_.Pass();
            TvxMemoryLog::LogFmt(Level, Fmt, Args);
        }

    private:
        Gate& gate_;
    };

    VirtualPort port(11, "unlinked");
    TvxComm rs;
    rs.SetUseMainThread(false);
    rs.OnCommError = [](TObject*, uint32_t, uint32_t, TComStateFlags, bool&) {};
    rs.SetComPortNo(11);
    rs.SetActive(true);
    for (int round = 0; round < 4; ++round) {
        Gate gate, unused;
        TvxCustomDataProcessor first;
        auto* processor = new TGateProcessor(round < 2 ? gate : unused);
        auto* log = new TGateLog(round < 2 ? unused : gate);
        if (round == 0) {
            rs.SetDataProcessor(processor);
            port.Write("x");
        } else if (round == 1) {
            rs.SetDataProcessor(&first);
            first.SetDataProcessor(processor);
            port.Write("x");
        } else if (round == 2) {
            rs.SetLog(log);
            vp::InjectLineErrors(port.Name(), vp::End::A, CE_FRAME);
            port.Write("x");
        } else {
            processor->SetLog(log); // the processor's own log
            rs.SetDataProcessor(processor);
            port.Write("x");
        }
        ASSERT_TRUE(Pump([&] { return gate.entered.load(); })) << "round " << round;
        if (round == 0)
            rs.SetDataProcessor(nullptr);
        else if (round == 2)
            rs.SetLog(nullptr);
        delete log;
        delete processor;
        EXPECT_FALSE(gate.insideAtDestruction) << "round " << round;
        rs.SetDataProcessor(nullptr);
        PumpFor(150);
    }
}

// Input beyond the read buffer (the queue grew on an open port) is delivered
// whole by the event that found it, not when some later byte arrives.
TEST(CommLifecycle, InputLargerThanTheReadBufferIsDeliveredWhole)
{
    Watchdog watchdog(kLimit);
    PtyPort port(9);
    TvxComm rs;
    rs.SetComPortNo(9);
    rs.SetActive(true);
    rs.SetBufferInSize(20000);
    ASSERT_EQ(rs.ReadBufferSize(), 8192u);
    const std::string block(12000, 'q');
    port.Write(block); // nobody takes it yet: it waits in the queue
    ASSERT_TRUE(Pump([&] { return rs.InQueueCount() == block.size(); }));
    PumpFor(50); // the events of its arrival are handled, and took nothing
    std::string got;
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
        got.append(static_cast<const char*>(buffer), count);
    };
    port.Write("!");
    EXPECT_TRUE(Pump([&] { return got.size() == block.size() + 1; }));
    EXPECT_TRUE(got == block + "!");
}

// With the message thread and a receiver set, the identification is read by
// ReadDeviceId and not taken by the receiver, even without read time-outs.
TEST(CommLifecycle, ReadDeviceIdTakesItsBytesBeforeAnyReceiver)
{
    Watchdog watchdog(kLimit);
    VirtualPort port(10, "id-receiver");
    TvxComm rs;
    rs.SetComPortNo(10);
    rs.SetUseMainThread(false);
    rs.SetTimeoutRead(0);
    std::mutex mutex;
    std::string received;
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
        std::lock_guard lock(mutex);
        received.append(static_cast<const char*>(buffer), count);
    };
    rs.SetActive(true);
    const std::string id = "(\x01$ABC0102\\\\MODEM\\PNPC107\\Test Modem A5)";
    PnpDevice device(port, rs, id);
    EXPECT_EQ(rs.ReadDeviceId(), id);
    EXPECT_TRUE(rs.Active());
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, "");
}
