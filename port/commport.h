#pragma once
// An open serial port with Win32 semantics: the input queue, pending reads,
// writes and event waits with their OVERLAPPED records, time-outs, the event
// mask and its history, error flags, purge and escape functions.
//
// One thread at a time polls the device and services it. While a thread
// waits for the event of a pending WaitCommEvent it is that thread, so the
// device wakes the thread that waits for it, with no hand-off in between;
// otherwise it is the port's worker thread, which sleeps without a time limit
// when nothing is pending. The worker stays parked after a waiter leaves
// (it comes back at once) until the port is woken while no waiter polls.
//
// Every access to caller memory (OVERLAPPED records, buffers, mask variables)
// happens under the port's lock, so cancelling or closing under that lock
// guarantees that no pending operation touches them afterwards.
#include "device.h"
#include "handles.h"
#include "ringbuffer.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace vxport::detail {

using Clock = std::chrono::steady_clock;

class Event;

class CommPort final : public HandleObject {
public:
    static constexpr Kind kHandleKind = Kind::commPort;
    explicit CommPort(std::unique_ptr<Device> device);
    ~CommPort() override;
    void Close() override;
    // 0 when the port runs; else why it could not start (it is closed then).
    DWORD StartError() const { return startError_; }

    BOOL SetupComm(DWORD inQueue, DWORD outQueue);
    BOOL SetState(const DCB& dcb);
    BOOL GetState(DCB& dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
    BOOL GetTimeouts(COMMTIMEOUTS& timeouts);
    BOOL SetMask(DWORD mask);
    BOOL GetMask(DWORD& mask);
    BOOL WaitEvent(DWORD* mask, OVERLAPPED* ov);
    BOOL ClearError(DWORD* errors, COMSTAT* stat, bool withOutput);
    BOOL Purge(DWORD flags);
    BOOL Escape(DWORD function);
    BOOL ModemStatus(DWORD* status);
    BOOL Read(void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* ov);
    BOOL Write(const void* data, DWORD toWrite, DWORD* written, OVERLAPPED* ov);
    BOOL Result(OVERLAPPED* ov, DWORD* transferred, BOOL wait);
    BOOL Cancel();
    // The caller's thread watches the device's input (vxport.h).
    BOOL AddInputToEpoll(int epollFd);
    int OpenInputWatch(void (*letGo)());
    BOOL SetInputWatched(bool watched);
    BOOL TakeInput(DWORD* errors, COMSTAT* stat);
    BOOL ReadInput(BYTE* buffer, DWORD size, DWORD* read, DWORD* errors, COMSTAT* stat);
    // Waits for `event`, which a transfer of this port sets, polling the
    // device in the calling thread meanwhile; a plain wait when another
    // waiter polls already. WAIT_OBJECT_0 or WAIT_TIMEOUT. The caller has
    // entered with Visit (under the event's lock); this leaves the port.
    DWORD WaitPolling(Event& event, DWORD milliseconds);
    // Counts a thread that is about to wait polling; Close waits for it.
    void Visit() { ++visitors_; }
    // Tells the thread that polls the device to look again.
    void Wake();

private:
    struct Op {
        OVERLAPPED* ov;
        // Held while the transfer is pending, as the system holds the event
        // of an overlapped transfer: it is looked up once.
        std::shared_ptr<Event> event;
        std::thread::id owner;
        // The total time-out runs from when the transfer becomes the current
        // one, not while it waits behind others.
        std::optional<Clock::duration> timeout;
        bool armed = false;
        std::optional<Clock::time_point> deadline;
    };
    struct ReadOp : Op {
        BYTE* buffer;
        DWORD want;
        std::vector<BYTE> got;
        DWORD interval; // 0: none
        Clock::time_point lastByte;
        bool returnOnAny;
    };
    struct WriteOp : Op {
        std::vector<BYTE> data;
        size_t done = 0;
    };
    struct WaitOp : Op {
        DWORD* mask;
    };

    using Lock = std::unique_lock<std::mutex>;

    void CloseOnce();
    void CloseWakeFds();
    void Run();
    BOOL ClearErrorLocked(DWORD* errors, COMSTAT* stat, bool withOutput);
    BOOL TakeInputLocked(DWORD* errors, COMSTAT* stat);
    // Hands out and clears the errors and fills the status record; `more`
    // bytes beside the queue's count as input (in the device, or just read).
    BOOL ReportLocked(DWORD* errors, COMSTAT* stat, bool withOutput, DWORD more);
    // The port wakes the pollers of the events its pending wait sets.
    void BecomeSourceOf(const std::shared_ptr<Event>& event);
    void LeaveEvents();
    void Leave(Lock& lock);
    void EnsurePoller();
    // One poll of the wake-up descriptor and the device, then the service.
    void PollDevice(Lock& lock, int timeoutMs);
    int NextTimeoutMs() const;
    void Service(short revents);

    // Input: device -> queue -> pending reads. At most `limit` bytes are
    // queued; `announce` false leaves EV_RXCHAR out, for bytes that a read
    // takes at once.
    long PumpInput(size_t limit = SIZE_MAX, bool announce = true);
    // While the caller watches the input, bytes stay in the device until a
    // read needs them.
    bool LeavesInputInDevice() const { return inputWatched_ && !dcb_.fNull; }
    DWORD DeviceInQueue() const;
    // What waits in the device, read straight into the caller's buffer; the
    // events PumpInput would raise for it, but EV_RXCHAR.
    size_t ReadDevice(BYTE* to, size_t size);
    void TakeFromQueue(BYTE* to, size_t count);
    void FeedReads();
    void ExpireReads(Clock::time_point now);
    // Output: pending writes -> device; drain detection.
    void PumpOutput();
    void ExpireWrites(Clock::time_point now);
    // Reads the clock itself, when given no time, only if output is watched.
    void CheckDrain(std::optional<Clock::time_point> at = std::nullopt);
    bool DrainWatched() const;
    void WatchDrain();
    // What the device still holds of our output; asks it only while bytes
    // written since it was last seen empty may be there.
    DWORD DeviceOutQueue();
    // Modem lines and error counters.
    void CheckLines();
    // Takes the line errors and breaks that the counters show into errors_;
    // returns their events.
    DWORD CheckCounters();
    void CheckErrorsOfInput();
    void RearmRx80();
    void UpdateLinePolling();
    void Signal(DWORD events);
    void HangUp();
    void ArmFronts();

    void Complete(OVERLAPPED* ov, DWORD error, DWORD count, Event* event);
    void CompleteRead(ReadOp& op, DWORD error);
    void CompleteWrite(WriteOp& op, DWORD error);
    void CompleteWait(DWORD events, DWORD error);
    void Abort(const std::function<bool(const Op&)>& which, DWORD error, bool reads, bool writes, bool wait);
    // The transfer's event, for the length of the call.
    static HandleRef<Event> EventOf(const OVERLAPPED* ov);
    Op Start(OVERLAPPED* ov, const HandleRef<Event>& event);
    BOOL Fail(DWORD error);
    BOOL AwaitSync(Lock& lock, OVERLAPPED* ov, DWORD* transferred);
    bool ManualRts() const;
    // A line error holds up reads and writes until ClearCommError.
    bool AbortedByError() const { return dcb_.fAbortOnError && errors_ != 0; }

    std::unique_ptr<Device> device_;
    int wakeFd_ = -1; // wakes the thread that polls the device
    int parkFd_ = -1; // wakes the worker while it is parked
    std::atomic<bool> waiterPolls_{false};
    // Set by Wake before it writes wakeFd_, cleared when the poller reads it:
    // a leaving waiter sees a wake-up meant for it without a system call.
    std::atomic<bool> wakePending_{false};
    bool parked_ = false;
    int devicePollers_ = 0; // threads in poll() with the device's input in it
    std::atomic<std::thread::id> poller_; // the thread polling the device now
    // Threads inside WaitPolling. Close takes the port off its events, so no
    // new one comes, and waits for these, so the port ends in CloseHandle.
    std::atomic<int> visitors_{0};
    std::condition_variable left_;
    std::vector<std::weak_ptr<Event>> sourceOf_;
    std::atomic<bool> linesDirty_{false};

    std::once_flag closeOnce_;
    std::mutex mutex_;
    std::condition_variable completed_;
    bool closed_ = false;
    int syncWaiters_ = 0; // threads blocked until a transfer of this port ends
    DWORD startError_ = 0;
    DWORD dead_ = 0; // the error that ended the device, 0 while it works
    DCB dcb_{};
    COMMTIMEOUTS timeouts_{};
    DWORD mask_ = 0;
    bool inputWatched_ = false;
    // While watched: what the last ClearCommError counted and no read has
    // taken since. The caller has been told of these bytes.
    DWORD countedLeft_ = 0;
    DWORD history_ = 0;
    DWORD errors_ = 0;
    DWORD outQueueSize_ = 4096;
    RingBuffer queue_;
    bool rx80Armed_ = true;
    LineCounters counters_;
    DWORD modem_ = 0;
    bool txActive_ = false;
    bool outputInDevice_ = false;
    std::optional<Clock::time_point> drainAt_;
    std::optional<Clock::time_point> linePollAt_;
    std::deque<ReadOp> reads_;
    std::deque<WriteOp> writes_;
    std::optional<WaitOp> wait_;

    std::thread worker_;
    std::thread::id workerId_;
};

} // namespace vxport::detail
