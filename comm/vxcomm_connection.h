#pragma once
// The lifecycle of a serial component's open port. Every Open makes a
// TCommConnection: the handle, the read buffer, the message queue and two
// threads, the port event thread (TCommThread: waits for port events, posts
// their masks) and the message thread (TMsgThread: has the component handle
// them, in the main thread when it asks for it). The threads hold their
// connection, the component its current one; the threads reach the
// component only through the TCommLife that it shares with its connections.
// Events for the main thread go to it from the event thread straight; the
// message thread handles them when the component does not use the main thread.
// When the main thread handles them, it also watches the device's input
// itself (TInputWatcher, made when the threads start, or at the first event
// handled there when the component turns to the main thread later), so that a
// received piece wakes only the main thread; the event thread then waits for
// the other events. An event that leaves input unread hands the watching back
// to the port layer, and one that reads bytes in the main thread takes it
// again. The watcher lives and dies in the main thread; stopping the
// connection has it go there.
//
//   step     | what happens                              | who, on which thread
//   ---------+-------------------------------------------+------------------------------
//   open     | new connection, settings, threads started | Open: any thread, a handler
//   detach   | the component lets the connection go: it  | Close, or the event thread
//            | is closed at once and may open again; the | when the device is lost;
//            | connection is stopped, its handle shut    | under the port lock, no user code
//   announce | OnClose, nkClosed, the log line           | the thread that detached
//   end      | the stopped threads leave their loops;    | the connection's threads
//            | the last to let go frees the connection,  |
//            | joining the other, which has ended        |
//   destroy  | no call into the component starts; calls  | the destructor, on any thread,
//            | running on other threads are waited for   | in a handler too
//
// What waits for what: Open waits for a detach running on another thread to
// shut its handle. Destruction, the removal of a processor or log that the
// component has known (linked now or before, down the chain, a processor's
// own log) and ReadDeviceId wait for calls into the component on other
// threads; the main thread runs hand-off requests meanwhile. Handling an
// event takes a turn (one thread at a time; nesting on one thread allowed, as
// inside WaitForInput). Nothing waits for a thread to end, so no thread waits
// for itself or for one that waits for it. After each handler the
// component's life and the connection are checked again.
#include "FunctionRef.h"
#include "Messages.h"
#include "SpinLock.h"
#include "vxport.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TvxCustomComm;
class TCommConnection;
class TInputWatcher;

// The identifiers of the two thread messages, registered at start-up.
extern const uint32_t ComEventMsg;
extern const uint32_t QuitComEventMsg;
// A ComEventMsg's lParam: the event's status query takes in the input that
// the main thread's watch saw, in the same call (vxport's TakeCommInput).
constexpr intptr_t kTakeInput = 1;

// The component as its threads see it: gone once its destruction has begun.
class TCommLife {
public:
    explicit TCommLife(TvxCustomComm* owner) : owner_(owner) {}
    // Runs fn with the component unless it is gone or `conn` (when given) has
    // stopped; a handling call first waits for its turn. False when fn did
    // not run.
    bool Call(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn);
    // Call without a connection, for a caller that reaches the life through
    // the component, which fn may destroy: the life is kept for the call,
    // unless an outer call on this thread holds the component already.
    static bool CallKept(const std::shared_ptr<TCommLife>& life, TFunctionRef<void(TvxCustomComm&)> fn);
    // No call starts from now on; waits for those running on other threads.
    void End();
    // Waits until no call runs on another thread.
    void Quiesce() const;
    // The component's UseMainThread, kept here so that the event thread can
    // read it for every event without the lock.
    bool MainThreadWanted() const { return mainThread_.load(); }
    void SetMainThreadWanted(bool value) { mainThread_.store(value); }
    // False once the component is gone.
    bool UsesMainThread() const { return !ended_.load() && mainThread_.load(); }
    // True once the component's destruction has begun; the life outlives the
    // component, so a caller inside a call can ask it after a handler.
    bool Ended() const { return ended_.load(); }

private:
    // Runs fn when this thread is inside a call of this life already; false
    // when it did not.
    bool CallNested(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn);
    // Call with an entry of its own: waits for the turn, counts the call in.
    bool CallEntered(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn);
    bool OthersInside() const;
    // Waits until ready(), asked under the lock, holds.
    void WaitFor(TFunctionRef<bool()> ready) const;

    std::atomic<bool> mainThread_{true};
    std::atomic<bool> ended_{false};
    // Held only to change or read the fields below, never across fn.
    mutable TSpinLock lock_;
    TvxCustomComm* owner_;
    int calls_ = 0; // calls in progress with an entry of their own, on any thread
    std::thread::id turn_;
    int turnDepth_ = 0;
    mutable int waiters_ = 0; // threads in WaitFor
};

// The port event thread: waits for port events and posts each mask.
struct TCommThread {
    // Sets the wait event, which releases a pending wait or the next one.
    void Stop();
    void Run(TCommConnection& conn);
    // One wait; false when the loop is to end.
    bool WaitOnce(TCommConnection& conn);
    void Deliver(TCommConnection& conn);

    std::thread thread;
    vxport::OVERLAPPED overlapped{};
    std::atomic<vxport::HANDLE> event{nullptr};
    vxport::DWORD mask = 0;
};

// The message thread: has the component handle each posted mask.
struct TMsgThread {
    // Posts the quit message and closes the queue.
    void Stop();
    void Run(TCommConnection& conn);
    void Dispatch(TCommConnection& conn, const TMsg& msg);

    std::thread thread;
    TThreadMessageQueue queue;
};

class TCommConnection : public std::enable_shared_from_this<TCommConnection> {
public:
    TCommConnection(std::shared_ptr<TCommLife> life, vxport::HANDLE handle, size_t readBufferSize);
    // Joins its threads; the one that drops the last reference is let go at
    // its very end.
    ~TCommConnection();

    // The message thread first, then the port event thread; once. Events
    // that happened before the port's mask was set (bytes already waiting)
    // are handled before the first wait.
    void Start(vxport::DWORD happened = 0);
    // Tells both threads to end; never waits.
    void Stop();
    // Has the component handle one event, taking its turn; an error whose
    // report fails goes to the diagnostic output. `how`: the message's lParam.
    void Handle(vxport::DWORD mask, intptr_t how = 0);
    // Events that come while earlier ones still wait for their handling join
    // them, as a port joins events that come while nobody waits: however
    // slow the handler, one hand-off per connection waits at a time. True
    // when the mask found none waiting, so that a hand-off must be sent.
    bool Gather(vxport::DWORD mask) { return gathered_.fetch_or(mask) == 0; }
    // The hand-off's events: all gathered until now.
    vxport::DWORD TakeGathered() { return gathered_.exchange(0); }
    // Main thread: Handle for a hand-off from the event thread. While the
    // main thread watches the input, the bytes that came meanwhile are
    // handled with the hand-off's events, so that they keep their order.
    void HandleInMainThread(vxport::DWORD mask);
    // The bytes the component read; the watcher tells by them whether an
    // event took the input.
    void CountReceived(size_t count) { received_.fetch_add(count, std::memory_order_relaxed); }
    uint64_t Received() const { return received_.load(std::memory_order_relaxed); }
    bool Stopped() const { return stopped_.load(); }
    vxport::HANDLE Handle() const { return handle_; }
    // Only the thread handling an event uses it.
    std::vector<uint8_t>& ReadBuffer() { return readBuffer_; }
    size_t ReadBufferSize() const { return readBuffer_.size(); }
    TCommLife& Life() const { return *life_; }

    TMsgThread msgThread;
    TCommThread commThread;

private:
    const std::shared_ptr<TCommLife> life_;
    const vxport::HANDLE handle_;
    std::vector<uint8_t> readBuffer_;
    std::atomic<bool> stopped_{false};
    std::atomic<bool> started_{false};
    std::atomic<vxport::DWORD> gathered_{0};
    std::atomic<uint64_t> received_{0};
    // Set in the main thread before it makes a watcher; Stop sends the
    // watcher's end there when it is set.
    std::atomic<bool> watcherMade_{false};
    TInputWatcher* watcher_ = nullptr; // main thread only
    // Main thread: makes the watcher unless there is one or was one.
    void WatchInput();
    void DropWatcher();
    friend class TInputWatcher;
    // Set by the event thread when it sends a hand-off to the main thread,
    // taken by the hand-off before it takes the gathered events: one
    // hand-off waits at a time, so the two never meet.
    std::shared_ptr<TCommConnection> handOffKeep_;
    friend struct TCommThread;
};
