#include "handles.h"

#include <array>
#include <mutex>
#include <utility>
#include <unordered_map>

namespace vxport::detail {
namespace {

std::mutex tableMutex;
std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>>& Table()
{
    static auto* table = new std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>>;
    return *table;
}
uintptr_t nextHandle = 0x1000;

// Every transfer looks up its port and its event, and two threads do so for
// every received byte: each thread keeps the objects of the few handles it
// used last, so that neither the table's lock nor a reference count is
// touched each time. Handles are never reused, so a kept number can only
// stand for its own object, and that only while the object is still listed.
// A kept object that has been closed goes when the thread next looks it up,
// when its place is needed, or when the thread ends: a thread holds at most
// kKept of them, and a closed object holds no descriptor.
constexpr int kKept = 4;
// What a lookup reads: plain data, which a thread reaches without the call
// that a thread_local with a destructor costs at every use.
struct Slots {
    uintptr_t handle[kKept];
    HandleObject* object[kKept];
    // Borrowed references to each slot: a slot that has any keeps its object.
    int pins[kKept];
    int next;
};
thread_local constinit Slots slots{};
// A thread may still use handles after its per-thread objects have gone (a
// destructor of a thread_local or, on the main thread, of a static object
// closes a port): from then on it looks its handles up in the table. The
// flag has no destructor, so it can be read to the thread's very end.
thread_local constinit bool keptGone = false;
// The references that keep the slots' objects; a slot is filled only once
// this exists, so its end empties every slot.
struct Keepers {
    std::array<std::shared_ptr<HandleObject>, kKept> objects;
    ~Keepers()
    {
        keptGone = true;
        for (int i = 0; i < kKept; ++i)
            slots.handle[i] = 0;
    }
};
thread_local Keepers keepers;

std::shared_ptr<HandleObject> FromTable(uintptr_t key)
{
    std::lock_guard lock(tableMutex);
    auto it = Table().find(key);
    return it != Table().end() ? it->second : nullptr;
}

// The object may end here, and its destructor may look handles up: the slot
// is empty by then.
void Forget(int i)
{
    slots.handle[i] = 0;
    slots.object[i] = nullptr;
    const auto object = std::move(keepers.objects[i]);
}

} // namespace

[[gnu::hot]] BorrowedHandle::BorrowedHandle(HANDLE handle)
{
    const auto key = reinterpret_cast<uintptr_t>(handle);
    if (key == 0)
        return;
    Slots& kept = slots;
    for (int i = 0; i < kKept; ++i) {
        if (kept.handle[i] != key)
            continue;
        if (!kept.object[i]->Listed()) {
            TakeUnkept(key, i);
            return;
        }
        object_ = kept.object[i];
        slot_ = i;
        pins_ = &kept.pins[i];
        ++kept.pins[i];
        return;
    }
    TakeUnkept(key, -1);
}

// Out of line, so that a kept handle's lookup saves no registers.
[[gnu::noinline]] void BorrowedHandle::TakeUnkept(uintptr_t key, int closed)
{
    if (closed >= 0) {
        if (slots.pins[closed] == 0)
            Forget(closed);
        return;
    }
    own_ = FromTable(key);
    object_ = own_.get();
    if (!own_ || keptGone)
        return;
    int i = -1;
    for (int tries = 0; tries < kKept && i < 0; ++tries) {
        const int candidate = slots.next++ % kKept;
        if (slots.pins[candidate] == 0)
            i = candidate;
    }
    if (i < 0)
        return; // every slot serves a call under way
    // The object this lets go of may end here: its destructor runs once the
    // slot is whole and pinned.
    const auto replaced = std::exchange(keepers.objects[i], std::move(own_));
    slots.handle[i] = key;
    slots.object[i] = object_;
    slot_ = i;
    pins_ = &slots.pins[i];
    ++slots.pins[i];
}

std::shared_ptr<HandleObject> BorrowedHandle::SharedObject() const
{
    return slot_ >= 0 ? keepers.objects[slot_] : own_;
}

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object)
{
    std::lock_guard lock(tableMutex);
    nextHandle += 4;
    object->listed_.store(true, std::memory_order_release);
    Table().emplace(nextHandle, std::move(object));
    return reinterpret_cast<HANDLE>(nextHandle);
}

std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle)
{
    std::lock_guard lock(tableMutex);
    auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Table().end())
        return nullptr;
    auto object = std::move(it->second);
    object->listed_.store(false, std::memory_order_release);
    Table().erase(it);
    return object;
}

void ForgetHandle(HANDLE handle)
{
    for (int i = 0; i < kKept; ++i)
        if (slots.handle[i] == reinterpret_cast<uintptr_t>(handle) && slots.pins[i] == 0)
            Forget(i);
}

BOOL InvalidHandle()
{
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

} // namespace vxport

namespace vxport {

BOOL CloseHandle(HANDLE handle)
{
    // The object ends its pending transfers before the handle goes: a thread
    // that asks for a transfer's result meanwhile still finds the handle and
    // waits for that end, instead of taking the handle for gone while the
    // transfer's record is still to be written.
    {
        const detail::BorrowedHandle object(handle);
        if (!object)
            return detail::InvalidHandle();
        object.Object()->Close();
    }
    if (!detail::UnregisterHandle(handle))
        return detail::InvalidHandle(); // another thread closed it meanwhile
    detail::ForgetHandle(handle);
    return TRUE;
}

} // namespace vxport
