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
