// Port-name and file functions over a pseudo-terminal that the per-user port
// map names COM1 (the test's own XDG_CONFIG_HOME).
#include "vxsysutils.h"

#include "porttest.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;
using namespace vxport;
using porttest::Pty;

namespace {

class SysUtils : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::path(std::getenv("XDG_CONFIG_HOME")) / "vxcomm" / "ports";
        fs::create_directories(folder);
        fs::remove(folder / "com1");
        fs::create_symlink(pty.path, folder / "com1");
        port = OpenComPort(1);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << LastErrorText();
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        CloseHandle(port);
        CloseHandle(ov.hEvent);
        fs::remove(folder / "com1");
    }
    // Fills the pty until a write no longer completes at once.
    void FillOutput()
    {
        std::vector<uint8_t> block(1 << 16, 'f');
        DWORD n;
        for (int i = 0; i < 64 && WriteFile(port, block.data(), DWORD(block.size()), &n, &fillOv); ++i) {
        }
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    }

    Pty pty;
    fs::path folder;
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    OVERLAPPED fillOv{};
};

TEST(ComPortNames, AreComAndTheNumber)
{
    EXPECT_EQ(ComPortName(1), "COM1");
    EXPECT_EQ(ComPortName(3), "COM3");
    EXPECT_EQ(ComPortName(12), "COM12");
}

TEST_F(SysUtils, OpeningAPortThatIsOpenFailsWithABusyText)
{
    EXPECT_EQ(OpenComPort(1), INVALID_HANDLE_VALUE);
    EXPECT_NE(LastErrorText().find("busy"), std::string::npos);
}

TEST(SysUtilsOpen, MissingPortFailsWithAnActionableText)
{
    EXPECT_EQ(OpenComPort(7), INVALID_HANDLE_VALUE);
    EXPECT_NE(LastErrorText().find("does not exist"), std::string::npos);
}

TEST_F(SysUtils, WaitedWriteCompletesAtOnceAndClearsTheStatusWords)
{
    ov.Internal = ov.InternalHigh = ov.Offset = ov.OffsetHigh = 0xAAAAAAAA;
    HANDLE event = ov.hEvent;
    ASSERT_TRUE(WriteComWait(port, "00#00030", 8, ov));
    EXPECT_EQ(ov.Offset, 0u);
    EXPECT_EQ(ov.OffsetHigh, 0u);
    EXPECT_EQ(ov.hEvent, event);
    auto got = pty.Receive(8);
    EXPECT_EQ(std::string(got.begin(), got.end()), "00#00030");
}

TEST_F(SysUtils, WaitedWriteWaitsForAFullOutputToDrain)
{
    FillOutput();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        while (!done)
            pty.Receive(1 << 16, 10);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WriteComWait(port, "end", 3, ov));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    done = true;
    reader.join();
}

TEST_F(SysUtils, UnwaitedWriteOnlyStartsTheTransfer)
{
    FillOutput();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(WriteComNoWait(port, "tail", 4, ov));
    // Nobody drains the output: a write that waited would never return.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
}

TEST_F(SysUtils, WaitedReadWaitsForTheBytes)
{
    std::thread feeder([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send("#reply$");
    });
    char buffer[7] = {};
    EXPECT_TRUE(ReadComWait(port, buffer, 7, ov));
    EXPECT_EQ(std::string(buffer, 7), "#reply$");
    feeder.join();
}

TEST_F(SysUtils, TransferThatFailsAtOnceReturnsFalseWithoutWaiting)
{
    char buffer[4];
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ReadComWait(INVALID_HANDLE_VALUE, buffer, 4, ov));
    EXPECT_FALSE(WriteComWait(INVALID_HANDLE_VALUE, "x", 1, ov));
    EXPECT_FALSE(WriteComNoWait(INVALID_HANDLE_VALUE, "x", 1, ov));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000)); // a wait would be endless

    DWORD count = 0, error = 0;
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WaitOverlappedResult(port, ov, count, error));
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
}

TEST_F(SysUtils, CancelComIoEndsThisThreadsPendingRead)
{
    char buffer[4];
    ClearOverlapped(ov);
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    EXPECT_TRUE(CancelComIo(port));
    DWORD count = 0, error = 0;
    SetLastError(ERROR_IO_PENDING);
    EXPECT_FALSE(WaitOverlappedResult(port, ov, count, error));
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

} // namespace
