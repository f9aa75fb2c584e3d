#include "MainThread.h"
#include "Messages.h"
#include "Exceptions.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

TEST(Synchronize, RunsInTheMainThreadAndWaits)
{
    std::atomic<bool> ranInMain{false};
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        MainThread::Synchronize([&] { ranInMain = MainThread::IsCurrent(); });
        returned = true;
        MainThread::Wake();
    });
    MainThread::WaitUntil([&] { return returned.load(); });
    worker.join();
    EXPECT_TRUE(ranInMain);
}

TEST(Synchronize, ExceptionReachesTheWorker)
{
    std::string message;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        try {
            MainThread::Synchronize([] { throw Exception("from main"); });
        } catch (const Exception& e) {
            message = e.Message;
        }
        finished = true;
        MainThread::Wake();
    });
    MainThread::WaitUntil([&] { return finished.load(); });
    worker.join();
    EXPECT_EQ(message, "from main");
}

TEST(Synchronize, EventLoopRunsRequests)
{
    std::atomic<int> runs{0};
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i)
            MainThread::Synchronize([&] { ++runs; });
        QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); },
                                  Qt::QueuedConnection);
    });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    worker.join();
    EXPECT_EQ(runs, 3);
}

TEST(Synchronize, WithoutWaitingMainThreadJoiningWorkerDoesNotDeadlock)
{
    // The main thread waits for a worker that itself waits for the main thread.
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i)
            MainThread::Synchronize([] {});
        done = true;
        MainThread::Wake();
    });
    MainThread::WaitUntil([&] { return done.load(); });
    worker.join();
    SUCCEED();
}

TEST(Synchronize, RequestsThatKeepComingLeaveTimersTheirTurn)
{
    constexpr int kCap = 1'000'000; // ends the stream should the timer never run
    bool fired = false;
    int runs = 0;
    std::function<void()> again = [&] {
        if (!fired && ++runs < kCap)
            MainThread::Post(again);
    };
    QTimer::singleShot(20, [&] { fired = true; });
    MainThread::Post(again);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!fired && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(fired);
    EXPECT_LT(runs, kCap);
}

TEST(Messages, RegisteredIdentifiersAreStableAndInRange)
{
    const uint32_t a = RegisterWindowMessageA("vxCommMsgComEvent");
    const uint32_t b = RegisterWindowMessageA("vxCommMsgQuitComEvent");
    EXPECT_GE(a, 0xC000u);
    EXPECT_LE(b, 0xFFFFu);
    EXPECT_NE(a, b);
    EXPECT_EQ(RegisterWindowMessageA("VXCOMMMSGCOMEVENT"), a);
    EXPECT_EQ(RegisterWindowMessageA(""), 0u);
}

TEST(Messages, QueueRefusesPostsUntilOpenAndEndsWhenClosed)
{
    TThreadMessageQueue queue;
    EXPECT_FALSE(queue.Post(0xC000, 1, 0));
    queue.Open();
    EXPECT_TRUE(queue.Post(0xC000, 7, 0));
    EXPECT_TRUE(queue.Post(0x0100, 8, 0));
    TMsg msg;
    ASSERT_TRUE(queue.Get(msg, 0xC000, 0xFFFF));
    EXPECT_EQ(msg.wParam, 7u);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        queue.Close();
    });
    EXPECT_FALSE(queue.Get(msg, 0xC000, 0xFFFF)); // the 0x0100 message is out of range
    closer.join();
}
