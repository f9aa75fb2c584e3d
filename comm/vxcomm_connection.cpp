// The lifecycle of an open port: the connection, its two threads, and the
// component as they reach it.
#include "vxcomm_connection.h"

#include "Debug.h"
#include "MainThread.h"
#include "vxcomm_custom.h"

#include <algorithm>

using namespace vxport;

const uint32_t ComEventMsg = RegisterWindowMessageA("vxCommMsgComEvent");
const uint32_t QuitComEventMsg = RegisterWindowMessageA("vxCommMsgQuitComEvent");

// ---- TCommLife --------------------------------------------------------------------------

bool TCommLife::Call(const TCommConnection* conn, bool handling, const std::function<void(TvxCustomComm&)>& fn)
{
    const auto self = std::this_thread::get_id();
    TvxCustomComm* owner = nullptr;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (!owner_ || (conn && conn->Stopped()))
                return false;
            if (!handling || turnDepth_ == 0 || turn_ == self) {
                turn_ = handling ? self : turn_;
                turnDepth_ += handling;
                inside_.push_back(self);
                owner = owner_;
                break;
            }
        }
        MainThread::WaitUntil([&] {
            std::lock_guard lock(mutex_);
            return !owner_ || (conn && conn->Stopped()) || turnDepth_ == 0;
        });
    }
    // fn may destroy the component: only this object is used afterwards.
    struct Leave {
        TCommLife& life;
        bool handling;
        ~Leave()
        {
            {
                std::lock_guard lock(life.mutex_);
                life.inside_.erase(std::find(life.inside_.begin(), life.inside_.end(), std::this_thread::get_id()));
                if (handling && --life.turnDepth_ == 0)
                    life.turn_ = {};
            }
            MainThread::Wake();
        }
    } leave{*this, handling};
    fn(*owner);
    return true;
}

bool TCommLife::OthersInside() const
{
    const auto self = std::this_thread::get_id();
    return std::any_of(inside_.begin(), inside_.end(), [self](std::thread::id id) { return id != self; });
}

void TCommLife::End()
{
    {
        std::lock_guard lock(mutex_);
        owner_ = nullptr;
        ended_.store(true);
    }
    Quiesce();
}

void TCommLife::Quiesce() const
{
    MainThread::WaitUntil([this] {
        std::lock_guard lock(mutex_);
        return !OthersInside();
    });
}

// ---- TCommConnection ------------------------------------------------------------------

TCommConnection::TCommConnection(std::shared_ptr<TCommLife> life, HANDLE handle, size_t readBufferSize)
    : life_(std::move(life)), handle_(handle), readBuffer_(readBufferSize, 0)
{
}

TCommConnection::~TCommConnection()
{
    for (std::thread* t : {&commThread.thread, &msgThread.thread}) {
        if (t->get_id() == std::this_thread::get_id())
            t->detach(); // this thread dropped the last reference and ends now
        else if (t->joinable())
            t->join();
    }
}

void TCommConnection::Start(DWORD happened)
{
    if (started_.exchange(true))
        return;
    commThread.mask = happened;
    auto self = shared_from_this();
    msgThread.thread = std::thread([self] { self->msgThread.Run(*self); });
    commThread.thread = std::thread([self] { self->commThread.Run(*self); });
}

void TCommConnection::Handle(DWORD mask)
{
    const TMsg msg{nullptr, ComEventMsg, mask, 0, 0, {}};
    try {
        life_->Call(this, true, [&](TvxCustomComm& owner) { owner.HandleComEvent(*this, msg); });
    } catch (...) {
        // The error report itself failed (OnFatalError raised, or the log
        // could not be written); the thread goes on with the next event.
        OutputDebugString("vxComm: an error of a port event could not be reported");
    }
}

void TCommConnection::Stop()
{
    if (stopped_.exchange(true))
        return;
    msgThread.Stop();
    commThread.Stop();
    MainThread::Wake(); // a thread waiting for its handling turn gives up
}

// ---- The message thread ---------------------------------------------------------------

void TMsgThread::Stop()
{
    // The quit message wakes the loop; closing the queue also ends a loop
    // whose queue did not exist yet when the quit message was posted.
    queue.Post(QuitComEventMsg, 0, 0);
    queue.Close();
}

void TMsgThread::Run(TCommConnection& conn)
{
    queue.Open();
    if (conn.Stopped())
        queue.Close();
    TMsg msg;
    while (!conn.Stopped() && queue.Get(msg, 0xC000, 0xFFFF)) {
        if (conn.Stopped() || msg.message == QuitComEventMsg)
            break;
        if (msg.hwnd == nullptr && msg.message == ComEventMsg)
            Dispatch(conn, msg);
    }
}

// The message stands for everything gathered until it is handled.
void TMsgThread::Dispatch(TCommConnection& conn, const TMsg&)
{
    if (MainThread::Exists() && conn.Life().UsesMainThread())
        MainThread::Synchronize([&conn] { conn.Handle(conn.TakeGathered()); });
    else
        conn.Handle(conn.TakeGathered());
}

// ---- The port event thread ---------------------------------------------------------------

void TCommThread::Stop()
{
    // Set, not pulsed: a pulse is lost when the thread is between starting
    // its wait and blocking on the event. The fence pairs with the store of
    // the event in Run.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (HANDLE e = event.load())
        SetEvent(e);
}

void TCommThread::Run(TCommConnection& conn)
{
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    overlapped.hEvent = e;
    event.store(e);
    try {
        if (mask != 0)
            Deliver(conn);
        while (!conn.Stopped() && conn.Handle() != INVALID_HANDLE_VALUE && WaitOnce(conn))
            if (mask != 0)
                Deliver(conn);
    } catch (...) {
        OutputDebugString("vxComm: the close of a lost port failed");
    }
    // Nothing this thread started may complete into its records later.
    CancelIo(conn.Handle());
    event.store(nullptr);
    CloseHandle(e);
    overlapped.hEvent = nullptr;
}

bool TCommThread::WaitOnce(TCommConnection& conn)
{
    ClearOverlapped(overlapped);
    mask = 0;
    if (WaitCommEvent(conn.Handle(), &mask, &overlapped))
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        const DWORD result = WaitForSingleObject(overlapped.hEvent, INFINITE);
        if (conn.Stopped()) {
            OutputDebugString("BREAK ...");
            return false;
        }
        if (result != WAIT_OBJECT_0)
            mask = 0;
        return true;
    }
    if (error == ERROR_INVALID_PARAMETER && mask == 0)
        return true; // the mask was 0 for a moment while TraceStates changed
    OutputDebugString("111 ...");
    if (error != ERROR_INVALID_HANDLE)
        conn.Life().Call(&conn, false, [&](TvxCustomComm& owner) { owner.ShutdownConnection(&conn, false); });
    return false;
}

// For the main thread the mask goes to it straight: the message thread would
// only hand it on and wait. Otherwise it goes to the message thread, whose
// queue takes posts once the thread has opened it. A mask that joins a
// hand-off still waiting needs none of its own.
void TCommThread::Deliver(TCommConnection& conn)
{
    if (!conn.Gather(mask))
        return;
    if (MainThread::Exists() && conn.Life().UsesMainThread()) {
        // The connection keeps itself until the hand-off has run: the
        // function then holds only its address, which costs no allocation.
        conn.handOffKeep_ = conn.shared_from_this();
        MainThread::Post([c = &conn] {
            const std::shared_ptr<TCommConnection> keep = std::move(c->handOffKeep_);
            c->Handle(c->TakeGathered());
        });
        return;
    }
    while (!conn.Stopped() && !conn.msgThread.queue.Post(ComEventMsg, mask, 0))
        Sleep(1);
}
