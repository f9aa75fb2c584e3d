// The lifecycle of an open port: the connection, its two threads, and the
// component as they reach it.
#include "vxcomm_connection.h"

#include "Debug.h"
#include "MainPoll.h"
#include "MainThread.h"
#include "vxcomm_custom.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>

using namespace vxport;

const uint32_t ComEventMsg = RegisterWindowMessageA("vxCommMsgComEvent");
const uint32_t QuitComEventMsg = RegisterWindowMessageA("vxCommMsgQuitComEvent");

// ---- TCommLife --------------------------------------------------------------------------

namespace {

// The calls in progress on this thread, innermost first.
struct TCallFrame {
    const TCommLife* life;
    TvxCustomComm* owner;
    const TCallFrame* outer;
};
thread_local const TCallFrame* innermostCall = nullptr;

} // namespace

// A call made inside another of this life on the same thread (a byte sent
// from a receive handler) is covered by the outer one: destruction on
// another thread already waits for it. It needs no entry of its own, and
// nothing is left to do after fn, right after the write that may answer the
// device.
[[gnu::hot]] bool TCommLife::CallNested(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn)
{
    if (handling || ended_.load() || (conn && conn->Stopped()))
        return false;
    for (const TCallFrame* frame = innermostCall; frame; frame = frame->outer)
        if (frame->life == this) {
            fn(*frame->owner);
            return true;
        }
    return false;
}

[[gnu::hot]] bool TCommLife::CallKept(const std::shared_ptr<TCommLife>& life, TFunctionRef<void(TvxCustomComm&)> fn)
{
    if (life->CallNested(nullptr, false, fn))
        return true;
    // The temporary copy keeps the life to the end of the call.
    return std::shared_ptr<TCommLife>(life)->CallEntered(nullptr, false, fn);
}

[[gnu::hot]] bool TCommLife::Call(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn)
{
    return CallNested(conn, handling, fn) || CallEntered(conn, handling, fn);
}

[[gnu::hot]] bool TCommLife::CallEntered(const TCommConnection* conn, bool handling, TFunctionRef<void(TvxCustomComm&)> fn)
{
    const auto self = std::this_thread::get_id();
    TvxCustomComm* owner = nullptr;
    for (;;) {
        {
            std::lock_guard lock(lock_);
            if (!owner_ || (conn && conn->Stopped()))
                return false;
            if (!handling || turnDepth_ == 0 || turn_ == self) {
                turn_ = handling ? self : turn_;
                turnDepth_ += handling;
                ++calls_;
                owner = owner_;
                break;
            }
        }
        WaitFor([&] { return !owner_ || (conn && conn->Stopped()) || turnDepth_ == 0; });
    }
    // fn may destroy the component: only this object is used afterwards.
    const TCallFrame frame{this, owner, innermostCall};
    innermostCall = &frame;
    struct Leave {
        TCommLife& life;
        bool handling;
        const TCallFrame& frame;
        ~Leave()
        {
            innermostCall = frame.outer;
            bool wake = false;
            {
                std::lock_guard lock(life.lock_);
                --life.calls_;
                if (handling && --life.turnDepth_ == 0)
                    life.turn_ = {};
                wake = life.waiters_ > 0;
            }
            if (wake)
                MainThread::Wake();
        }
    } leave{*this, handling, frame};
    fn(*owner);
    return true;
}

// Under the lock. Every call counted in calls_ has its frame on its own
// thread while it runs: the calling thread's own frames are its calls.
bool TCommLife::OthersInside() const
{
    int mine = 0;
    for (const TCallFrame* frame = innermostCall; frame; frame = frame->outer)
        mine += frame->life == this;
    return calls_ > mine;
}

void TCommLife::End()
{
    {
        std::lock_guard lock(lock_);
        owner_ = nullptr;
        ended_.store(true);
    }
    Quiesce();
}

void TCommLife::Quiesce() const
{
    WaitFor([this] { return !OthersInside(); });
}

// A waiter is counted before its first look, under the lock that a leave
// holds while it changes what waiters look at: a leave that counts none
// comes before that look, which then sees its change. So a leave wakes the
// waiting threads only when there are some, with no fence of its own.
void TCommLife::WaitFor(TFunctionRef<bool()> ready) const
{
    {
        std::lock_guard lock(lock_);
        ++waiters_;
    }
    struct Counted {
        const TCommLife& life;
        ~Counted()
        {
            std::lock_guard lock(life.lock_);
            --life.waiters_;
        }
    } counted{*this};
    MainThread::WaitUntil([&] {
        std::lock_guard lock(lock_);
        return ready();
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
    if (!MainThread::Exists() || !life_->UsesMainThread())
        return;
    if (MainThread::IsCurrent())
        WatchInput();
    else
        MainThread::Post([self] { self->WatchInput(); });
}

[[gnu::hot]] void TCommConnection::Handle(DWORD mask, intptr_t how)
{
    const TMsg msg{nullptr, ComEventMsg, mask, how, 0, {}};
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
    // The watcher ends in the main thread; one made from now on sees the stop.
    if (watcherMade_.load())
        MainThread::Post([self = shared_from_this()] { self->DropWatcher(); });
}

// ---- The main thread's watch of the input ---------------------------------------------

// Main thread only. The port may be closed on any thread at any moment and
// is then released at once; the notifier must never watch a closed
// descriptor (it would fire without end) or a device that got its number.
// Where the main thread's polls pass through MainPoll, the notifier watches a
// duplicate of the device's descriptor, which the port's close turns quiet
// (its number stays taken) before it waits out a poll that still holds the
// device. Elsewhere it watches an epoll set that holds the device's
// descriptor, which the close takes out of the set; every wake-up then
// passes through the set, which costs more.
class TInputNotifier;

class TInputWatcher {
public:
    // Watches the connection's input from now on, when the port layer lets it.
    static void Make(TCommConnection& conn);
    ~TInputWatcher();
    bool Watching() const { return watching_; }
    // The port layer watches the input again, as when there is no watcher.
    void HandBack();
    void TakeBack();
    // At the end of the application, before its event loop goes.
    static void EndAll();

private:
    friend class TInputNotifier;
    TInputWatcher(const std::shared_ptr<TCommConnection>& conn, int fd, bool ownFd);
    void Activated();
    bool Handle();

    std::weak_ptr<TCommConnection> conn_;
    const HANDLE handle_;
    const int fd_;
    const bool ownFd_; // the port layer's watch descriptor, else an epoll set
    TInputNotifier* notifier_;
    bool watching_ = false;
    // Set while an activation runs: the handler may end the watcher.
    bool* gone_ = nullptr;

    static std::vector<TInputWatcher*>& All()
    {
        static std::vector<TInputWatcher*> all;
        return all;
    }
};

// Runs the watcher straight from the activation, without the notifier's
// signals: this is the cost of every received piece.
class TInputNotifier : public QSocketNotifier {
public:
    TInputNotifier(int fd, TInputWatcher* watcher) : QSocketNotifier(fd, QSocketNotifier::Read), watcher_(watcher) {}
    // The watcher goes before its notifier, which may be in its own activation.
    void Orphan() { watcher_ = nullptr; }

protected:
    [[gnu::hot]] bool event(QEvent* e) override
    {
        if (e->type() != QEvent::SockAct && e->type() != QEvent::SockClose)
            return QSocketNotifier::event(e);
        if (watcher_)
            watcher_->Activated();
        return true;
    }

private:
    TInputWatcher* watcher_;
};

void TInputWatcher::Make(TCommConnection& conn)
{
    conn.watcherMade_.store(true);
    if (conn.Stopped())
        return; // Stop may not have seen the flag: nothing to end
    const bool ownFd = MainPoll::Observed();
    int fd = -1;
    if (ownFd) {
        fd = OpenCommInputWatch(conn.Handle(), MainPoll::LetGo);
    } else if ((fd = epoll_create1(EPOLL_CLOEXEC)) >= 0 && !AddCommInputToEpoll(conn.Handle(), fd)) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0)
        return;
    conn.watcher_ = new TInputWatcher(conn.shared_from_this(), fd, ownFd);
    // Input that nobody takes is left to the layer, whose queue holds it
    // while the main thread is busy.
    bool reads = false;
    conn.Life().Call(&conn, false, [&](TvxCustomComm& owner) { reads = owner.ReadsInput(); });
    if (reads)
        conn.watcher_->TakeBack();
}

TInputWatcher::TInputWatcher(const std::shared_ptr<TCommConnection>& conn, int fd, bool ownFd)
    : conn_(conn), handle_(conn->Handle()), fd_(fd), ownFd_(ownFd), notifier_(new TInputNotifier(fd, this))
{
    notifier_->setEnabled(false);
    All().push_back(this);
}

TInputWatcher::~TInputWatcher()
{
    const bool inActivation = gone_ != nullptr;
    if (inActivation)
        *gone_ = true;
    std::erase(All(), this);
    // A port still open goes back to watching its input itself; on a closed
    // one the call fails (handles are never reused).
    if (watching_)
        SetCommInputWatched(handle_, FALSE);
    notifier_->setEnabled(false);
    notifier_->Orphan();
    // In its own activation the notifier is deleted later, not under it.
    if (inActivation)
        notifier_->deleteLater();
    else
        delete notifier_;
    if (ownFd_)
        CloseCommInputWatch(fd_);
    else
        ::close(fd_);
}

void TInputWatcher::HandBack()
{
    if (!watching_)
        return;
    notifier_->setEnabled(false);
    SetCommInputWatched(handle_, FALSE);
    watching_ = false;
}

// Watched first, then the notifier on: bytes that the layer took in before
// it saw the change are announced by it.
void TInputWatcher::TakeBack()
{
    if (watching_ || !SetCommInputWatched(handle_, TRUE))
        return;
    watching_ = true;
    notifier_->setEnabled(true);
}

// An activation that reads nothing while input is still there (no receiver,
// receiving held, an error event, the device gone) would come again at once:
// the layer takes the input over until an event reads bytes in the main
// thread again. One that found the bytes read already by a hand-off's event
// goes on watching.
[[gnu::hot]] void TInputWatcher::Activated()
{
    bool gone = false;
    bool* const outer = std::exchange(gone_, &gone);
    // Hand-offs that were sent before these bytes came are handled first.
    MainThread::CheckSynchronize();
    const bool tookNothing = !gone && Handle();
    if (gone) {
        if (outer)
            *outer = true;
        return;
    }
    gone_ = outer;
    pollfd input{fd_, POLLIN, 0};
    if (tookNothing && ::poll(&input, 1, 0) != 0)
        HandBack();
}

// True when the activation took no input; this object may be gone then.
[[gnu::hot]] bool TInputWatcher::Handle()
{
    const std::shared_ptr<TCommConnection> conn = conn_.lock();
    if (!conn || conn->Stopped() || !watching_)
        return true;
    if (!MainThread::Exists() || !conn->Life().UsesMainThread()) {
        // The message thread handles the events now; this one goes to it.
        HandBack();
        if (conn->Gather(EV_RXCHAR))
            conn->msgThread.queue.Post(ComEventMsg, EV_RXCHAR, 0);
        return false;
    }
    const uint64_t before = conn->Received();
    conn->Handle(EV_RXCHAR, kTakeInput);
    return conn->Received() == before;
}

void TInputWatcher::EndAll()
{
    while (!All().empty()) {
        TInputWatcher* watcher = All().back();
        if (const auto conn = watcher->conn_.lock())
            conn->watcher_ = nullptr;
        delete watcher;
    }
}

namespace {
void EndWatchers() { TInputWatcher::EndAll(); }
void WatchersStart() { qAddPostRoutine(EndWatchers); }
} // namespace
Q_COREAPP_STARTUP_FUNCTION(WatchersStart)

void TCommConnection::HandleInMainThread(DWORD mask)
{
    // A hand-off that found the application object going runs where it was sent.
    if (!MainThread::IsCurrent()) {
        Handle(mask);
        return;
    }
    WatchInput();
    if (watcher_ && watcher_->Watching())
        mask |= EV_RXCHAR;
    const uint64_t before = Received();
    Handle(mask);
    // The handler may have ended the watcher, the port or the component.
    if (watcher_ && !watcher_->Watching() && Received() != before && !Stopped() && MainThread::Exists() &&
        life_->UsesMainThread())
        watcher_->TakeBack();
}

void TCommConnection::WatchInput()
{
    if (MainThread::IsCurrent() && !watcher_ && !watcherMade_.load() && MainThread::Exists() &&
        life_->UsesMainThread())
        TInputWatcher::Make(*this);
}

// Sent to the main thread by Stop; run elsewhere only when the application
// object was going, whose end takes the watchers.
void TCommConnection::DropWatcher()
{
    if (MainThread::IsCurrent())
        delete std::exchange(watcher_, nullptr);
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
            c->HandleInMainThread(c->TakeGathered());
        });
        return;
    }
    while (!conn.Stopped() && !conn.msgThread.queue.Post(ComEventMsg, mask, 0))
        Sleep(1);
}
