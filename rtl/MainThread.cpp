#include "MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace MainThread {
namespace {

// What a worker that waits in Synchronize learns of its request; it lives on
// the worker's stack, which the worker leaves only once `done` is set.
struct Outcome {
    std::exception_ptr error;
    bool done = false;
};

// Kept by value in the queue: a posted function costs no allocation of its
// own beyond what its std::function takes.
struct Request {
    std::function<void()> fn;
    Outcome* outcome = nullptr; // none for a posted request
};

// A worker thread that drops the last reference to its work ends on its own
// and may wake waiters as it goes, while the program exits: the hand-off's
// state lives as long as the process and is never destroyed.
std::mutex& queueMutex = *new std::mutex;
std::condition_variable& queueChanged = *new std::condition_variable;
std::deque<Request>& pending = *new std::deque<Request>;
// pending.size(), written under the lock: CheckSynchronize, which runs for
// every received piece, finds an empty queue without taking the lock.
std::atomic<size_t> pendingCount{0};
uint64_t wakeCount = 0;
// Threads in WaitUntil; Wake has nothing to do while there are none.
std::atomic<int> waiting{0};
bool wakePosted = false; // a wake-up event is on its way to the main thread
// The application object whose destruction has begun: from then on no
// request is queued for it, and those still queued run before it goes.
std::atomic<QCoreApplication*> ending{nullptr};
// The thread of the application object, remembered when it starts: a worker
// asks for it while the object may be going, so it never touches the object.
std::atomic<QThread*> appThread{nullptr};

// Qt hands a posted event over under a lock of its own that ThreadSanitizer
// cannot see in the uninstrumented Qt libraries; these tell it that posting
// happens before the event is handled.
#if defined(__SANITIZE_THREAD__)
int wakeAnchor;
void ReleaseWake() { __tsan_release(&wakeAnchor); }
void AcquireWake() { __tsan_acquire(&wakeAnchor); }
#else
void ReleaseWake() {}
void AcquireWake() {}
#endif

void RunDue(bool woken);

// Lives in the main thread; one posted event drains the queue.
class Waker : public QObject {
public:
    bool event(QEvent* e) override
    {
        AcquireWake();
        if (e->type() != QEvent::User)
            return QObject::event(e);
        RunDue(true);
        return true;
    }
};

Waker* MainWaker()
{
    static Waker* waker = [] {
        auto* w = new Waker;
        w->moveToThread(QCoreApplication::instance()->thread());
        return w;
    }();
    return waker;
}

// Under the queue's lock: true when no wake-up event is on its way, and the
// caller is to post one (PostWake, after the lock).
bool ClaimWake()
{
    const bool claimed = !wakePosted;
    wakePosted = true;
    return claimed;
}

void PostWake()
{
    auto* wake = new QEvent(QEvent::User);
    ReleaseWake();
    QCoreApplication::postEvent(MainWaker(), wake);
}

// False when the application object is going or gone: the caller then runs
// the request itself.
bool Queue(Request& request)
{
    bool wake = false;
    {
        std::lock_guard lock(queueMutex);
        auto* app = QCoreApplication::instance();
        if (!app || app == ending.load())
            return false;
        pending.push_back(std::move(request));
        pendingCount.store(pending.size(), std::memory_order_release);
        ++wakeCount;
        wake = ClaimWake();
    }
    queueChanged.notify_all();
    if (wake)
        PostWake();
    return true;
}

// Runs in the main thread when the application object is destroyed, before
// it goes: requests still queued (a port's received bytes among them) run
// now, instead of waiting for an event loop that will not come.
void ApplicationEnds()
{
    {
        std::lock_guard lock(queueMutex);
        ending.store(QCoreApplication::instance());
    }
    for (;;) {
        {
            std::lock_guard lock(queueMutex);
            if (pending.empty()) {
                wakePosted = false; // the next application object needs a wake-up of its own
                break;
            }
        }
        RunDue(false);
    }
}

void ApplicationStarts()
{
    ending.store(nullptr);
    appThread.store(QCoreApplication::instance()->thread());
    qAddPostRoutine(ApplicationEnds);
    // Made now, while the application object surely exists: a worker that
    // made it with its first request could meet the object going.
    MainWaker();
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(ApplicationStarts)

[[gnu::hot]] bool Exists()
{
    auto* app = QCoreApplication::instance();
    return app && app != ending.load();
}

bool IsCurrent()
{
    return QCoreApplication::instance() && QThread::currentThread() == appThread.load();
}

void Post(std::function<void()> fn)
{
    Request request{std::move(fn), nullptr};
    if (Exists() && Queue(request))
        return;
    // No application object, or it went since the caller looked: it runs
    // here, as it would have without one. Dropped, a hand-off would lose its
    // event and keep what it holds alive for ever.
    try {
        request.fn();
    } catch (...) {
    }
}

void Synchronize(const std::function<void()>& fn)
{
    if (!Exists() || IsCurrent()) {
        fn();
        return;
    }
    // The caller's function outlives the request: it is referred to, not copied.
    Outcome outcome;
    Request request{std::cref(fn), &outcome};
    if (!Queue(request)) {
        fn();
        return;
    }
    {
        std::unique_lock lock(queueMutex);
        queueChanged.wait(lock, [&] { return outcome.done; });
    }
    if (outcome.error)
        std::rethrow_exception(outcome.error);
}

namespace {

// Runs as many requests as were queued when it was called: those that come
// meanwhile wait for the next round of the event loop, which serves timers,
// input and painting first, so a stream of requests cannot keep the main
// thread from them. Requests run one by one from the front, so a nested call
// (a request that waits) keeps their order. One turn of the lock per request:
// the end of one and the start of the next share it.
void RunDue(bool woken)
{
    Request request;
    size_t due = 0;
    {
        std::lock_guard lock(queueMutex);
        if (woken)
            wakePosted = false;
        due = pending.size();
        if (due == 0)
            return;
        request = std::move(pending.front());
        pending.pop_front();
        pendingCount.store(pending.size(), std::memory_order_release);
    }
    for (;;) {
        try {
            request.fn();
        } catch (...) {
            if (request.outcome)
                request.outcome->error = std::current_exception();
        }
        Request next;
        bool more = false;
        bool wake = false;
        {
            std::lock_guard lock(queueMutex);
            if (request.outcome)
                request.outcome->done = true;
            more = --due > 0 && !pending.empty();
            if (more) {
                next = std::move(pending.front());
                pending.pop_front();
                pendingCount.store(pending.size(), std::memory_order_release);
            } else {
                wake = !pending.empty() && ClaimWake();
            }
        }
        queueChanged.notify_all();
        request = std::move(next); // the finished function goes outside the lock
        if (!more) {
            if (wake)
                PostWake();
            return;
        }
    }
}

} // namespace

[[gnu::hot]] void CheckSynchronize()
{
    if (pendingCount.load(std::memory_order_acquire) != 0)
        RunDue(false);
}

void WaitUntil(const std::function<bool()>& ready)
{
    const bool main = IsCurrent();
    // Counted before the first look at what it waits for: a Wake that finds
    // nobody counted comes after a change that this look will see.
    waiting.fetch_add(1);
    std::atomic_thread_fence(std::memory_order_seq_cst);
    struct Counted {
        ~Counted() { waiting.fetch_sub(1); }
    } counted;
    for (;;) {
        if (main)
            CheckSynchronize();
        std::unique_lock lock(queueMutex);
        const uint64_t seen = wakeCount;
        lock.unlock();
        if (ready())
            return;
        lock.lock();
        queueChanged.wait(lock, [&] { return wakeCount != seen || (main && !pending.empty()); });
    }
}

void Wake()
{
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (waiting.load(std::memory_order_relaxed) == 0)
        return;
    {
        std::lock_guard lock(queueMutex);
        ++wakeCount;
    }
    queueChanged.notify_all();
}

} // namespace MainThread
