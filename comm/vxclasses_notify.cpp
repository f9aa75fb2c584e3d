#include "vxclasses_notify.h"

#include "Exceptions.h"

#include <string>

namespace {
[[noreturn]] void OutOfBounds(int32_t index)
{
    throw ERangeError("List index out of bounds (" + std::to_string(index) + ")");
}
} // namespace

int32_t TvxNotifyList::Add(const TOnNotifyEvent& Handler)
{
    std::lock_guard lock(mutex_);
    entries_.push_back(Handler);
    return int32_t(entries_.size()) - 1;
}

void TvxNotifyList::Delete(int32_t Index)
{
    std::lock_guard lock(mutex_);
    if (Index < 0 || Index >= int32_t(entries_.size()))
        OutOfBounds(Index);
    entries_.erase(entries_.begin() + Index);
}

void TvxNotifyList::Clear()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
}

TOnNotifyEvent TvxNotifyList::Get(int32_t Index) const
{
    std::lock_guard lock(mutex_);
    if (Index < 0 || Index >= int32_t(entries_.size()))
        OutOfBounds(Index);
    return entries_[size_t(Index)];
}

int32_t TvxNotifyList::IndexOf(const TOnNotifyEvent& Handler) const
{
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i)
        if (entries_[i] == Handler)
            return int32_t(i);
    return -1;
}

int32_t TvxNotifyList::Count() const
{
    std::lock_guard lock(mutex_);
    return int32_t(entries_.size());
}

void TvxNotifyList::Broadcast(TObject* Sender, int32_t Kind, const std::function<bool()>& GoesOn)
{
    const int32_t count = Count();
    for (int32_t i = 0; i < count; ++i) {
        if (i > 0 && GoesOn && !GoesOn())
            return;
        TOnNotifyEvent handler;
        {
            std::lock_guard lock(mutex_);
            if (i >= int32_t(entries_.size()))
                return;
            handler = entries_[size_t(i)];
        }
        // Called outside the lock: the handler may change the list.
        handler(Sender, Kind);
    }
}
