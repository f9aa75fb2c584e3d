#include "MainThread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace MainThread {
namespace {

struct Request {
    std::function<void()> fn;
    std::exception_ptr error;
    bool done = false;
};

// A worker thread that drops the last reference to its work ends on its own
// and may wake waiters as it goes, while the program exits: the hand-off's
// state lives as long as the process and is never destroyed.
std::mutex& queueMutex = *new std::mutex;
std::condition_variable& queueChanged = *new std::condition_variable;
std::deque<std::shared_ptr<Request>>& pending = *new std::deque<std::shared_ptr<Request>>;
uint64_t wakeCount = 0;

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

// Lives in the main thread; one posted event drains the queue.
class Waker : public QObject {
public:
    bool event(QEvent* e) override
    {
        AcquireWake();
        if (e->type() != QEvent::User)
            return QObject::event(e);
        CheckSynchronize();
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

// One wake-up event drains every request queued before it runs, so a request
// that finds others queued needs none of its own.
void Queue(const std::shared_ptr<Request>& request)
{
    bool first = false;
    {
        std::lock_guard lock(queueMutex);
        first = pending.empty();
        pending.push_back(request);
        ++wakeCount;
    }
    queueChanged.notify_all();
    if (!first)
        return;
    auto* wake = new QEvent(QEvent::User);
    ReleaseWake();
    QCoreApplication::postEvent(MainWaker(), wake);
}

} // namespace

bool Exists()
{
    return QCoreApplication::instance() != nullptr;
}

bool IsCurrent()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void Post(std::function<void()> fn)
{
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    if (Exists())
        Queue(request);
}

void Synchronize(const std::function<void()>& fn)
{
    if (!Exists() || IsCurrent()) {
        fn();
        return;
    }
    auto request = std::make_shared<Request>();
    request->fn = fn;
    Queue(request);
    {
        std::unique_lock lock(queueMutex);
        queueChanged.wait(lock, [&] { return request->done; });
    }
    if (request->error)
        std::rethrow_exception(request->error);
}

void CheckSynchronize()
{
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard lock(queueMutex);
            if (pending.empty())
                return;
            request = pending.front();
            pending.pop_front();
        }
        try {
            request->fn();
        } catch (...) {
            request->error = std::current_exception();
        }
        {
            std::lock_guard lock(queueMutex);
            request->done = true;
        }
        queueChanged.notify_all();
    }
}

void WaitUntil(const std::function<bool()>& ready)
{
    const bool main = IsCurrent();
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
    {
        std::lock_guard lock(queueMutex);
        ++wakeCount;
    }
    queueChanged.notify_all();
}

} // namespace MainThread
