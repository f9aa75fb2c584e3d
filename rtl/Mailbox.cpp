#include "Mailbox.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPointer>

namespace {

const QEvent::Type kMail = QEvent::Type(QEvent::registerEventType());

} // namespace

TMailbox::TMailbox(QObject* parent) : QObject(parent) {}

void TMailbox::Post(std::function<void()> fn)
{
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(fn));
    if (queue_.size() == 1)
        QCoreApplication::postEvent(this, new QEvent(kMail));
}

bool TMailbox::event(QEvent* e)
{
    std::unique_lock lock(mutex_); // before the event is read: see Post
    if (e->type() != kMail) {
        lock.unlock();
        return QObject::event(e);
    }
    std::vector<std::function<void()>> mail = std::move(queue_);
    queue_.clear();
    lock.unlock();
    // A function may destroy the mailbox (its owner); the rest then goes
    // with it.
    const QPointer<TMailbox> self(this);
    for (auto& fn : mail) {
        fn();
        if (!self)
            break;
    }
    return true;
}
