#include "MainPoll.h"
#include "MainThread.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

// The main thread's loop sleeps watching a duplicate of a pty's slave.
// Another thread turns the duplicate quiet, lets go and closes the slave: the
// master sees the hang-up at once, so no poll of the main thread still held
// the slave. On the main thread, LetGo returns at once.
TEST(MainPoll, AfterLetGoNoPollOfTheMainThreadHoldsAQuietedDescriptor)
{
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const int watched = fcntl(slave, F_DUPFD_CLOEXEC, 0);
    const int quiet = eventfd(0, EFD_CLOEXEC);
    QSocketNotifier notifier(watched, QSocketNotifier::Read);
    MainPoll::Observed();
    QCoreApplication::processEvents();
    ASSERT_TRUE(MainPoll::Observed());

    QEventLoop loop;
    std::atomic<bool> hungUp{false};
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ::dup3(quiet, watched, O_CLOEXEC);
        MainPoll::LetGo();
        ::close(slave);
        pollfd p{master, 0, 0};
        hungUp = ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
        MainThread::Post([&] { loop.quit(); });
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
    other.join();
    EXPECT_TRUE(hungUp);
    MainPoll::LetGo();
    ::close(watched);
    ::close(quiet);
    ::close(master);
}
