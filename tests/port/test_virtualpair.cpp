// The port layer on the virtual pair: what a pseudo-terminal cannot show.
#include "porttest.h"
#include "virtualpair.h"

#include <dirent.h>
#include <latch>

using namespace porttest;
namespace vp = vxport::virtualpair;

namespace {

class VirtualPair : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        ASSERT_TRUE(vp::Create(name));
        a = OpenPath(vp::PortName(name, vp::End::A));
        b = OpenPath(vp::PortName(name, vp::End::B));
        ASSERT_NE(a, INVALID_HANDLE_VALUE);
        ASSERT_NE(b, INVALID_HANDLE_VALUE);
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ov.hEvent = event;
    }
    void TearDown() override
    {
        CloseHandle(a);
        CloseHandle(b);
        CloseHandle(event);
        vp::Destroy(name);
    }
    // Starts a wait on A with the mask and returns the events that end it.
    DWORD WaitOnA(DWORD eventMask, const std::function<void()>& cause)
    {
        EXPECT_TRUE(SetCommMask(a, eventMask));
        DWORD happened = 0;
        if (WaitCommEvent(a, &happened, &ov))
            return happened;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        cause();
        if (WaitForSingleObject(event, 3000) != WAIT_OBJECT_0)
            return 0xFFFFFFFF;
        return happened;
    }
    void Send(HANDLE port, const std::string& text)
    {
        OVERLAPPED w{};
        DWORD n = 0;
        if (!WriteFile(port, text.data(), DWORD(text.size()), &n, &w)) {
            ASSERT_TRUE(GetOverlappedResult(port, &w, &n, TRUE));
        }
    }

    std::string name;
    HANDLE a = INVALID_HANDLE_VALUE, b = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED ov{};
};

TEST_F(VirtualPair, EndsOpenOnceAndUnknownPairsDoNotExist)
{
    EXPECT_EQ(OpenPath(vp::PortName(name, vp::End::A)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenPath(vp::PortName("no-such-pair", vp::End::A)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(VirtualPair, AHandleOfTheOtherKindIsInvalid)
{
    EXPECT_FALSE(SetEvent(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_FAILED);
    EXPECT_FALSE(SetCommMask(event, EV_RXCHAR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(event, &errors, nullptr));
    EXPECT_TRUE(SetCommMask(a, EV_RXCHAR)); // both still work as what they are
    EXPECT_TRUE(SetEvent(event));
}

TEST_F(VirtualPair, ModemLinesOfThePeerRaiseTheirEvents)
{
    EXPECT_EQ(WaitOnA(EV_CTS | EV_DSR | EV_RLSD, [&] { EscapeCommFunction(b, CLRRTS); }), EV_CTS);
    EXPECT_EQ(WaitOnA(EV_CTS | EV_DSR | EV_RLSD, [&] { EscapeCommFunction(b, CLRDTR); }), EV_DSR | EV_RLSD);
    DWORD status = 0xFF;
    ASSERT_TRUE(GetCommModemStatus(a, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(WaitOnA(EV_CTS, [&] { EscapeCommFunction(b, SETRTS); }), EV_CTS);
    ASSERT_TRUE(GetCommModemStatus(a, &status));
    EXPECT_EQ(status, MS_CTS_ON);
    EXPECT_EQ(WaitOnA(EV_RING, [&] { vp::SetRing(name, vp::End::A, true); }), EV_RING);
}

TEST_F(VirtualPair, LineErrorsAndBreaksAreReportedOnceByClearCommError)
{
    EXPECT_EQ(WaitOnA(EV_ERR | EV_BREAK, [&] { vp::InjectLineErrors(name, vp::End::A, CE_FRAME); }), EV_ERR);
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(a, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME);
    ASSERT_TRUE(ClearCommError(a, &errors, &stat));
    EXPECT_EQ(errors, 0u);

    EXPECT_EQ(WaitOnA(EV_ERR | EV_BREAK, [&] { EscapeCommFunction(b, SETBREAK); }), EV_BREAK);
    ASSERT_TRUE(ClearCommError(a, &errors, &stat));
    EXPECT_EQ(errors, CE_BREAK);
}

TEST_F(VirtualPair, TheInputSideQueryAnswersLikeClearCommErrorButLeavesTheOutputCountOut)
{
    // Half a second of output: still going when the queries come, on a busy machine too.
    vp::SetTransmitTime(name, vp::End::A, std::chrono::milliseconds(10));
    Send(a, std::string(50, 'z'));
    Send(b, "abc");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(a) == 3; }));
    vp::InjectLineErrors(name, vp::End::A, CE_FRAME);
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommInputError(a, &errors, &stat));
    EXPECT_EQ(errors, DWORD(CE_FRAME));
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_EQ(stat.cbOutQue, 0u);
    ASSERT_TRUE(ClearCommError(a, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_GT(stat.cbOutQue, 0u);
}

// The watch's read takes the device's bytes with the status answer; bytes
// that came with a line error stay for the reads after it, in order.
TEST_F(VirtualPair, TheWatchedReadHandsOverOnlyBytesWithoutALineError)
{
    ASSERT_TRUE(SetCommInputWatched(a, TRUE));
    char buffer[16];
    DWORD n = 9, errors = 9;
    COMSTAT stat{};
    Send(b, "abc");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(a) == 3; }));
    ASSERT_TRUE(ReadCommInput(a, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(std::string(buffer, n), "abc");
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 3u);
    EXPECT_EQ(InQueue(a), 0u);

    Send(b, "de");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(a) == 2; }));
    vp::InjectLineErrors(name, vp::End::A, CE_FRAME);
    ASSERT_TRUE(ReadCommInput(a, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(errors, DWORD(CE_FRAME));
    EXPECT_EQ(stat.cbInQue, 2u);
    ASSERT_TRUE(ReadCommInput(a, buffer, 1, &n, &errors, &stat));
    EXPECT_EQ(std::string(buffer, n), "d");
    EXPECT_EQ(stat.cbInQue, 2u);
    ASSERT_TRUE(ReadCommInput(a, buffer, sizeof buffer, &n, &errors, &stat));
    EXPECT_EQ(std::string(buffer, n), "e");
    EXPECT_EQ(errors, 0u);
    EXPECT_FALSE(ReadCommInput(a, buffer, sizeof buffer, &n, nullptr, &stat));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(VirtualPair, ErrorsAreKeptEvenWhenNotInTheMask)
{
    vp::InjectLineErrors(name, vp::End::A, CE_RXPARITY | CE_OVERRUN | CE_RXOVER);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a, &errors, nullptr));
    EXPECT_EQ(errors, CE_RXPARITY | CE_OVERRUN | CE_RXOVER);
}

// With abort on error a line error ends the transfers under way, and reads
// and writes are refused until ClearCommError has told the error.
TEST_F(VirtualPair, AbortOnErrorHoldsUpTransfersUntilTheErrorIsCleared)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(a, &dcb));
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(a, &dcb));
    char buffer[8];
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(a, buffer, 8, &n, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    vp::InjectLineErrors(name, vp::End::A, CE_FRAME);
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(a, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    Send(b, "cd");
    OVERLAPPED w{};
    EXPECT_FALSE(WriteFile(a, "x", 1, &n, &w));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(ReadFile(a, buffer, 2, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);

    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a, &errors, nullptr));
    EXPECT_EQ(errors, CE_FRAME);
    Send(a, "x");
    if (!ReadFile(a, buffer, 2, &n, &ov)) {
        ASSERT_TRUE(GetOverlappedResult(a, &ov, &n, TRUE));
    }
    EXPECT_EQ(std::string(buffer, n), "cd");
}

TEST_F(VirtualPair, EventCharacterRaisesRxFlag)
{
    ASSERT_TRUE(SetEventChar(a, '$'));
    EXPECT_EQ(WaitOnA(EV_RXFLAG | EV_RXCHAR, [&] { Send(b, "abc"); }), EV_RXCHAR);
    EXPECT_EQ(WaitOnA(EV_RXFLAG | EV_RXCHAR, [&] { Send(b, "de$"); }), EV_RXFLAG | EV_RXCHAR);
}

TEST_F(VirtualPair, Rx80FullComesAtEightyPercentOfTheInputQueue)
{
    ASSERT_TRUE(SetupComm(a, 100, 100));
    ASSERT_TRUE(SetCommMask(a, EV_RX80FULL));
    DWORD happened = 0;
    ASSERT_FALSE(WaitCommEvent(a, &happened, &ov));
    Send(b, std::string(79, 'q'));
    ASSERT_TRUE(WaitUntil([&] { return InQueue(a) == 79; }));
    EXPECT_EQ(WaitForSingleObject(event, 30), WAIT_TIMEOUT);
    Send(b, "q");
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(happened, EV_RX80FULL);
}

TEST_F(VirtualPair, HugeInputQueueIsRefusedAndTheQueueKeepsItsBytes)
{
    ASSERT_TRUE(SetupComm(a, 100, 100));
    Send(b, "kept");
    ASSERT_TRUE(WaitUntil([&] { return InQueue(a) == 4; }));
    EXPECT_FALSE(SetupComm(a, 0xFFFFFFFF, 100));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(InQueue(a), 4u);
    char got[4] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(a, got, 4, &n, &ov));
    EXPECT_EQ(std::string(got, n), "kept");
}

TEST_F(VirtualPair, InputCountNeverExceedsTheQueueAndNothingIsLost)
{
    ASSERT_TRUE(SetupComm(a, 100, 100));
    std::string sent(250, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = char(i);
    Send(b, sent);
    std::string got;
    ASSERT_TRUE(WaitUntil([&] {
        DWORD in = InQueue(a);
        EXPECT_LE(in, 100u);
        std::string chunk(in, '\0');
        if (in && ReadFile(a, chunk.data(), in, nullptr, &ov))
            got += chunk;
        return got.size() == sent.size();
    }));
    EXPECT_EQ(got, sent);
}

TEST_F(VirtualPair, TransmitEmptyWaitsUntilTheOutputHasDrained)
{
    vp::SetTransmitTime(name, vp::End::A, std::chrono::milliseconds(10));
    ASSERT_TRUE(SetCommMask(a, EV_TXEMPTY));
    DWORD happened = 0;
    ASSERT_FALSE(WaitCommEvent(a, &happened, &ov));
    auto start = std::chrono::steady_clock::now();
    Send(a, std::string(50, 'z')); // half a second, so that the count below sees it still going
    COMSTAT stat{};
    DWORD errors;
    ASSERT_TRUE(ClearCommError(a, &errors, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(happened, EV_TXEMPTY);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

TEST_F(VirtualPair, TransmitEmptyFollowsOutputStillDrainingWhenTheMaskAsksForIt)
{
    vp::SetTransmitTime(name, vp::End::A, std::chrono::milliseconds(10));
    ASSERT_TRUE(SetCommMask(a, 0));
    auto start = std::chrono::steady_clock::now();
    Send(a, std::string(50, 'z')); // half a second: still draining when the wait begins
    EXPECT_EQ(WaitOnA(EV_TXEMPTY, [] {}), DWORD(EV_TXEMPTY));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(450));
}

TEST_F(VirtualPair, OutputThatDrainedUnwatchedGivesNoLaterTransmitEmpty)
{
    // 200 ms per round: the count is asked for while the bytes still go out.
    vp::SetTransmitTime(name, vp::End::A, std::chrono::milliseconds(40));
    ASSERT_TRUE(SetCommMask(a, 0));
    COMSTAT stat{};
    DWORD errors = 0;
    for (int round = 0; round < 2; ++round) { // the output queue counts again once it had drained
        Send(a, std::string(5, 'z'));
        ASSERT_TRUE(ClearCommError(a, &errors, &stat));
        EXPECT_GT(stat.cbOutQue, 0u);
        ASSERT_TRUE(WaitUntil([&] { return ClearCommError(a, &errors, &stat) && stat.cbOutQue == 0; }));
    }
    ASSERT_TRUE(SetCommMask(a, EV_TXEMPTY));
    DWORD happened = 0;
    ASSERT_FALSE(WaitCommEvent(a, &happened, &ov));
    EXPECT_EQ(WaitForSingleObject(event, 150), WAIT_TIMEOUT);
    EXPECT_TRUE(SetCommMask(a, 0)); // ends the wait while `happened` still exists
}

TEST_F(VirtualPair, RtsToggleRaisesRtsOnlyWhileTransmitting)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(a, &dcb));
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    ASSERT_TRUE(SetCommState(a, &dcb));
    EXPECT_EQ(vp::DrivenLines(name, vp::End::A) & MS_CTS_ON, 0u);
    vp::SetTransmitTime(name, vp::End::A, std::chrono::milliseconds(10));
    Send(a, std::string(40, 'r')); // 400 ms: RTS is looked at while they go out
    EXPECT_EQ(vp::DrivenLines(name, vp::End::A) & MS_CTS_ON, MS_CTS_ON);
    EXPECT_TRUE(WaitUntil([&] { return (vp::DrivenLines(name, vp::End::A) & MS_CTS_ON) == 0; }));
}

TEST_F(VirtualPair, DestroyingThePairHangsUpOpenEnds)
{
    ASSERT_TRUE(SetCommMask(a, EV_RXCHAR));
    DWORD happened = 0;
    ASSERT_FALSE(WaitCommEvent(a, &happened, &ov));
    vp::Destroy(name);
    ASSERT_EQ(WaitForSingleObject(event, 3000), WAIT_OBJECT_0);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(a, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

// A thread that used a port and an event keeps them for its next calls; a
// close on another thread must still let the descriptors go at once, and the
// handles must be gone for the thread that kept them.
TEST(VirtualPairHandles, AClosedPortLetsItsDescriptorsGoWhileAnotherThreadStillKeepsIt)
{
    const int before = OpenDescriptors();
    ASSERT_TRUE(vp::Create("kept"));
    HANDLE port = OpenPath(vp::PortName("kept", vp::End::A));
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::latch used(1), closed(1);
    BOOL wroteAfterClose = TRUE, setAfterClose = TRUE;
    DWORD writeError = 0, setError = 0;
    std::thread user([&] {
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(port, "x", 1, &n, &ov));
        EXPECT_TRUE(SetEvent(event));
        used.count_down();
        closed.wait();
        wroteAfterClose = WriteFile(port, "x", 1, &n, &ov);
        writeError = GetLastError();
        setAfterClose = SetEvent(event);
        setError = GetLastError();
    });
    used.wait();
    EXPECT_TRUE(CloseHandle(port));
    EXPECT_TRUE(CloseHandle(event));
    vp::Destroy("kept");
    EXPECT_EQ(OpenDescriptors(), before);
    closed.count_down();
    user.join();
    EXPECT_FALSE(wroteAfterClose);
    EXPECT_EQ(writeError, ERROR_INVALID_HANDLE);
    EXPECT_FALSE(setAfterClose);
    EXPECT_EQ(setError, ERROR_INVALID_HANDLE);
}

// A thread keeps only its last few handles: one that uses more, some of them
// inside a port's call and some closed by another thread, must still reach
// each one's own object.
TEST(VirtualPairHandles, AThreadUsingMoreHandlesThanItKeepsReachesEachOne)
{
    ASSERT_TRUE(vp::Create("many"));
    HANDLE port = OpenPath(vp::PortName("many", vp::End::A));
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    std::vector<HANDLE> events;
    for (int i = 0; i < 7; ++i)
        events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const auto signalled = [&](size_t i) { return WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0; };
    for (int round = 0; round < 21; ++round) {
        const size_t i = size_t(round) % events.size();
        if (round == 10) // closed on another thread, which never used them
            std::thread([&] { CloseHandle(events[2]), CloseHandle(events[5]); }).join();
        const bool closed = round >= 10 && (i == 2 || i == 5);
        OVERLAPPED ov{};
        ov.hEvent = events[i];
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(port, "x", 1, &n, &ov)) << "round " << round;
        EXPECT_EQ(SetEvent(events[i]), !closed) << "round " << round;
        for (size_t j = 0; j < events.size(); ++j) {
            if (!(round >= 10 && (j == 2 || j == 5))) {
                EXPECT_EQ(signalled(j), j == i) << "round " << round << ", event " << j;
            }
        }
        ResetEvent(events[i]);
    }
    for (size_t i = 0; i < events.size(); ++i) {
        if (i != 2 && i != 5) {
            EXPECT_TRUE(CloseHandle(events[i]));
        }
    }
    EXPECT_TRUE(CloseHandle(port));
    vp::Destroy("many");
}

} // namespace
