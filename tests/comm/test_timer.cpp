#include "Exceptions.h"
#include "vxclasses_medium.h"

#include <QElapsedTimer>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace {

struct TTickCounter {
    int ticks = 0;
    qint64 firstTick = -1;
    QElapsedTimer clock;
    TTickCounter() { clock.start(); }
    TNotifyEvent Handler()
    {
        return TNotifyEvent(
            [this](QObject*) {
                if (firstTick < 0)
                    firstTick = clock.elapsed();
                ++ticks;
            },
            this);
    }
};

} // namespace

TEST(Timer, ConstructedEnabledWithOneSecondAndSilent)
{
    TvxTimer timer;
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval, 1000u);
    EXPECT_FALSE(timer.Running()); // no handler yet
}

TEST(Timer, IntervalZeroDisabledOrWithoutHandlerNeverTicks)
{
    TTickCounter zero, disabled, noHandler;
    TvxTimer a;
    a.Interval = 0;
    a.SetOnTimer(zero.Handler());
    TvxTimer b;
    b.Interval = 10;
    b.SetEnabled(false);
    b.SetOnTimer(disabled.Handler());
    TvxTimer c;
    c.Interval = 10;
    c.UpdateTimer();
    ProcessEventsFor(150);
    EXPECT_EQ(zero.ticks, 0);
    EXPECT_EQ(disabled.ticks, 0);
    EXPECT_FALSE(c.Running());
}

TEST(Timer, TicksWithTheTimerAsSender)
{
    TvxTimer timer;
    timer.Interval = 10;
    QObject* sender = nullptr;
    int ticks = 0;
    timer.SetOnTimer([&](QObject* s) {
        sender = s;
        ++ticks;
    });
    EXPECT_TRUE(ProcessEventsUntil([&] { return ticks >= 3; }, 3000));
    EXPECT_EQ(sender, &timer);
}

TEST(Timer, SetEnabledWithTheSameValueDoesNotRestartTheInterval)
{
    TTickCounter counter;
    TvxTimer timer;
    timer.Interval = 1000;
    timer.SetOnTimer(counter.Handler());
    ProcessEventsUntil([&] { return counter.clock.elapsed() >= 600; }, 3000);
    const qint64 enabledAt = counter.clock.elapsed();
    timer.SetEnabled(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return counter.ticks > 0; }, 5000));
    // Due at 1000; a restart would put it a whole interval after enabledAt
    // (1600 or later), which leaves a busy machine 600 ms for a late tick.
    EXPECT_LT(counter.firstTick, enabledAt + 1000);
}

TEST(Timer, DisablingAndEnablingRestartsTheInterval)
{
    TTickCounter counter;
    TvxTimer timer;
    timer.Interval = 400;
    timer.SetOnTimer(counter.Handler());
    ProcessEventsUntil([&] { return counter.clock.elapsed() >= 250; }, 1000);
    timer.SetEnabled(false);
    timer.SetEnabled(true);
    ASSERT_TRUE(ProcessEventsUntil([&] { return counter.ticks > 0; }, 3000));
    EXPECT_GE(counter.firstTick, 640);
}

TEST(Timer, AnErrorInTheHandlerDoesNotStopLaterTicks)
{
    TvxTimer timer;
    timer.Interval = 10;
    int ticks = 0;
    timer.SetOnTimer([&](QObject*) {
        ++ticks;
        throw Exception("tick failed");
    });
    EXPECT_TRUE(ProcessEventsUntil([&] { return ticks >= 3; }, 3000));
}

TEST(Timer, TwoTimersTickIndependently)
{
    TTickCounter fast, slow;
    TvxTimer a, b;
    EXPECT_NE(a.WindowHandle(), b.WindowHandle());
    a.Interval = 20;
    b.Interval = 20;
    a.SetOnTimer(fast.Handler());
    b.SetOnTimer(slow.Handler());
    ASSERT_TRUE(ProcessEventsUntil([&] { return fast.ticks >= 2 && slow.ticks >= 2; }, 3000));
    b.SetEnabled(false);
    const int slowTicks = slow.ticks;
    const int fastTicks = fast.ticks;
    ASSERT_TRUE(ProcessEventsUntil([&] { return fast.ticks >= fastTicks + 3; }, 3000));
    EXPECT_EQ(slow.ticks, slowTicks);
}

TEST(Timer, DestroyedTimerTicksNoMore)
{
    int ticks = 0;
    auto timer = std::make_unique<TvxTimer>();
    timer->Interval = 5;
    timer->SetOnTimer([&](QObject*) { ++ticks; });
    ASSERT_TRUE(ProcessEventsUntil([&] { return ticks > 0; }, 3000));
    timer.reset();
    const int before = ticks;
    ProcessEventsFor(60);
    EXPECT_EQ(ticks, before);
}

TEST(Timer, TicksOnTheThreadThatCreatedIt)
{
    // The timer lives and dies on a worker thread that runs its own event loop.
    class TTimerThread : public QThread {
    public:
        std::atomic<int> ticks{0};
        std::atomic<bool> onThisThread{true};

    protected:
        void run() override
        {
            TvxTimer timer;
            timer.Interval = 10;
            timer.SetOnTimer([this](QObject*) {
                if (QThread::currentThread() != this)
                    onThisThread = false;
                ++ticks;
            });
            exec();
        }
    };
    TTimerThread worker;
    worker.start();
    QElapsedTimer clock;
    clock.start();
    while (worker.ticks < 3 && clock.elapsed() < 3000)
        QThread::msleep(5);
    worker.quit();
    worker.wait();
    EXPECT_GE(worker.ticks.load(), 3);
    EXPECT_TRUE(worker.onThisThread);
}

// A handler that restarts the timer and runs the event loop sees the next
// tick inside it, and the timer goes on after it.
TEST(Timer, AHandlerThatRunsTheEventLoopTicksAgainInsideIt)
{
    TvxTimer timer;
    timer.Interval = 5;
    int ticks = 0;
    int nested = 0;
    int depth = 0;
    timer.SetOnTimer([&](QObject*) {
        ++ticks;
        nested += depth;
        if (ticks != 1)
            return;
        ++depth;
        timer.SetEnabled(false);
        timer.SetEnabled(true);
        ProcessEventsUntil([&] { return ticks >= 3; }, 3000);
        --depth;
    });
    EXPECT_TRUE(ProcessEventsUntil([&] { return ticks >= 4; }, 3000));
    EXPECT_GE(nested, 2);
}
