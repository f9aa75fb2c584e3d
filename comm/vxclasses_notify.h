#pragma once
// The list of notification handlers of an I/O component.
#include "vxclasses_types.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class TvxNotifyList {
public:
    TvxNotifyList() = default;
    ~TvxNotifyList() { Clear(); }
    TvxNotifyList(const TvxNotifyList&) = delete;
    TvxNotifyList& operator=(const TvxNotifyList&) = delete;

    // Appends a copy of Handler; returns its index.
    int32_t Add(const TOnNotifyEvent& Handler);
    // Raises ERangeError for an index that is not in the list.
    void Delete(int32_t Index);
    void Clear();
    // A copy of the handler of entry Index; ERangeError when there is none.
    TOnNotifyEvent Get(int32_t Index) const;
    // The first entry whose code and object both equal Handler's, or -1.
    int32_t IndexOf(const TOnNotifyEvent& Handler) const;
    int32_t Count() const;
    // Calls the handlers of entries 0 .. n-1 with (Sender, Kind), n being the
    // count when the broadcast starts. A handler may add or remove handlers:
    // added ones are not called by this broadcast, and the broadcast ends at
    // an index that no longer exists, so a removed handler is never called.
    // With GoesOn, the broadcast ends once it returns false after a handler
    // (the handler destroyed the list's owner, and the list with it).
    void Broadcast(TObject* Sender, int32_t Kind, const std::function<bool()>& GoesOn = {});

private:
    mutable std::mutex mutex_;
    std::vector<TOnNotifyEvent> entries_;
};
