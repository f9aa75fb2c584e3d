#pragma once
// The two worker threads of an open serial port.
//
// TCommThread waits for port events and posts each event mask to the message
// thread; TMsgThread takes the masks from its queue and has the component
// handle them, in the main thread when the component asks for it. Both are
// stopped by the component and joined before the port is closed: neither ever
// touches a component that is gone.
#include "Messages.h"
#include "vxport.h"

#include <atomic>
#include <memory>
#include <thread>

class TvxCustomComm;

// The identifiers of the two thread messages, registered at start-up.
extern const uint32_t ComEventMsg;
extern const uint32_t QuitComEventMsg;

class TWorkerThread {
public:
    virtual ~TWorkerThread();
    void Terminate() { terminated_.store(true, std::memory_order_release); }
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    bool IsCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Waits until the thread has ended; in the main thread, hand-off requests
    // run meanwhile. Not to be called on the thread itself.
    void WaitFor();

    // True while this thread calls into the component from the caller's
    // stack, so that the caller cannot wait for it.
    virtual bool IsHandlingOnThisThread() const { return false; }

protected:
    void Start();
    virtual void Execute() = 0;

private:
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::thread thread_;
};

// Keeps a stopped thread that cannot be joined yet and joins it once it has
// ended; the thread touches only itself from then on.
void RetireThread(std::unique_ptr<TWorkerThread> thread);

class TMsgThread : public TWorkerThread {
public:
    explicit TMsgThread(TvxCustomComm* owner);
    ~TMsgThread() override;
    // Sets the terminate request and posts the quit message.
    void Stop();
    const std::shared_ptr<TThreadMessageQueue>& Queue() const { return queue_; }
    // True while the calling thread runs this thread's event handling.
    bool IsHandlingOnThisThread() const override;

protected:
    void Execute() override;

private:
    void Dispatch(const TMsg& msg);

    TvxCustomComm* owner_;
    std::shared_ptr<TThreadMessageQueue> queue_;
    TMsg msg_;
};

class TCommThread : public TWorkerThread {
public:
    TCommThread(TvxCustomComm* owner, std::shared_ptr<TThreadMessageQueue> target);
    ~TCommThread() override;
    // Sets the terminate request and sets the wait event, which releases a
    // pending wait or the next one.
    void Stop();
    // True in the run routine of any port event thread.
    static bool IsEventThread();

protected:
    void Execute() override;

private:
    // One wait; false when the loop is to end.
    bool WaitOnce();
    void Deliver();

    TvxCustomComm* owner_;
    std::shared_ptr<TThreadMessageQueue> target_;
    vxport::HANDLE handle_;
    vxport::OVERLAPPED overlapped_{};
    std::atomic<vxport::HANDLE> event_{nullptr};
    vxport::DWORD mask_ = 0;
};
