#include "vxport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace vxport;

TEST(Events, AutoResetReleasesOneWaitAndResets)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(e));
}

// A set while still set changes nothing; once a wait has taken the signal,
// or a reset cleared it, the next set signals again and releases a wait.
TEST(Events, SetWhileSetCountsOnceAndSetAfterATakeSignalsAgain)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(e);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    ResetEvent(e);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    for (int round = 0; round < 2; ++round) {
        std::atomic<DWORD> result{WAIT_FAILED};
        std::thread waiter([&] { result = WaitForSingleObject(e, 5000); });
        Sleep(20); // the wait blocks first
        SetEvent(e);
        waiter.join();
        EXPECT_EQ(result, WAIT_OBJECT_0) << round;
    }
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, PulseWithoutWaiterLeavesItUnsignalled)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    PulseEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST(Events, PulseReleasesAPendingWait)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<DWORD> result{WAIT_FAILED};
    std::thread waiter([&] { result = WaitForSingleObject(e, 5000); });
    while (result == WAIT_FAILED) {
        PulseEvent(e);
        Sleep(1);
    }
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    CloseHandle(e);
}

TEST(Handles, StaleHandleIsInvalid)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(e));
    EXPECT_FALSE(CloseHandle(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(INVALID_HANDLE_VALUE, 0), WAIT_FAILED);
}

// Handles used and closed while a thread ends, after its own per-thread
// state has gone: a component that a thread_local or static object destroys
// (the main thread's per-thread state goes before static objects do).
TEST(Handles, UsedWhileTheThreadEnds)
{
    struct Results {
        std::atomic<int> setLive{-1}, closedUsed{-1}, closedLive{-1};
    } results;
    struct AtExit {
        Results* results = nullptr;
        HANDLE used = nullptr, live = nullptr;
        ~AtExit()
        {
            results->setLive = SetEvent(live);
            results->closedUsed = CloseHandle(used);
            results->closedLive = CloseHandle(live);
        }
    };
    std::thread([&results] {
        thread_local AtExit atExit; // made before the thread's first handle lookup, so it goes after
        atExit.results = &results;
        atExit.used = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        atExit.live = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        SetEvent(atExit.used);
        CloseHandle(atExit.used);
    }).join();
    EXPECT_EQ(results.setLive, TRUE);
    EXPECT_EQ(results.closedUsed, FALSE);
    EXPECT_EQ(results.closedLive, TRUE);
}
