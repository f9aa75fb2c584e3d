#include "Mailbox.h"

#include <QCoreApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

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
    QCoreApplication::processEvents();
    std::vector<int> upTo60(61);
    std::iota(upTo60.begin(), upTo60.end(), 0);
    EXPECT_EQ(ran, upTo60);
    EXPECT_TRUE(allHere);

    owner = new QObject;
    mail = new TMailbox(owner);
    int late = 0;
    mail->Post([&] { ++late; });
    delete owner;
    QCoreApplication::processEvents();
    EXPECT_EQ(late, 0);
}
