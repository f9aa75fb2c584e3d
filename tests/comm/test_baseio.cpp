#include "Application.h"
#include "Exceptions.h"
#include "vxclasses_medium.h"

#include <QLineEdit>
#include <QPointer>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

struct TMessages {
    struct TShown {
        std::string text, caption;
        Application::MessageIcon icon;
    };
    std::vector<TShown> shown;
    Application::MessagePresenter previous;
    TMessages()
    {
        previous = Application::SetMessagePresenter(
            [this](const std::string& text, const std::string& caption, Application::MessageIcon icon) {
                shown.push_back({text, caption, icon});
            });
    }
    ~TMessages() { Application::SetMessagePresenter(previous); }
};

struct TNotifyHost {
    std::vector<std::pair<QObject*, int32_t>> calls;
    void HandleNotify(QObject* Sender, int32_t Kind) { calls.emplace_back(Sender, Kind); }
};

} // namespace

// ---- Activation -------------------------------------------------------------------

TEST(BaseIOActivation, ActiveWhileLoadingOpensNothingAndLoadedOpens)
{
    QObject owner;
    TLayoutReading reading(&owner);
    auto* io = new TTestMedium(&owner);
    ASSERT_TRUE(io->setProperty("Active", true));
    EXPECT_EQ(io->opens, 0);
    EXPECT_FALSE(io->IsOpen());
    EXPECT_TRUE(io->Active()); // reports what it was given
    reading.Finish();
    EXPECT_EQ(io->opens, 1);
    EXPECT_TRUE(io->IsOpen());
    EXPECT_TRUE(io->Active());
}

TEST(BaseIOActivation, ActiveTrueTwiceOpensOnce)
{
    TTestMedium io;
    int opened = 0;
    io.OnOpen = [&](QObject* sender) {
        EXPECT_EQ(sender, &io);
        ++opened;
    };
    io.SetActive(true);
    const vxport::HANDLE first = io.Handle();
    io.SetActive(true);
    EXPECT_EQ(io.opens, 1);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(io.Handle(), first);
}

TEST(BaseIOActivation, ActiveFalseOnClosedFiresNoOnClose)
{
    TTestMedium io;
    int closed = 0;
    io.OnClose = [&](QObject*) { ++closed; };
    io.SetActive(false);
    EXPECT_EQ(closed, 0);
    io.SetActive(true);
    io.SetActive(false);
    io.SetActive(false);
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(io.Handle(), vxport::INVALID_HANDLE_VALUE);
}

TEST(BaseIOActivation, CloseClosesTheHandle)
{
    TTestMedium io;
    io.SetActive(true);
    const vxport::HANDLE handle = io.Handle();
    io.SetActive(false);
    EXPECT_EQ(vxport::CloseHandle(handle), vxport::FALSE); // already closed by the component
}

TEST(BaseIOActivation, FailingOpenHandleFiresNoOnOpenAndStartsNoThread)
{
    TTestMedium io;
    io.failOpen = true;
    io.UseThread = true;
    bool opened = false;
    io.OnOpen = [&](QObject*) { opened = true; };
    io.SetActive(true);
    EXPECT_EQ(io.opens, 1);
    EXPECT_FALSE(opened);
    EXPECT_FALSE(io.Active());
    EXPECT_EQ(io.Thread, nullptr);
}

TEST(BaseIOActivation, ErrorsOfOnOpenAndOnCloseAreDiscardedAfterTheChange)
{
    TTestMedium io;
    io.OnOpen = [](QObject*) { throw Exception("open handler"); };
    io.OnClose = [](QObject*) { throw Exception("close handler"); };
    EXPECT_NO_THROW(io.SetActive(true));
    EXPECT_TRUE(io.IsOpen());
    EXPECT_NO_THROW(io.SetActive(false));
    EXPECT_FALSE(io.IsOpen());
}

TEST(BaseIOActivation, FailedActivationInLoadedShowsErrorAndKeepsClosed)
{
    TMessages messages;
    QObject owner;
    TTestMedium* io;
    {
        TLayoutReading reading(&owner);
        io = new TTestMedium(&owner);
        io->throwOnOpen = true;
        io->SetActive(true);
        EXPECT_NO_THROW(reading.Finish());
    }
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "error");
    EXPECT_EQ(messages.shown[0].caption, "Error");
    EXPECT_EQ(messages.shown[0].icon, Application::MessageIcon::Error);
    EXPECT_FALSE(io->Active());
    EXPECT_FALSE(io->IsLoading());
}

TEST(BaseIOActivation, PlainPropertiesAreSetByName)
{
    TTestMedium io;
    EXPECT_TRUE(io.setProperty("TerminalUsage", "tuBoth"));
    EXPECT_EQ(io.TerminalUsage(), tuBoth);
    EXPECT_TRUE(io.setProperty("TerminalUsage", int(tuSend)));
    EXPECT_EQ(io.TerminalUsage(), tuSend);
    EXPECT_TRUE(io.setProperty("TerminalEcho", true));
    EXPECT_TRUE(io.TerminalEcho());
    EXPECT_EQ(io.property("Active").toBool(), false);
}

// ---- Fatal errors and logging --------------------------------------------------------

TEST(BaseIOFatalError, HandlerThatClearsRaiseExceptionStillGetsTheLogLine)
{
    TMessages messages;
    TTestMedium io;
    TvxMemoryLog log;
    io.SetLog(&log);
    std::vector<std::string> seen;
    io.OnFatalError = [&](QObject* sender, uint32_t code, uint32_t detail, const std::string& msg, bool& raise) {
        EXPECT_EQ(sender, &io);
        EXPECT_TRUE(raise);
        seen.push_back(std::to_string(code) + "/" + std::to_string(detail) + "/" + msg);
        raise = false;
    };
    EXPECT_NO_THROW(io.FatalError(1, 2, "msg"));
    EXPECT_NO_THROW(io.FatalError(1, 2, "shown?", true));
    EXPECT_EQ(seen, (std::vector<std::string>{"1/2/msg", "1/2/shown?"}));
    ASSERT_EQ(log.Count(), 2u);
    EXPECT_EQ(log.Entries()[0], (TvxMemoryLog::TEntry{0, "Fatal Error: 1, 2, msg", false}));
    EXPECT_TRUE(messages.shown.empty());
}

TEST(BaseIOFatalError, RaisesTheMessageOrShowsItWithShowOnly)
{
    TMessages messages;
    TTestMedium io;
    try {
        io.FatalError(1, 0, "Device \"COM7\" Open Error !!!");
        FAIL() << "nothing raised";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message, "Device \"COM7\" Open Error !!!");
    }
    EXPECT_NO_THROW(io.FatalError(1, 0, "read failed", true));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "read failed");
}

TEST(BaseIOFatalError, WhileLoadingOnlyTheHandlerAndTheLogHearOfIt)
{
    TMessages messages;
    QObject owner;
    TLayoutReading reading(&owner);
    auto* io = new TTestMedium(&owner);
    TvxMemoryLog log;
    io->SetLog(&log);
    int handled = 0;
    io->OnFatalError = [&](QObject*, uint32_t, uint32_t, const std::string&, bool&) { ++handled; };
    EXPECT_NO_THROW(io->FatalError(1, 0, "during load"));
    EXPECT_NO_THROW(io->FatalError(1, 0, "during load", true));
    EXPECT_EQ(handled, 2);
    EXPECT_EQ(log.Count(), 2u);
    EXPECT_TRUE(messages.shown.empty());
}

TEST(BaseIOLog, PrefixesMessagesAndFormats)
{
    TTestMedium io;
    TvxMemoryLog log;
    io.Log(0, "nobody listens"); // no log linked: nothing happens
    io.SetLog(&log);
    EXPECT_EQ(io.LogPrefix(), "TTestMedium");
    io.SetLogPrefix("vxComm: ");
    io.Log(0, "The port is closed succesfully");
    io.LogFmt(2, "Try to send char %2Xh ...", {uint8_t(5)});
    io.Log(1, "");
    const std::vector<TvxMemoryLog::TEntry> expected{
        {0, "vxComm: The port is closed succesfully", false},
        {2, "vxComm: Try to send char  5h ...", false},
        {0, "", true},
    };
    EXPECT_EQ(log.Entries(), expected);
}

TEST(BaseIOLog, PercentInThePrefixStaysText)
{
    TTestMedium io;
    TvxMemoryLog log;
    io.SetLog(&log);
    io.SetLogPrefix("100% ");
    io.LogFmt(1, "%d", {7});
    EXPECT_EQ(log.Texts(), std::vector<std::string>{"100% 7"});
}

// ---- Notification handlers ------------------------------------------------------------

TEST(BaseIONotify, AddNotifyTwiceRegistersOnce)
{
    TTestMedium io;
    TNotifyHost a, b;
    const int32_t first = io.AddNotify(MakeMethod(&a, &TNotifyHost::HandleNotify));
    EXPECT_EQ(io.AddNotify(MakeMethod(&a, &TNotifyHost::HandleNotify)), first);
    EXPECT_EQ(io.NotifyList.Count(), 1);
    EXPECT_EQ(io.AddNotify(MakeMethod(&b, &TNotifyHost::HandleNotify)), first + 1);
    io.Notify(nkOpened);
    EXPECT_EQ(a.calls, (std::vector<std::pair<QObject*, int32_t>>{{&io, nkOpened}}));
    EXPECT_EQ(b.calls.size(), 1u);
}

TEST(BaseIONotify, RemoveNotifyOfAnUnregisteredHandlerDoesNothing)
{
    TTestMedium io;
    TNotifyHost a, b;
    io.AddNotify(MakeMethod(&a, &TNotifyHost::HandleNotify));
    io.RemoveNotify(MakeMethod(&b, &TNotifyHost::HandleNotify));
    EXPECT_EQ(io.NotifyList.Count(), 1);
    io.RemoveNotify(MakeMethod(&a, &TNotifyHost::HandleNotify));
    io.Notify(nkClosed);
    EXPECT_TRUE(a.calls.empty());
}

TEST(BaseIONotify, BroadcastInOrderAndSafeWhenAHandlerRemovesOthers)
{
    TTestMedium io;
    std::vector<std::string> order;
    TOnNotifyEvent second([&](QObject*, int32_t) { order.push_back("second"); }, &order);
    TOnNotifyEvent first(
        [&](QObject*, int32_t) {
            order.push_back("first");
            io.RemoveNotify(second);
        },
        &io);
    io.AddNotify(first);
    io.AddNotify(second);
    io.AddNotify(TOnNotifyEvent([&](QObject*, int32_t) { order.push_back("third"); }));
    io.Notify(nkDevicesChanged);
    // "second" was removed before its turn and is not called; the broadcast
    // ends at the count it read.
    EXPECT_EQ(order, (std::vector<std::string>{"first", "third"}));
}

TEST(BaseIONotify, NotifyListDeleteOutOfRangeRaises)
{
    TvxNotifyList list;
    EXPECT_THROW(list.Delete(0), ERangeError);
    EXPECT_THROW(list.Get(-1), ERangeError);
    EXPECT_EQ(list.IndexOf(TOnNotifyEvent()), -1);
}

// ---- Receive path -------------------------------------------------------------------------

TEST(BaseIOReceive, ProcessorThenTerminalThenOnAfterReceive)
{
    std::vector<std::string> trace;
    TTestMedium io;
    TTraceProcessor processor(&trace);
    QLineEdit terminal;
    QObject::connect(&terminal, &QLineEdit::textChanged,
                     [&](const QString& text) { trace.push_back("terminal " + text.toStdString()); });
    io.SetDataProcessor(&processor);
    io.SetTerminal(&terminal);
    io.SetTerminalUsage(tuReceive);
    io.OnAfterReceive = [&](QObject* com, void* buffer, uint32_t received) {
        EXPECT_EQ(com, &io);
        trace.push_back("after " + std::string(static_cast<const char*>(buffer), received));
    };
    char bytes[] = "AB";
    EXPECT_FALSE(io.DoAfterReceive(bytes, 2));
    EXPECT_EQ(trace, (std::vector<std::string>{"processor AB", "terminal AB", "after AB"}));

    trace.clear();
    processor.handles = true;
    io.DoAfterReceive(bytes, 2);
    EXPECT_EQ(trace, (std::vector<std::string>{"processor AB", "after AB"}));
    EXPECT_EQ(terminal.text(), "AB");
}

TEST(BaseIOReceive, ErrorOfTheHandlerReachesTheCaller)
{
    TTestMedium io;
    io.OnAfterReceive = [](QObject*, void*, uint32_t) { throw Exception("handler"); };
    char byte = 'x';
    EXPECT_THROW(io.DoAfterReceive(&byte, 1), Exception);
}

TEST(BaseIOReceive, HasReceiverAndDoTxEmpty)
{
    TTestMedium io;
    EXPECT_FALSE(io.HasReceiver());
    EXPECT_FALSE(io.DoTxEmpty());
    TTraceProcessor processor;
    io.SetDataProcessor(&processor);
    EXPECT_TRUE(io.HasReceiver());
    EXPECT_FALSE(io.DoTxEmpty());
    processor.busy = true;
    EXPECT_TRUE(io.DoTxEmpty());
    io.SetDataProcessor(nullptr);
    io.OnAfterReceive = [](QObject*, void*, uint32_t) {};
    EXPECT_TRUE(io.HasReceiver());
}

// ---- Links ------------------------------------------------------------------------------------

TEST(BaseIOLinks, DataProcessorIsAttachedAndDetached)
{
    TTestMedium io;
    TTraceProcessor first, second;
    io.SetDataProcessor(&first);
    EXPECT_EQ(first.io, &io);
    // Another processor takes over the data; the first one stays attached.
    io.SetDataProcessor(&second);
    EXPECT_EQ(first.setIOCalls, std::vector<TvxBaseIO*>{&io});
    EXPECT_EQ(io.GetDataProcessor(), &second);
    io.SetDataProcessor(nullptr);
    EXPECT_EQ(second.setIOCalls, (std::vector<TvxBaseIO*>{&io, nullptr}));
    EXPECT_EQ(io.GetDataProcessor(), nullptr);
}

TEST(BaseIOLinks, DestroyedLogProcessorAndTerminalAreNotTouchedAgain)
{
    TTestMedium io;
    auto* log = new TvxMemoryLog;
    auto* processor = new TTraceProcessor;
    auto* terminal = new QLineEdit;
    io.SetLog(log);
    io.SetDataProcessor(processor);
    io.SetTerminal(terminal);
    io.SetTerminalUsage(tuBoth);
    io.OnFatalError = [](QObject*, uint32_t, uint32_t, const std::string&, bool& raise) { raise = false; };
    delete log;
    delete processor;
    delete terminal;
    EXPECT_EQ(io.GetLog(), nullptr);
    EXPECT_EQ(io.GetDataProcessor(), nullptr);
    EXPECT_EQ(io.GetTerminal(), nullptr);
    EXPECT_TRUE(io.TerminalHandle.isNull());
    // Under ASan any use of the gone objects fails here.
    char bytes[] = "XY";
    io.DoAfterReceive(bytes, 2);
    io.TerminalShow(bytes, 1);
    io.FatalError(1, 0, "after");
    io.Log(0, "after");
    EXPECT_FALSE(io.HasReceiver());
}

TEST(BaseIOLinks, ProcessorMayDetachWhileTheComponentIsDestroyed)
{
    // A processor that, told of the component's removal, detaches from it the
    // way the full processor does: RemoveNotify on the component going away.
    class TDetachingProcessor : public TTraceProcessor {
    public:
        int told = 0;
        void SetIO(TvxBaseIO* IO) override
        {
            if (io)
                io->RemoveNotify(TOnNotifyEvent([](QObject*, int32_t) {}, this));
            TTraceProcessor::SetIO(IO);
            if (IO) {
                IO->AddNotify(TOnNotifyEvent([](QObject*, int32_t) {}, this));
                FreeNotification(IO);
            }
        }

    protected:
        void Notification(QObject* AComponent, TOperation Operation) override
        {
            if (Operation == opRemove && AComponent == io) {
                ++told;
                SetIO(nullptr);
            }
        }
    };
    TDetachingProcessor processor;
    auto* io = new TTestMedium;
    io->SetDataProcessor(&processor);
    EXPECT_EQ(io->NotifyList.Count(), 1);
    delete io;
    EXPECT_EQ(processor.told, 1);
    EXPECT_EQ(processor.io, nullptr);
}

// ---- Worker thread ---------------------------------------------------------------------------

TEST(BaseIOThread, StopThreadsWithoutAThreadOrTwiceDoesNothing)
{
    TTestMedium io;
    io.StopThreads();
    EXPECT_FALSE(io.ThreadStopped);
    std::atomic<int> runs{0};
    io.body = [&](TvxThreadIO* thread) {
        ++runs;
        while (!thread->WaitTerminated(1000)) {
        }
    };
    io.StartThreads();
    io.StopThreads();
    EXPECT_TRUE(io.ThreadStopped);
    EXPECT_EQ(io.Thread, nullptr);
    io.StopThreads();
    EXPECT_EQ(runs.load(), 1);
}

TEST(BaseIOThread, UseThreadRunsTheBodyWhileOpen)
{
    TTestMedium io;
    io.UseThread = true;
    std::atomic<bool> running{false};
    std::atomic<bool> sawOpen{false};
    io.body = [&](TvxThreadIO* thread) {
        running = true;
        sawOpen = io.IsOpen();
        while (!thread->WaitTerminated(1000)) {
        }
        running = false;
    };
    io.SetActive(true);
    ASSERT_NE(io.Thread, nullptr);
    while (!running) {
        QThread::msleep(1);
    }
    io.SetActive(false);
    EXPECT_FALSE(running); // Close waited for the thread
    EXPECT_TRUE(sawOpen);
}

TEST(BaseIOThread, AnErrorInTheBodyEndsOnlyTheThread)
{
    TTestMedium io;
    io.body = [](TvxThreadIO*) { throw Exception("body"); };
    io.StartThreads();
    io.StopThreads();
    EXPECT_TRUE(io.ThreadStopped);
}

TEST(BaseIOThread, OverlappedEventsExistAndSendHasNone)
{
    TTestMedium io;
    EXPECT_NE(io.ReadOverlapped.hEvent, nullptr);
    EXPECT_NE(io.WriteOverlapped.hEvent, nullptr);
    EXPECT_NE(io.ReadOverlapped.hEvent, io.WriteOverlapped.hEvent);
    EXPECT_EQ(io.SendOverlapped.hEvent, nullptr);
    EXPECT_EQ(vxport::SetEvent(io.WriteOverlapped.hEvent), vxport::TRUE);
    EXPECT_EQ(vxport::WaitForSingleObject(io.WriteOverlapped.hEvent, 0), vxport::WAIT_OBJECT_0);
    // Auto-reset: the wait consumed the signal.
    EXPECT_EQ(vxport::WaitForSingleObject(io.WriteOverlapped.hEvent, 0), vxport::WAIT_TIMEOUT);
}
