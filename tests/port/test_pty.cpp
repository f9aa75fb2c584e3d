// The port layer on real pseudo-terminals: everything a pty can show.
#include "porttest.h"

#include "linux/modemwait_linux.h"

#include <atomic>
#include <cstring>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

using namespace porttest;

namespace {

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = OpenPath(pty.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << SysErrorMessage(GetLastError());
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ov.hEvent = event;
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        CloseHandle(event);
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD wMultiplier = 0, DWORD wConstant = 0)
    {
        COMMTIMEOUTS t{interval, multiplier, constant, wMultiplier, wConstant};
        ASSERT_TRUE(SetCommTimeouts(port, &t));
    }

    Pty pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED ov{};
};

TEST_F(PtyPort, SecondOpenIsRefusedWithAClearTextAndCloseReleasesThePort)
{
    HANDLE second = OpenPath(pty.path);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(SysErrorMessage(GetLastError()).find("busy"), std::string::npos);

    // Another process is kept out too (root bypasses TIOCEXCL, not flock).
    pid_t child = fork();
    if (child == 0) {
        int fd = ::open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);

    ASSERT_TRUE(CloseHandle(port));
    port = OpenPath(pty.path);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST(PtyOpen, MissingDeviceAndNonTtyAreRefused)
{
    EXPECT_EQ(OpenPath("/dev/no-such-serial-port"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(SysErrorMessage(GetLastError()).find("does not exist"), std::string::npos);
    EXPECT_EQ(OpenPath("/dev/null"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(OpenPath("/dev"), INVALID_HANDLE_VALUE); // a directory (a port link's wrong target)
    EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

// With the last descriptors taken, opening fails with its reason instead of
// giving a port that cannot be woken (and whose closing hung), and it leaves
// the device free.
TEST(PtyOpen, OpenWithoutFreeDescriptorsFailsAndLeavesThePortFree)
{
    Pty pty;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> filler;
    for (int fd; (fd = dup(pty.slave)) >= 0;)
        filler.push_back(fd);
    for (int free = 0; free <= 2; ++free) {
        for (int i = 0; i < free; ++i) {
            ::close(filler.back());
            filler.pop_back();
        }
        HANDLE port = OpenPath(pty.path);
        const DWORD error = GetLastError();
        EXPECT_EQ(port, INVALID_HANDLE_VALUE) << free << " free";
        EXPECT_EQ(error, ERROR_TOO_MANY_OPEN_FILES) << free << " free";
        for (int fd; filler.size() < 1000 && (fd = dup(pty.slave)) >= 0;)
            filler.push_back(fd);
    }
    for (int fd : filler)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    HANDLE port = OpenPath(pty.path);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << SysErrorMessage(GetLastError());
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(PtyPort, OpenSetsRawModeAndSettingsRoundTripThroughTermios)
{
    termios tio;
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP));

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 115200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutX = dcb.fInX = 1;
    dcb.XonChar = 0x21;
    dcb.XoffChar = 0x22;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), speed_t(B115200));
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_TRUE(tio.c_iflag & IXOFF);
    EXPECT_EQ(tio.c_cc[VSTART], 0x21);
    EXPECT_EQ(tio.c_cc[VSTOP], 0x22);

    dcb.BaudRate = 250000; // not a standard rate
    dcb.fOutxCtsFlow = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = 0;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, 250000u);
    EXPECT_EQ(back.fOutxCtsFlow, 0u);
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CRTSCTS);
    EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
}

TEST_F(PtyPort, OneAndAHalfStopBitsGoWithFiveDataBitsOnlyAndTwoWithSixToEight)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    termios tio;
    for (auto [size, stop] : {std::pair{BYTE(8), ONE5STOPBITS}, std::pair{BYTE(5), TWOSTOPBITS}}) {
        DCB bad = dcb;
        bad.ByteSize = size;
        bad.StopBits = stop;
        EXPECT_FALSE(SetCommState(port, &bad)) << int(size) << " data bits, stop code " << int(stop);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
        EXPECT_FALSE(tio.c_cflag & CSTOPB); // the line keeps what it had
    }
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    // A pseudo-terminal keeps 8 data bits; what it reports can be set again.
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_TRUE(SetCommState(port, &back));
    back.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &back));
    ASSERT_EQ(tcgetattr(pty.slave, &tio), 0);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
}

TEST_F(PtyPort, InvalidSettingsAreRefused)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    DCB bad = dcb;
    bad.ByteSize = 4;
    EXPECT_FALSE(SetCommState(port, &bad));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    bad = dcb;
    bad.BaudRate = 0;
    EXPECT_FALSE(SetCommState(port, &bad));
    bad = dcb;
    bad.fOutX = 1;
    bad.XonChar = bad.XoffChar = 0x11;
    EXPECT_FALSE(SetCommState(port, &bad));
    // So are a wait mask with unknown bits, which leaves the mask as it was,
    // and a purge of nothing.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    EXPECT_FALSE(SetCommMask(port, EV_RXCHAR | 0x8000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, EV_RXCHAR);
    EXPECT_FALSE(PurgeComm(port, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PtyPort, WriteThatTheDeviceTakesCompletesAtOnce)
{
    const std::string text = "00#00030";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, text.data(), DWORD(text.size()), &written, &ov));
    EXPECT_EQ(written, text.size());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    auto got = pty.Receive(text.size());
    EXPECT_EQ(std::string(got.begin(), got.end()), text);
}

TEST_F(PtyPort, WriteThatOnlyStartsCompletesWhenTheOtherEndReads)
{
    std::vector<uint8_t> big(1 << 20, 'x');
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), &written, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &written, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    big.assign(big.size(), 0); // the layer copied the bytes
    auto got = pty.Receive(1 << 20, 10000);
    EXPECT_EQ(got.size(), size_t(1 << 20));
    EXPECT_EQ(std::count(got.begin(), got.end(), 'x'), 1 << 20);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &written, TRUE));
    EXPECT_EQ(written, DWORD(1 << 20));
}

TEST_F(PtyPort, PendingWriteWithoutEventIsWaitedForAndAbortedByPurge)
{
    std::vector<uint8_t> big(1 << 20, 'w');
    OVERLAPPED plain{}; // no event, as for unwaited sends
    ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), nullptr, &plain));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::thread reader([&] { pty.Receive(1 << 20, 5000); });
    DWORD written = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &plain, &written, TRUE));
    EXPECT_EQ(written, DWORD(1 << 20));
    reader.join();

    ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), nullptr, &plain));
    ASSERT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(port, &plain, &written, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(PtyPort, WriteEndsAtItsTotalTimeoutWithTheBytesItGotOut)
{
    SetTimeouts(0, 0, 0, 0, 100);
    std::vector<uint8_t> big(1 << 20, 'y');
    auto start = std::chrono::steady_clock::now();
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), &written, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &written, TRUE));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(written, DWORD(1 << 20));
    EXPECT_GE(took, std::chrono::milliseconds(95));
    EXPECT_LT(took, std::chrono::milliseconds(2000));
}

TEST_F(PtyPort, ReadWithoutTimeoutsWaitsUntilTheCountIsComplete)
{
    char buffer[10] = {};
    DWORD read = 0;
    ASSERT_FALSE(ReadFile(port, buffer, 10, &read, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    pty.Send("abcd");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &read, FALSE));
    pty.Send("efghij");
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &read, TRUE));
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(std::string(buffer, 10), "abcdefghij");
}

TEST_F(PtyPort, ReadEndsAtItsTotalTimeoutWithWhatCame)
{
    SetTimeouts(0, 0, 100);
    pty.Send("xyz");
    char buffer[10] = {};
    DWORD read = 0;
    auto start = std::chrono::steady_clock::now();
    if (!ReadFile(port, buffer, 10, &read, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &read, TRUE));
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(95));
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(std::string(buffer, 3), "xyz");
}

TEST_F(PtyPort, ReadWithIntervalMaxAndNoTotalsReturnsAtOnce)
{
    SetTimeouts(INFINITE, 0, 0);
    char buffer[10];
    DWORD read = 99;
    ASSERT_TRUE(ReadFile(port, buffer, 10, &read, &ov));
    EXPECT_EQ(read, 0u);
    pty.Send("12345");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 5; }));
    ASSERT_TRUE(ReadFile(port, buffer, 10, &read, &ov));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(InQueue(port), 0u);
}

TEST_F(PtyPort, InputCountIsExactlyWhatArrived)
{
    std::vector<uint8_t> bytes(3000, 7);
    pty.Send(bytes);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 3000; }));
    std::vector<uint8_t> buffer(3000);
    ASSERT_TRUE(ReadFile(port, buffer.data(), 3000, nullptr, &ov));
    EXPECT_EQ(InQueue(port), 0u);
}

TEST_F(PtyPort, All256ByteValuesPassBothWaysUntouched)
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[size_t(i)] = uint8_t(i);
    DWORD count = 0;
    if (!WriteFile(port, all.data(), 256, &count, &ov)) {
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
    }
    EXPECT_EQ(pty.Receive(256), all);

    std::vector<uint8_t> in(256);
    pty.Send(all);
    if (!ReadFile(port, in.data(), 256, &count, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &count, TRUE));
    }
    EXPECT_EQ(count, 256u);
    EXPECT_EQ(in, all);
}

TEST_F(PtyPort, WaitCompletesWithTheMaskOfArrivingBytes)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    pty.Send("!");
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, EV_RXCHAR); // stored before the event was set
    EXPECT_EQ(InQueue(port), 1u);
}

TEST_F(PtyPort, SetCommMaskCompletesAPendingWaitWithAnEmptyMask)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0xDEAD;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_TRUE(SetCommMask(port, 0));
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, 0u);
    DWORD n;
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));

    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov)); // the mask is empty now
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(PtyPort, PulseWakesTheWaiterAndCancelIoStopsTheWaitTouchingItsMask)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    std::atomic<bool> woke{false};
    DWORD mask = 0xDEAD;
    std::thread waiter([&] {
        OVERLAPPED own{};
        own.hEvent = event;
        ASSERT_FALSE(WaitCommEvent(port, &mask, &own));
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        WaitForSingleObject(event, INFINITE);
        woke = true;
        EXPECT_TRUE(CancelIo(port));
        DWORD n;
        EXPECT_FALSE(GetOverlappedResult(port, &own, &n, TRUE));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    });
    while (!woke) {
        PulseEvent(event);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    waiter.join();
    mask = 0x5A5A;
    pty.Send("late");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 4; }));
    EXPECT_EQ(mask, 0x5A5Au); // the cancelled wait no longer writes it
}

TEST_F(PtyPort, CancelIoLeavesOtherThreadsTransfersAlone)
{
    char buffer[4];
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    std::thread([&] { EXPECT_TRUE(CancelIo(port)); }).join();
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    ASSERT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(PtyPort, PurgeDiscardsInputAndAbortsPendingReads)
{
    pty.Send("discard me");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 10; }));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(port), 0u);

    char buffer[4];
    ASSERT_FALSE(ReadFile(port, buffer, 4, nullptr, &ov));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(PurgeComm(port, 0x10));
}

TEST_F(PtyPort, TransmitEmptyFollowsACompletedWrite)
{
    ASSERT_TRUE(SetCommMask(port, EV_TXEMPTY));
    DWORD mask = 0;
    OVERLAPPED waitOv{};
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    waitOv.hEvent = waitEvent;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &waitOv));
    ASSERT_TRUE(WriteFile(port, "x", 1, nullptr, &ov));
    ASSERT_EQ(WaitForSingleObject(waitEvent, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, EV_TXEMPTY);
    CloseHandle(waitEvent);
}

// Each thread remembers the handles it used last; a handle closed by another
// thread is refused all the same, though a pending transfer keeps its event.
TEST_F(PtyPort, AHandleClosedElsewhereIsRefusedWhileItsObjectLivesOn)
{
    char buffer[8];
    ASSERT_FALSE(ReadFile(port, buffer, 8, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(ResetEvent(event));
    std::thread([&] { EXPECT_TRUE(CloseHandle(event)); }).join();
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    ASSERT_TRUE(CancelIo(port));
    HANDLE closed = port;
    ASSERT_TRUE(PurgeComm(closed, PURGE_RXCLEAR));
    std::thread([&] { EXPECT_TRUE(CloseHandle(closed)); }).join();
    port = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(PurgeComm(closed, PURGE_RXCLEAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    event = nullptr;
}

TEST_F(PtyPort, CloseAbortsPendingTransfersBeforeItReturns)
{
    char buffer[8];
    ASSERT_FALSE(ReadFile(port, buffer, 8, nullptr, &ov));
    HANDLE closed = port;
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CloseHandle(closed));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(closed, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(closed, buffer, 8, nullptr, &ov)); // fails at once
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(PtyPort, CloseWakesAWaitOfAnotherThreadWithAbortBeforeItReturns)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    std::atomic<bool> started{false};
    DWORD mask = 0xDEAD;
    OVERLAPPED own{};
    own.hEvent = event;
    std::thread waiter([&] {
        ASSERT_FALSE(WaitCommEvent(port, &mask, &own));
        started = true;
        EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    });
    ASSERT_TRUE(WaitUntil([&] { return started.load(); }));
    HANDLE closed = port;
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(CloseHandle(closed));
    // Completed before CloseHandle returned: status and mask are final now.
    EXPECT_EQ(own.Internal, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(mask, 0u);
    waiter.join();
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(closed, &own, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
}

TEST_F(PtyPort, HangUpEndsThePendingWaitWithAnErrorAndNothingSpins)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    pty.CloseMaster();
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(WaitCommEvent(port, &mask, &ov));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuMs() - before, 50.0);
}

// Nobody reads while the input queue is full, as when the component has no
// receiver; unplugging the device then must still end the wait.
TEST_F(PtyPort, HangUpWithAFullInputQueueEndsThePendingWait)
{
    ASSERT_TRUE(SetupComm(port, 16, 16));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    pty.Send(std::string(100, 'a'));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 16; }));
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(port, &mask, &ov)); // the filling, from the history
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(ProcessCpuMs() - before, 20.0); // the full queue does not spin

    pty.CloseMaster();
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    char buffer[16];
    ASSERT_TRUE(ReadFile(port, buffer, 16, &n, &ov)); // the queue keeps its bytes
    EXPECT_EQ(std::string(buffer, n), std::string(16, 'a'));
}

// The bytes that came before a hang-up are still told and read; after them
// ClearCommError fails like the other calls that need the device.
TEST_F(PtyPort, AfterAHangUpClearCommErrorTellsWhatCameBeforeAndThenFails)
{
    pty.Send("ab");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 2; }));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    pty.CloseMaster();
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    DWORD n = 0;
    ASSERT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));

    DWORD errors = 1;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 2u);
    char buffer[2];
    ASSERT_TRUE(ReadFile(port, buffer, 2, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "ab");
    for (bool withOutput : {true, false}) {
        stat.cbInQue = 7;
        EXPECT_FALSE(withOutput ? ClearCommError(port, &errors, &stat) : ClearCommInputError(port, &errors, &stat));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(stat.cbInQue, 7u); // a failed call leaves the record alone
    }
    EXPECT_FALSE(GetCommModemStatus(port, &mask));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

// Null stripping works on the layer's own queue; the fields the device does
// not hold read back as they were set.
TEST_F(PtyPort, NullStrippingDropsReceivedNulBytesWithoutAnEvent)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fNull = 1;
    dcb.fDsrSensitivity = 1;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.XoffLim = 300;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.fNull, 1u);
    EXPECT_EQ(back.fDsrSensitivity, 1u);
    EXPECT_EQ(back.fAbortOnError, 1u);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 300);

    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    pty.Send(std::string(3, '\0'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov)) << "NUL bytes alone raised " << mask;
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    pty.Send(std::string("a\0b\0\0c", 6));
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, EV_RXCHAR);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 3; }));
    char buffer[3];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, buffer, 3, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), "abc");

    dcb.fNull = 0;
    ASSERT_TRUE(SetCommState(port, &dcb));
    pty.Send(std::string("\0x", 2));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 2; }));
    ASSERT_TRUE(ReadFile(port, buffer, 2, &n, &ov));
    EXPECT_EQ(std::string(buffer, n), std::string("\0x", 2));
}

TEST_F(PtyPort, AnIdlePortWithAPendingWaitUsesNoCpu)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    const double before = ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(ProcessCpuMs() - before, 20.0);
    // Closing completes the wait, which writes `mask`: close while it lives.
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
}

TEST(ModemWaiter, DriverWithoutModemWaitFallsBackAndStopsCleanly)
{
    Pty pty;
    std::atomic<int> calls{0};
    vxport::detail::ModemWaiter waiter(pty.slave, [&] { ++calls; });
    EXPECT_TRUE(waiter.Supported());
    waiter.Want(true); // a pty refuses TIOCMIWAIT
    // The refusal is noted first, so that the port finds it when told; the
    // telling comes a moment later on the waiter's thread.
    ASSERT_TRUE(WaitUntil([&] { return !waiter.Supported() && calls > 0; }));
    waiter.Stop();
    EXPECT_EQ(calls, 1); // told once, so the port starts polling
}

} // namespace

TEST_F(PtyPort, ReadingAFullQueueLetsTheWaitingBytesIn)
{
    ASSERT_TRUE(SetupComm(port, 1024, 1024));
    SetTimeouts(INFINITE, 0, 0); // reads return at once
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    pty.Send(std::string(3000, 'x')); // more than the queue holds
    DWORD errors = 0;
    COMSTAT stat{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (ClearCommError(port, &errors, &stat) && stat.cbInQue < 1024 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(stat.cbInQue, 1024u);
    DWORD mask = 0;
    ASSERT_TRUE(WaitCommEvent(port, &mask, &ov)); // the filling, from the history
    ResetEvent(event);
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov)); // now pending, as the event thread's
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // Let the worker settle in its poll, where a full queue leaves the device out.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::vector<char> buffer(1024);
    OVERLAPPED readOv{};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, buffer.data(), 1024, &n, &readOv));
    EXPECT_EQ(n, 1024u);
    // The bytes still in the kernel must come in now and end the wait.
    EXPECT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
    CloseHandle(port); // the pending wait writes `mask`
    port = INVALID_HANDLE_VALUE;
}

// Emptying the full queue lets the device's bytes in at once; a read that
// asked for more than the queue held must get them, not wait for more.
TEST_F(PtyPort, AReadLargerThanAFullQueueGetsTheBytesWaitingBehindIt)
{
    ASSERT_TRUE(SetupComm(port, 16, 16));
    const std::string sent = "abcdefghijklmnopqrstuvwxyz";
    pty.Send(sent);
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 16; }));
    char buffer[20] = {};
    DWORD n = 0;
    if (!ReadFile(port, buffer, 20, &n, &ov)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(WaitForSingleObject(event, 2000), WAIT_OBJECT_0);
        ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, FALSE));
    }
    EXPECT_EQ(std::string(buffer, n), sent.substr(0, 20));
    EXPECT_EQ(InQueue(port), 6u);
}

// A transfer queued behind another gets its whole total time-out once it is
// the current one; timing it from the call let it expire unsent or unfilled.
TEST_F(PtyPort, QueuedTransfersTimeOutFromWhenTheyBecomeCurrent)
{
    SetTimeouts(0, 0, 600, 0, 600);

    OVERLAPPED first{}, second{};
    char head[10], tail[3];
    ASSERT_FALSE(ReadFile(port, head, sizeof head, nullptr, &first));
    ASSERT_FALSE(ReadFile(port, tail, sizeof tail, nullptr, &second));
    DWORD n = 99;
    ASSERT_TRUE(GetOverlappedResult(port, &first, &n, TRUE)); // its time-out, with nothing
    EXPECT_EQ(n, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.Send("xyz");
    ASSERT_TRUE(GetOverlappedResult(port, &second, &n, TRUE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(tail, 3), "xyz");

    // Writes: the first fills the pty and times out; the second starts then.
    std::vector<uint8_t> big(1 << 20, 'w');
    ASSERT_FALSE(WriteFile(port, big.data(), DWORD(big.size()), nullptr, &first));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WriteFile(port, "tail", 4, nullptr, &second));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(GetOverlappedResult(port, &first, &n, TRUE));
    EXPECT_LT(n, DWORD(1 << 20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string received;
    std::thread reader([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < end &&
               (received.size() < 4 || received.compare(received.size() - 4, 4, "tail") != 0)) {
            auto got = pty.Receive(1 << 16, 20);
            received.append(got.begin(), got.end());
        }
    });
    EXPECT_TRUE(GetOverlappedResult(port, &second, &n, TRUE));
    EXPECT_EQ(n, 4u);
    reader.join();
    ASSERT_GE(received.size(), 4u);
    EXPECT_EQ(received.substr(received.size() - 4), "tail");
}

// Bytes that a pending read has taken from the input queue are not in the
// queue any more: an aborted read hands them over with its error.
TEST_F(PtyPort, AbortedReadsKeepTheBytesTheyAlreadyTook)
{
    // EV_RXCHAR is raised once the layer has taken the bytes, which then
    // went into the pending read, not the queue.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    OVERLAPPED arrival{};
    arrival.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD mask = 0;
    auto Deliver = [&](const char* text) {
        ASSERT_FALSE(WaitCommEvent(port, &mask, &arrival));
        pty.Send(text);
        ASSERT_EQ(WaitForSingleObject(arrival.hEvent, 3000), WAIT_OBJECT_0);
        EXPECT_EQ(InQueue(port), 0u);
    };
    char buffer[10] = {};
    OVERLAPPED pending{};
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &pending));
    Deliver("part");
    ASSERT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &pending, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 4), "part");

    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &pending));
    Deliver("more");
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT));
    EXPECT_FALSE(GetOverlappedResult(port, &pending, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ASSERT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 4), "more");
    CloseHandle(arrival.hEvent);
}

// The thread that waits for a pending WaitCommEvent polls the device itself;
// the port's other transfers, timers and events must go on as with a worker.
TEST_F(PtyPort, AThreadWaitingForTheEventKeepsTheOtherTransfersGoing)
{
    ASSERT_TRUE(SetEventChar(port, '~'));
    ASSERT_TRUE(SetCommMask(port, EV_RXFLAG));
    HANDLE waitEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OVERLAPPED waitOv{};
    waitOv.hEvent = waitEvent;
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &waitOv));
    std::atomic<DWORD> waited{WAIT_FAILED};
    std::thread waiter([&] { waited = WaitForSingleObject(waitEvent, 5000); });

    SetTimeouts(0, 0, 100);
    char buffer[8];
    const auto start = std::chrono::steady_clock::now();
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, nullptr, &ov));
    pty.Send("ab");
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE)); // ends at its time-out
    EXPECT_EQ(std::string(buffer, n), "ab");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    ASSERT_TRUE(WriteFile(port, "out", 3, nullptr, &ov));
    EXPECT_EQ(pty.Receive(3), std::vector<uint8_t>({'o', 'u', 't'}));
    EXPECT_EQ(waited.load(), DWORD(WAIT_FAILED)); // no flag character came

    pty.Send("x~");
    waiter.join();
    EXPECT_EQ(waited.load(), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(mask, DWORD(EV_RXFLAG));

    // A SetEvent of somebody else releases a polling waiter as well.
    ASSERT_FALSE(WaitCommEvent(port, &mask, &waitOv));
    std::thread second([&] { waited = WaitForSingleObject(waitEvent, 5000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(waitEvent);
    second.join();
    EXPECT_EQ(waited.load(), DWORD(WAIT_OBJECT_0));
    CloseHandle(port); // completes the wait that still writes `mask`
    port = INVALID_HANDLE_VALUE;
    CloseHandle(waitEvent);
}

TEST(PtyClose, CloseWhileAnotherThreadWaitsReleasesEveryDescriptorBeforeItReturns)
{
    Pty pty;
    auto descriptors = [] {
        int count = 0;
        for (int fd = 0; fd < 1024; ++fd)
            count += fcntl(fd, F_GETFD) != -1;
        return count;
    };
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const int before = descriptors();
    for (int round = 0; round < 200; ++round) {
        HANDLE port = OpenPath(pty.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
        std::thread waiter([&] { WaitForSingleObject(event, 5000); });
        if (round % 2)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_TRUE(CloseHandle(port));
        ASSERT_EQ(descriptors(), before) << "round " << round;
        waiter.join();
    }
    CloseHandle(event);
}

// A thread that asks for its transfer's result while another closes the port
// gets the abort; taking the handle for gone while the record was still to be
// written let the caller free a record that the close then wrote.
TEST(PtyClose, AResultAskedForDuringTheCloseIsTheAbort)
{
    Pty pty;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int round = 0; round < 30; ++round) {
        HANDLE port = OpenPath(pty.path);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        OVERLAPPED ov{};
        ov.hEvent = event;
        char buffer[8];
        ASSERT_FALSE(ReadFile(port, buffer, 8, nullptr, &ov));
        // Resizing a big input queue keeps the port busy, and the close waits.
        // The pause lets the waiters in: a lock is not fair, and under a
        // thread checker a resize takes long enough to starve them for good.
        std::atomic<bool> closed{false};
        std::thread busy([&] {
            for (int k = 0; !closed && SetupComm(port, k++ % 2 ? 16 : 16u << 20, 16);)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        });
        // Two threads close it; the one that succeeds may reopen at once.
        std::atomic<int> closes{0};
        auto close = [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            if (!CloseHandle(port))
                return;
            ++closes;
            closed = true;
            HANDLE again = OpenPath(pty.path);
            EXPECT_NE(again, INVALID_HANDLE_VALUE) << SysErrorMessage(GetLastError());
            CloseHandle(again);
        };
        std::thread closer(close), secondCloser(close);
        DWORD n = 0;
        while (!GetOverlappedResult(port, &ov, &n, FALSE) && GetLastError() == ERROR_IO_INCOMPLETE) {
        }
        const DWORD error = GetLastError();
        const DWORD status = std::atomic_ref<DWORD>(ov.Internal).load();
        closer.join();
        secondCloser.join();
        busy.join();
        EXPECT_EQ(closes, 1);
        ASSERT_EQ(error, ERROR_OPERATION_ABORTED) << "round " << round;
        ASSERT_EQ(status, ERROR_OPERATION_ABORTED) << "round " << round;
    }
    CloseHandle(event);
}

// After a thread polled the device while waiting for an event, the port must
// still serve a wait whose caller waits in any other way.
TEST_F(PtyPort, AWaitIsServedHoweverItsCallerWaitsAfterAPollingWaiterLeft)
{
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    DWORD mask = 0;
    char buffer[8];
    DWORD n = 0;
    auto pollingWait = [&] {
        ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
        pty.Send("a");
        ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
        ASSERT_TRUE(ReadFile(port, buffer, InQueue(port), &n, nullptr));
    };

    pollingWait();
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    pty.Send("b");
    EXPECT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
    ASSERT_TRUE(ReadFile(port, buffer, InQueue(port), &n, nullptr));

    pollingWait();
    std::thread late([&] { std::this_thread::sleep_for(std::chrono::milliseconds(10)), pty.Send("c"); });
    mask = 0;
    EXPECT_TRUE(WaitCommEvent(port, &mask, nullptr)); // synchronous
    late.join();
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
    ASSERT_TRUE(ReadFile(port, buffer, InQueue(port), &n, nullptr));

    pollingWait();
    OVERLAPPED noEvent{};
    mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &noEvent));
    pty.Send("d");
    constexpr DWORD kStatusPending = 0x103;
    EXPECT_TRUE(WaitUntil([&] { return std::atomic_ref(noEvent.Internal).load() != kStatusPending; }));
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
}

// A thread blocked on a transfer's result while another thread polls for its
// own event is served at once when that one leaves, not at the worker's next
// look, which comes up to a second later once the polling waiter was there
// for a while.
TEST_F(PtyPort, AResultWaitedForIsServedAtOnceWhenThePollingWaiterLeaves)
{
    using namespace std::chrono;
    for (int round = 0; round < 4; ++round) {
        ASSERT_TRUE(SetCommMask(port, 0)); // forgets the last round's bytes
        ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
        DWORD mask = 0;
        ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
        std::thread poller([&] { WaitForSingleObject(event, INFINITE); });
        // The worker looks rarely now: its looks came at 50, 150, 350, 750
        // and 1550 ms, and the next comes a second later.
        std::this_thread::sleep_for(milliseconds(1600));

        OVERLAPPED readOv{};
        char buffer[10];
        ASSERT_FALSE(ReadFile(port, buffer, 10, nullptr, &readOv));
        std::atomic<steady_clock::rep> doneAt{0};
        DWORD n = 0;
        std::thread reader([&] {
            EXPECT_TRUE(GetOverlappedResult(port, &readOv, &n, TRUE));
            doneAt = steady_clock::now().time_since_epoch().count();
        });
        std::this_thread::sleep_for(milliseconds(20));
        pty.Send("12345"); // ends the polling wait
        poller.join();
        const auto sentAt = steady_clock::now();
        pty.Send("67890");
        reader.join();
        EXPECT_EQ(n, 10u);
        PurgeComm(port, PURGE_RXCLEAR);
        // Served at the worker's next look, it would wait some 900 ms; a
        // busy machine takes a few hundred to wake the reader.
        EXPECT_LT(steady_clock::time_point(steady_clock::duration(doneAt.load())) - sentAt, milliseconds(600))
            << "round " << round;
    }
}

// The watch's own read on a tty: the event character still raises
// EV_RXFLAG, and bytes that a pending read was waiting for are its own; the
// watch's read gets what is left, in order.
TEST_F(PtyPort, TheWatchedReadKeepsRxFlagAndLeavesAPendingReadItsBytes)
{
    ASSERT_TRUE(SetEventChar(port, '!'));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RXFLAG));
    ASSERT_TRUE(SetCommInputWatched(port, TRUE));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    pty.Send("ab!");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 3; }));
    char buffer[8];
    DWORD n = 0, errors = 1;
    COMSTAT stat{};
    ASSERT_TRUE(ReadCommInput(port, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(std::string(buffer, n), "ab!");
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RXFLAG));

    OVERLAPPED rov{};
    char pending[2];
    ASSERT_FALSE(ReadFile(port, pending, 2, &n, &rov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(ReadCommInput(port, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(n, 0u);
    pty.Send("xyz");
    ASSERT_TRUE(GetOverlappedResult(port, &rov, &n, TRUE));
    EXPECT_EQ(std::string(pending, n), "xy");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 1; }));
    ASSERT_TRUE(ReadCommInput(port, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(std::string(buffer, n), "z");
}

// A caller that watches the input itself: the bytes stay in the device, where
// its epoll set sees them, and raise no EV_RXCHAR; they are counted and read
// as ever, a pending read is fed, other input events still complete the wait,
// and the set forgets the device when the port closes. Unwatched again, the
// layer announces the input as before.
TEST_F(PtyPort, WatchedInputStaysInTheDeviceUntilAReadTakesIt)
{
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    ASSERT_GE(epollFd, 0);
    auto ready = [&] {
        epoll_event ev{};
        return epoll_wait(epollFd, &ev, 1, 0) > 0;
    };
    ASSERT_TRUE(SetEventChar(port, '!'));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RXFLAG));
    ASSERT_TRUE(AddCommInputToEpoll(port, epollFd));
    ASSERT_TRUE(SetCommInputWatched(port, TRUE));
    DWORD mask = 0;
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    pty.Send("abc");
    ASSERT_TRUE(WaitUntil(ready));
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    EXPECT_EQ(InQueue(port), 3u);
    char buffer[8];
    DWORD n = 0;
    OVERLAPPED rov{};
    ASSERT_TRUE(ReadFile(port, buffer, 3, &n, &rov));
    EXPECT_EQ(std::string(buffer, n), "abc");
    EXPECT_FALSE(ready());

    pty.Send("x!");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(port) == 2; }));
    ASSERT_TRUE(ReadFile(port, buffer, 2, &n, &rov));
    EXPECT_EQ(std::string(buffer, n), "x!");
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RXFLAG));

    ASSERT_FALSE(ReadFile(port, buffer, 4, &n, &rov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    pty.Send("wxyz");
    ASSERT_TRUE(GetOverlappedResult(port, &rov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "wxyz");

    // Ending the watch: bytes the caller counted and left raise no event,
    // others do, and later ones do as without a watch.
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    // First, taken in at once by the caller: no event; the queue is counted
    // alone, and what comes after it still shows to the watch.
    pty.Send("tu");
    ASSERT_TRUE(WaitUntil(ready));
    DWORD errors = 1;
    COMSTAT taken{};
    ASSERT_TRUE(TakeCommInput(port, &errors, &taken));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(taken.cbInQue, 2u);
    EXPECT_FALSE(ready());
    pty.Send("v");
    ASSERT_TRUE(WaitUntil(ready));
    EXPECT_EQ(InQueue(port), 2u);
    ASSERT_TRUE(ReadFile(port, buffer, 3, &n, &rov));
    EXPECT_EQ(std::string(buffer, n), "tuv");
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    pty.Send("q");
    ASSERT_TRUE(WaitUntil(ready));
    EXPECT_EQ(InQueue(port), 1u);
    ASSERT_TRUE(SetCommInputWatched(port, FALSE));
    EXPECT_EQ(WaitForSingleObject(event, 100), WAIT_TIMEOUT);
    pty.Send("r");
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));
    EXPECT_EQ(InQueue(port), 2u);
    ASSERT_TRUE(SetCommInputWatched(port, TRUE));
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    pty.Send("s");
    ASSERT_TRUE(WaitUntil(ready));
    ASSERT_TRUE(SetCommInputWatched(port, FALSE));
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RXCHAR));

    ASSERT_TRUE(ReadFile(port, buffer, 3, &n, &rov));
    EXPECT_EQ(std::string(buffer, n), "qrs");
    ASSERT_TRUE(SetupComm(port, 10, 64));
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR | EV_RX80FULL));
    ASSERT_TRUE(SetCommInputWatched(port, TRUE));
    ASSERT_FALSE(WaitCommEvent(port, &mask, &ov));
    pty.Send("12345678");
    ASSERT_TRUE(WaitUntil(ready));
    EXPECT_EQ(InQueue(port), 8u); // what a read would find fills the queue
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(mask, DWORD(EV_RX80FULL));
    CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(ready());
    ::close(epollFd);
}

namespace {

// Another thread's event loop: it polls a watch descriptor and a wake-up of
// its own. LetGo wakes it and waits until the poll it is in has returned.
struct LoopThread {
    static inline int wake = -1;
    static inline std::atomic<unsigned> polls{0}; // odd while it polls
    static inline std::atomic<int> letGos{0};
    static void LetGo()
    {
        ++letGos;
        const unsigned seen = polls.load();
        uint64_t one = 1;
        if ((seen & 1) != 0 && ::write(wake, &one, sizeof one) == sizeof one)
            while (polls.load() == seen)
                std::this_thread::yield();
    }
};

} // namespace

// A descriptor of the input for another thread's loop: ready while input
// waits; when the port closes it goes quiet, the loop's poll is waited out,
// and the device is released before CloseHandle returns (the master sees the
// hang-up). The number stays the caller's until it ends the watch.
TEST_F(PtyPort, AWatchDescriptorGoesQuietAndTheDeviceIsReleasedInTheClose)
{
    ::close(std::exchange(pty.slave, -1));
    ASSERT_TRUE(SetCommInputWatched(port, TRUE));
    const int fd = OpenCommInputWatch(port, LoopThread::LetGo);
    ASSERT_GE(fd, 0);
    auto ready = [fd] {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    };
    pty.Send("a");
    ASSERT_TRUE(WaitUntil(ready));
    char byte = 0;
    DWORD n = 0;
    OVERLAPPED rov{};
    ASSERT_TRUE(ReadFile(port, &byte, 1, &n, &rov));
    EXPECT_FALSE(ready());

    LoopThread::wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> stop{false};
    std::thread loop([&] {
        while (!stop) {
            pollfd p[2] = {{fd, POLLIN, 0}, {LoopThread::wake, POLLIN, 0}};
            ++LoopThread::polls;
            ::poll(p, 2, -1);
            ++LoopThread::polls;
            uint64_t count = 0;
            [[maybe_unused]] auto r = ::read(LoopThread::wake, &count, sizeof count);
        }
    });
    ASSERT_TRUE(WaitUntil([] { return LoopThread::polls.load() % 2 == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    pollfd master{pty.master, 0, 0};
    ::poll(&master, 1, 0);
    EXPECT_TRUE(master.revents & POLLHUP);
    EXPECT_EQ(LoopThread::letGos.load(), 1);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    EXPECT_FALSE(ready());

    stop = true;
    LoopThread::LetGo();
    loop.join();
    CloseCommInputWatch(fd);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    ::close(LoopThread::wake);
}
