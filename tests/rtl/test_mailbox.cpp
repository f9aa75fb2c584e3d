#include "Mailbox.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

void ProcessEventsFor(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}

} // namespace

// Posted from another thread, the functions run on the owner's thread in the
// order they came; one that destroys the owner ends the rest, and what is
// still queued when the owner goes never runs.
TEST(Mailbox, RunsInOrderOnTheOwnersThreadAndGoesWithTheOwner)
{
    auto* owner = new QObject;
    auto* mail = new TMailbox(owner);
    std::vector<int> ran;
    bool allHere = true;
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            mail->Post([&, i] {
                ran.push_back(i);
                allHere = allHere && QThread::currentThread() == owner->thread();
                if (i == 60)
                    delete owner;
            });
    }).join();
    ProcessEventsFor(50);
    ASSERT_EQ(ran.size(), 61u);
    for (int i = 0; i < 61; ++i)
        EXPECT_EQ(ran[size_t(i)], i);
    EXPECT_TRUE(allHere);

    owner = new QObject;
    mail = new TMailbox(owner);
    int late = 0;
    mail->Post([&] { ++late; });
    delete owner;
    ProcessEventsFor(20);
    EXPECT_EQ(late, 0);
}
