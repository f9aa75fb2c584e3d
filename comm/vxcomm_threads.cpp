// The port event thread and the message thread of an open serial port.
#include "vxcomm_threads.h"

#include "Debug.h"
#include "MainThread.h"
#include "vxcomm_custom.h"

#include <mutex>
#include <utility>
#include <vector>

using namespace vxport;

const uint32_t ComEventMsg = RegisterWindowMessageA("vxCommMsgComEvent");
const uint32_t QuitComEventMsg = RegisterWindowMessageA("vxCommMsgQuitComEvent");

namespace {
thread_local bool inEventThread = false;
// The message thread whose event this thread is handling now.
thread_local const TMsgThread* handlingFor = nullptr;

// Threads that could not be joined when their component let them go (their
// event handler was still running further up the stack); joined once ended.
std::mutex retiredMutex;
std::vector<std::unique_ptr<TWorkerThread>> retired;

void JoinEndedRetired()
{
    std::vector<std::unique_ptr<TWorkerThread>> ended;
    {
        std::lock_guard lock(retiredMutex);
        for (auto& t : retired)
            if (t->Finished())
                ended.push_back(std::move(t));
        std::erase(retired, nullptr);
    }
    for (auto& t : ended)
        t->WaitFor();
}

struct RetiredJoiner {
    ~RetiredJoiner()
    {
        std::lock_guard lock(retiredMutex);
        for (auto& t : retired)
            t->WaitFor();
        retired.clear();
    }
} retiredJoiner;
} // namespace

void RetireThread(std::unique_ptr<TWorkerThread> thread)
{
    JoinEndedRetired();
    std::lock_guard lock(retiredMutex);
    retired.push_back(std::move(thread));
}

// ---- TWorkerThread ------------------------------------------------------------------

TWorkerThread::~TWorkerThread()
{
    // Derived destructors have stopped and joined the thread already.
    if (thread_.joinable())
        thread_.join();
}

void TWorkerThread::Start()
{
    thread_ = std::thread([this] {
        try {
            Execute();
        } catch (...) {
            // A worker never takes the process down; what it was handling has
            // been reported where it arose.
        }
        finished_.store(true, std::memory_order_release);
        MainThread::Wake();
    });
}

void TWorkerThread::WaitFor()
{
    if (IsCurrent() || !thread_.joinable())
        return;
    MainThread::WaitUntil([this] { return Finished(); });
    if (thread_.joinable())
        thread_.join();
}

// ---- TMsgThread -----------------------------------------------------------------------

TMsgThread::TMsgThread(TvxCustomComm* owner) : owner_(owner), queue_(std::make_shared<TThreadMessageQueue>())
{
    Start();
}

TMsgThread::~TMsgThread()
{
    Stop();
    WaitFor();
}

void TMsgThread::Stop()
{
    Terminate();
    // The quit message wakes the loop; closing the queue also ends a loop
    // whose queue did not exist yet when the quit message was posted.
    queue_->Post(QuitComEventMsg, 0, 0);
    queue_->Close();
}

void TMsgThread::Execute()
{
    if (!owner_)
        return;
    queue_->Open();
    if (Terminated())
        queue_->Close();
    while (!Terminated()) {
        if (!queue_->Get(msg_, 0xC000, 0xFFFF))
            break;
        if (!owner_->Active() || Terminated() || msg_.message == QuitComEventMsg)
            break;
        Dispatch(msg_);
    }
}

void TMsgThread::Dispatch(const TMsg& msg)
{
    if (msg.hwnd != nullptr || msg.message != ComEventMsg)
        return; // no window receives thread messages here
    auto handle = [this, msg] {
        // A stop that came while the request waited means the port is
        // closing: the event is not handled any more.
        if (Terminated())
            return;
        const TMsgThread* outer = std::exchange(handlingFor, this);
        try {
            owner_->HandleComEvent(msg);
        } catch (...) {
            handlingFor = outer;
            throw;
        }
        handlingFor = outer;
    };
    if (MainThread::Exists() && owner_->UseMainThread())
        MainThread::Synchronize(handle);
    else
        handle();
}

// ---- TCommThread ----------------------------------------------------------------------

TCommThread::TCommThread(TvxCustomComm* owner, std::shared_ptr<TThreadMessageQueue> target)
    : owner_(owner), target_(std::move(target)), handle_(owner->Handle())
{
    Start();
}

TCommThread::~TCommThread()
{
    Stop();
    WaitFor();
}

bool TMsgThread::IsHandlingOnThisThread() const
{
    return handlingFor == this;
}

bool TCommThread::IsEventThread()
{
    return inEventThread;
}

void TCommThread::Stop()
{
    Terminate();
    // Set, not pulsed: a pulse is lost when the thread is between starting
    // its wait and blocking on the event, and the close then waits forever.
    // The fence pairs with the store of event_ in Execute.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (HANDLE event = event_.load())
        SetEvent(event);
}

void TCommThread::Execute()
{
    inEventThread = true;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    overlapped_.hEvent = event;
    event_.store(event);
    if (handle_ != INVALID_HANDLE_VALUE) {
        // A stop that came before event_ was stored found nothing to set.
        while (!Terminated() && WaitOnce()) {
            Deliver();
            if (Terminated() || !owner_->Active())
                break;
        }
        // Nothing this thread started may complete into its records later.
        CancelIo(handle_);
    }
    event_.store(nullptr);
    CloseHandle(event);
    overlapped_.hEvent = nullptr;
}

bool TCommThread::WaitOnce()
{
    ClearOverlapped(overlapped_);
    mask_ = 0;
    if (WaitCommEvent(handle_, &mask_, &overlapped_))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        const DWORD result = WaitForSingleObject(overlapped_.hEvent, INFINITE);
        if (Terminated()) {
            OutputDebugString("BREAK ...");
            return false;
        }
        if (result != WAIT_OBJECT_0)
            mask_ = 0;
        return true;
    }
    if (error == ERROR_INVALID_PARAMETER && mask_ == 0)
        return true; // the mask was 0 for a moment while TraceStates changed
    OutputDebugString("111 ...");
    if (error != ERROR_INVALID_HANDLE)
        owner_->Shutdown(false);
    return false;
}

void TCommThread::Deliver()
{
    if (mask_ == 0)
        return;
    while (!Terminated() && owner_->IsOpen()) {
        if (target_->Post(ComEventMsg, mask_, 0))
            return;
        Sleep(1); // the message thread has not opened its queue yet
    }
}
