#pragma once
// Functions posted from any thread to run on the thread of one object, in
// order.
//
// Qt's queued calls carry the same, but the function travels in an object
// that one thread allocates and another reads, ordered only by Qt's own
// locks, which a thread checker built into this program cannot see. Here the
// posting thread queues the function and posts the wake-up under a lock that
// the receiving thread takes before it looks at either.
#include <QObject>

#include <functional>
#include <mutex>
#include <vector>

class TMailbox final : public QObject {
public:
    // Lives on the thread of `parent` and goes with it; what is still queued
    // then never runs.
    explicit TMailbox(QObject* parent);

    void Post(std::function<void()> fn);

protected:
    bool event(QEvent* e) override;

private:
    std::mutex mutex_;
    std::vector<std::function<void()>> queue_;
};
