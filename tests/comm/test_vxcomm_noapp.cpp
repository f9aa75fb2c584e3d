// The serial component in a program without a Qt application object, or
// whose application object goes while a port stays open.
#include "commtest.h"

using namespace commtest;

// Bytes that were handed to the main thread when its application object went
// are delivered then; later bytes reach the handler on the message thread.
TEST(CommWithoutApplication, ApplicationObjectGoesWhileThePortIsOpen)
{
    PtyPort port(3);
    std::mutex mutex;
    std::string got;
    TvxComm rs;
    rs.SetComPortNo(3);
    rs.OnAfterReceive = [&](TObject*, void* buffer, uint32_t count) {
        std::lock_guard lock(mutex);
        got.append(static_cast<const char*>(buffer), count);
    };
    auto received = [&](size_t n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (got.size() >= n || std::chrono::steady_clock::now() > end)
                    return got;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    {
        int argc = 1;
        char name[] = "test";
        char* argv[] = {name, nullptr};
        QCoreApplication application(argc, argv);
        rs.SetActive(true);
        port.Write("ab");
        EXPECT_TRUE(Pump([&] { return received(0).size() == 2; }));
        port.Write("cd"); // handed to the main thread, whose event loop does not run again
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(received(4), "abcd");
    port.Write("ef");
    EXPECT_EQ(received(6), "abcdef");
    rs.SetActive(false);
}
