// The data processor: sends through its hook, its timer, notifications,
// chaining and links.
#include "commtest.h"

#include "Exceptions.h"

#include <gmock/gmock.h>

#include <QElapsedTimer>
#include <cctype>
#include <cstring>

using namespace commtest;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class TRecordingProcessor : public TvxCustomDataProcessor {
public:
    using TvxCustomDataProcessor::TvxCustomDataProcessor;

    int txEmpty = 0;
    std::string received;
    bool handles = false;

    void TxEmpty(bool&) override { ++txEmpty; }
    void DataReceived(void* Buffer, uint32_t Received, bool& Handled) override
    {
        received.append(static_cast<const char*>(Buffer), Received);
        if (handles)
            Handled = true;
        TvxCustomDataProcessor::DataReceived(Buffer, Received, Handled);
    }
};

// A serial component open on a pty, with a processor attached.
struct Rig {
    explicit Rig(unsigned number) : pty(number)
    {
        rs.SetComPortNo(uint16_t(number));
        rs.SetActive(true);
        EXPECT_TRUE(rs.Active());
        processor.SetLogPrefix("P: ");
        processor.SetLog(&log);
        rs.SetDataProcessor(&processor);
    }
    PtyPort pty;
    TvxComm rs;
    TvxMemoryLog log;
    TRecordingProcessor processor;
};

void Upper(TObject*, void* data, uint32_t size, bool, bool&)
{
    auto* bytes = static_cast<char*>(data);
    for (uint32_t i = 0; i < size; ++i)
        bytes[i] = char(std::toupper(static_cast<unsigned char>(bytes[i])));
}

} // namespace

// ---- Sending -----------------------------------------------------------------------------

TEST(ProcessorSend, NothingToSendSendsNothingLogsNothingAndCallsNoHook)
{
    Rig rig(70);
    int hooks = 0;
    rig.processor.OnBeforeSend = [&](TObject*, void*, uint32_t, bool, bool&) { ++hooks; };
    char data[] = "abc";
    rig.processor.DoDataSend(data, 0);
    rig.processor.DoDataSend(nullptr, 3);
    rig.processor.DoStringSend("");
    EXPECT_EQ(hooks, 0);
    EXPECT_THAT(rig.log.Texts(), IsEmpty());
    EXPECT_EQ(rig.pty.Read(1, 200), "");
}

TEST(ProcessorSend, BlockAndStringGoOutAndOnlyTheBlockIsLogged)
{
    Rig rig(71);
    char data[] = "block";
    rig.processor.DoDataSend(data, 5);
    rig.processor.DoStringSend("string");
    EXPECT_EQ(rig.pty.Read(11), "blockstring");
    EXPECT_THAT(rig.log.Texts(), ElementsAre("P: DoDataSend: 5 bytes"));
    EXPECT_FALSE(rig.processor.Timer()->Enabled());
}

TEST(ProcessorSend, HookThatRewritesBytesChangesWhatIsSent)
{
    Rig rig(72);
    std::vector<bool> isString;
    rig.processor.OnBeforeSend = [&](TObject* sender, void* data, uint32_t size, bool str, bool& handled) {
        EXPECT_EQ(sender, &rig.processor);
        isString.push_back(str);
        Upper(sender, data, size, str, handled);
    };
    char data[] = "abc";
    rig.processor.DoDataSend(data, 3);
    const std::string text = "xyz";
    const std::string shared = text;
    rig.processor.DoStringSend(text);
    EXPECT_EQ(rig.pty.Read(6), "ABCXYZ");
    EXPECT_EQ(std::string(data), "ABC");
    EXPECT_EQ(text, "xyz");
    EXPECT_EQ(shared, "xyz");
    EXPECT_EQ(isString, (std::vector<bool>{false, true}));
}

TEST(ProcessorSend, TakenOverBlockIsLoggedAndCallsTxEmptyOnce)
{
    Rig rig(73);
    rig.processor.OnBeforeSend = [](TObject*, void*, uint32_t, bool, bool& handled) { handled = true; };
    rig.processor.Timer()->Interval = 100;
    char data[] = "taken";
    rig.processor.DoDataSend(data, 5);
    EXPECT_THAT(rig.log.Texts(), ElementsAre("P: DoDataSend: 5 bytes"));
    EXPECT_EQ(rig.processor.txEmpty, 0);
    EXPECT_TRUE(Pump([&] { return rig.processor.txEmpty > 0; }, 2000));
    PumpFor(350);
    EXPECT_EQ(rig.processor.txEmpty, 1);
    EXPECT_FALSE(rig.processor.Timer()->Enabled());
    EXPECT_EQ(rig.pty.Read(1, 100), "");
}

TEST(ProcessorSend, TakenOverStringIsNeitherSentNorLoggedAndArmsNothing)
{
    Rig rig(74);
    rig.processor.OnBeforeSend = [](TObject*, void*, uint32_t, bool, bool& handled) { handled = true; };
    rig.processor.DoStringSend("taken");
    EXPECT_FALSE(rig.processor.Timer()->Enabled());
    EXPECT_THAT(rig.log.Texts(), IsEmpty());
    EXPECT_EQ(rig.pty.Read(1, 200), "");
}

TEST(ProcessorSend, WithoutComponentOrWithAFailingHookNothingEscapes)
{
    TRecordingProcessor processor;
    TvxMemoryLog log;
    processor.SetLog(&log);
    char data[] = "abc";
    processor.DoDataSend(data, 3);
    processor.DoStringSend("abc");
    EXPECT_THAT(log.Texts(), IsEmpty());

    processor.OnBeforeSend = [](TObject*, void*, uint32_t, bool, bool&) { throw Exception("hook failed"); };
    EXPECT_NO_THROW(processor.DoDataSend(data, 3));
    EXPECT_NO_THROW(processor.DoStringSend("abc"));
    EXPECT_THAT(log.Texts(), IsEmpty());
}

// ---- Timer --------------------------------------------------------------------------------------

TEST(ProcessorTimer, StartTimerCallsTxEmptyOnceAfterItsInterval)
{
    TRecordingProcessor processor;
    EXPECT_FALSE(processor.Timer()->Enabled());
    EXPECT_EQ(processor.Timer()->Interval, 1000u);
    QElapsedTimer clock;
    clock.start();
    processor.StartTimer(250);
    EXPECT_TRUE(Pump([&] { return processor.txEmpty > 0; }, 2000));
    EXPECT_GE(clock.elapsed(), 240);
    PumpFor(600);
    EXPECT_EQ(processor.txEmpty, 1);
}

TEST(ProcessorTimer, StartTimerZeroStopsAndKeepsTheInterval)
{
    TRecordingProcessor processor;
    processor.StartTimer(100);
    processor.StartTimer(0);
    EXPECT_FALSE(processor.Timer()->Enabled());
    EXPECT_EQ(processor.Timer()->Interval, 100u);
    PumpFor(300);
    EXPECT_EQ(processor.txEmpty, 0);
}

// ---- Notifications and errors -----------------------------------------------------------------------

TEST(ProcessorNotify, OpeningAndClosingAreLoggedDeviceChangesAreNot)
{
    Rig rig(75);
    rig.rs.SetActive(false);
    rig.rs.RefreshDevices();
    rig.rs.SetActive(true);
    EXPECT_EQ(rig.log.Entries(), (std::vector<TvxMemoryLog::TEntry>{{2, "P: Medium Closed"}, {2, "P: Medium Opened"}}));
}

TEST(ProcessorNotify, FatalErrorRaisesUnlessDeclinedAndLogsWithoutPrefix)
{
    TRecordingProcessor processor;
    TvxMemoryLog log;
    processor.SetLog(&log);
    processor.SetLogPrefix("P: ");
    try {
        processor.FatalError(3, 4, "broken");
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "broken");
    }
    processor.OnFatalError = [&](TObject* sender, uint32_t code, uint32_t, const std::string&, bool& raise) {
        EXPECT_EQ(sender, &processor);
        EXPECT_EQ(code, 5u);
        raise = false;
    };
    EXPECT_NO_THROW(processor.FatalError(5, 6, "declined"));
    EXPECT_THAT(log.Texts(), ElementsAre("Fatal Error: 3, 4, broken", "Fatal Error: 5, 6, declined"));
}

// ---- Chain and links ------------------------------------------------------------------------------------

TEST(ProcessorChain, NextProcessorSharesTheComponentButGetsDataOnlyThroughTheChain)
{
    Rig rig(76);
    TRecordingProcessor next;
    TvxMemoryLog nextLog;
    next.SetLog(&nextLog);
    rig.processor.SetDataProcessor(&rig.processor);
    EXPECT_EQ(rig.processor.GetDataProcessor(), nullptr);
    rig.processor.SetDataProcessor(&next);
    EXPECT_EQ(next.GetIO(), &rig.rs);
    EXPECT_EQ(rig.rs.GetDataProcessor(), &rig.processor);

    rig.pty.Write("hello");
    EXPECT_TRUE(Pump([&] { return next.received.size() >= 5; }));
    EXPECT_EQ(rig.processor.received, "hello");
    EXPECT_EQ(next.received, "hello");

    rig.rs.SetActive(false);
    EXPECT_THAT(nextLog.Texts(), Contains("Medium Closed"));

    // Unlinking leaves it attached to the component.
    rig.processor.SetDataProcessor(nullptr);
    EXPECT_EQ(next.GetIO(), &rig.rs);
}

TEST(ProcessorChain, LinkThatWouldCloseALoopIsRefused)
{
    TRecordingProcessor a, b, c;
    a.SetDataProcessor(&b);
    b.SetDataProcessor(&c);
    EXPECT_THROW(c.SetDataProcessor(&a), Exception);
    EXPECT_EQ(c.GetDataProcessor(), nullptr);
    bool handled = false;
    char byte = 'x';
    a.DataReceived(&byte, 1, handled);
    EXPECT_EQ(c.received, "x");
}

TEST(ProcessorLinks, DestroyingALinkedComponentClearsTheLink)
{
    auto rs = std::make_unique<TvxComm>();
    auto next = std::make_unique<TRecordingProcessor>();
    auto log = std::make_unique<TvxMemoryLog>();
    TRecordingProcessor processor;
    rs->SetDataProcessor(&processor);
    processor.SetDataProcessor(next.get());
    processor.SetLog(log.get());

    next.reset();
    EXPECT_EQ(processor.GetDataProcessor(), nullptr);
    log.reset();
    EXPECT_EQ(processor.GetLog(), nullptr);
    rs.reset();
    EXPECT_EQ(processor.GetIO(), nullptr);
}

TEST(ProcessorLinks, DestroyedProcessorLeavesTheComponentWorking)
{
    Rig rig(77);
    auto second = std::make_unique<TRecordingProcessor>();
    rig.processor.SetDataProcessor(second.get());
    second.reset();
    rig.processor.SetDataProcessor(nullptr);
    {
        TRecordingProcessor temporary;
        rig.rs.SetDataProcessor(&temporary);
    }
    EXPECT_EQ(rig.rs.GetDataProcessor(), nullptr);
    // No handler of a destroyed processor is left to be called.
    rig.rs.SetActive(false);
    rig.rs.SetActive(true);
    rig.pty.Write("z");
    PumpFor(100);
    EXPECT_TRUE(rig.rs.Active());
}

// OnBeforeSend or OnFatalError may destroy its processor (the hook while
// taking a block over or letting a string through): nothing of the gone
// processor is used afterwards, though its memory is in use again by then.
TEST(ProcessorSend, HandlerThatDestroysItsProcessor)
{
    PtyPort pty(78);
    TvxComm rs;
    rs.SetComPortNo(78);
    rs.SetActive(true);
    TvxMemoryLog log;
    for (int round = 0; round < 3; ++round) {
        auto* processor = new TRecordingProcessor;
        rs.SetDataProcessor(processor);
        processor->SetLog(&log);
        std::vector<std::unique_ptr<char[]>> reuse;
        const auto destroy = [&] {
            delete processor;
            for (int i = 0; i < 16; ++i) {
                reuse.emplace_back(new char[sizeof(TRecordingProcessor)]);
                std::memset(reuse.back().get(), 0xA5, sizeof(TRecordingProcessor));
            }
        };
        processor->OnBeforeSend = [&, round](TObject*, void*, uint32_t, bool, bool& handle) {
            handle = round == 0;
            destroy();
        };
        processor->OnFatalError = [&](QObject*, uint32_t, uint32_t, const std::string&, bool& raise) {
            raise = false;
            destroy();
        };
        char data[] = "abc";
        if (round == 0)
            processor->DoDataSend(data, 3);
        else if (round == 1)
            processor->DoStringSend("abc");
        else
            EXPECT_NO_THROW(processor->FatalError(1, 0, "gone"));
        EXPECT_EQ(rs.GetDataProcessor(), nullptr);
    }
    EXPECT_EQ(pty.Read(1, 100), "");
    EXPECT_EQ(log.Count(), 0u);
}

// A processor that answers what it receives sends from the receive path, which
// runs on the message thread when the component does not use the main thread;
// a block taken over there still leads to one TxEmpty on the processor's own
// thread, and StartTimer called there arms the timer as well.
TEST(ProcessorTimer, ArmedFromTheReceiveThreadTicksOnTheProcessorsThread)
{
    struct TAnswering : TRecordingProcessor {
        ~TAnswering() override { NotifyDestroying(); } // a receive may be in it
        std::atomic<int> ticks{0};
        std::atomic<bool> offThread{false};
        std::thread::id own = std::this_thread::get_id();
        void TxEmpty(bool&) override
        {
            offThread = offThread || std::this_thread::get_id() != own;
            ++ticks;
        }
        void DataReceived(void* Buffer, uint32_t Received, bool&) override
        {
            if (*static_cast<const char*>(Buffer) == 'b') {
                DoDataSend(Buffer, Received);
            } else {
                StartTimer(50);
            }
        }
    };
    PtyPort pty(76);
    TvxComm rs;
    rs.SetUseMainThread(false);
    rs.SetComPortNo(76);
    TAnswering processor;
    processor.OnBeforeSend = [](TObject*, void*, uint32_t, bool, bool& handled) { handled = true; };
    processor.Timer()->Interval = 50;
    rs.SetDataProcessor(&processor);
    rs.SetActive(true);
    for (const char* what : {"b", "s"}) {
        processor.ticks = 0;
        pty.Write(what);
        EXPECT_TRUE(Pump([&] { return processor.ticks > 0; }, 2000)) << what;
        PumpFor(200);
        EXPECT_EQ(processor.ticks, 1) << what;
    }
    EXPECT_FALSE(processor.offThread);
}

// A processor may be destroyed on another thread than the one that made it:
// a request to arm its timer still queued for its thread, or its timer
// running there, then leaves nothing behind that ticks into the gone
// processor, and Qt is not asked to stop a timer from a foreign thread.
TEST(ProcessorTimer, DestroyedOffItsThreadLeavesNothingBehind)
{
    static std::atomic<int> warnings{0};
    warnings = 0;
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
        if (type != QtDebugMsg && type != QtInfoMsg)
            ++warnings;
    });
    for (int interval : {0, 5}) {
        auto* processor = new TRecordingProcessor;
        processor->StartTimer(interval);
        std::thread([processor] {
            processor->StartTimer(20);
            delete processor;
        }).join();
        PumpFor(100);
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, 0);
}

namespace {

// What the slow processor's TxEmpty did, kept outside it.
struct TTickTrace {
    std::atomic<bool> inside{false};
    std::atomic<int> steps{0};
    int txEmptyEnded = 0;
    int deleteReturned = 0;
    int read = 0;
};

// Its TxEmpty takes a while and reads state of its own; or destroys it.
class TSlowTxEmpty : public TvxCustomDataProcessor {
public:
    TSlowTxEmpty(TTickTrace& trace, bool destroysItself) : trace_(trace), destroysItself_(destroysItself) {}
    ~TSlowTxEmpty() override
    {
        NotifyDestroying();
        state_.reset();
    }
    void TxEmpty(bool&) override
    {
        if (destroysItself_) {
            delete this;
            return;
        }
        trace_.inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        trace_.read = *state_;
        trace_.txEmptyEnded = ++trace_.steps;
    }

private:
    TTickTrace& trace_;
    const bool destroysItself_;
    std::unique_ptr<int> state_ = std::make_unique<int>(7);
};

} // namespace

// Destroyed on another thread while its timer's tick runs on its own, the
// processor waits for the tick to end before its state goes; destroyed by
// its own tick, it goes without the tick touching what is gone.
TEST(ProcessorTimer, DestructionWaitsForATickThatRunsOnTheProcessorsThread)
{
    TTickTrace trace;
    auto* processor = new TSlowTxEmpty(trace, false);
    std::thread destroyer([&] {
        while (!trace.inside)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        delete processor;
        trace.deleteReturned = ++trace.steps;
    });
    processor->StartTimer(1);
    EXPECT_TRUE(Pump([&] { return trace.steps == 2; }, 5000));
    destroyer.join();
    EXPECT_EQ(trace.read, 7);
    EXPECT_LT(trace.txEmptyEnded, trace.deleteReturned);

    QPointer<TSlowTxEmpty> self(new TSlowTxEmpty(trace, true));
    self->StartTimer(1);
    EXPECT_TRUE(Pump([&] { return self.isNull(); }, 5000));
    PumpFor(20);
}
