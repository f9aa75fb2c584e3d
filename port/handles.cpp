#include "handles.h"

#include <array>
#include <mutex>
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
// every received byte: each thread remembers the few handles it used last,
// so that the table's lock is not taken each time. Handles are never reused,
// so a remembered number can only stand for its own object, and that only
// while the object is still listed.
struct Remembered {
    uintptr_t handle = 0;
    std::weak_ptr<HandleObject> object;
};
constexpr size_t kRemembered = 4;
// A thread may still use handles after its per-thread objects have gone (a
// destructor of a thread_local or, on the main thread, of a static object
// closes a port): from then on it looks its handles up in the table. The
// flag has no destructor, so it can be read to the thread's very end.
thread_local bool rememberedGone = false;
struct RememberedSet {
    std::array<Remembered, kRemembered> slots;
    size_t next = 0;
    ~RememberedSet() { rememberedGone = true; }
};
thread_local RememberedSet remembered;

} // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object)
{
    std::lock_guard lock(tableMutex);
    nextHandle += 4;
    object->listed_.store(true, std::memory_order_release);
    Table().emplace(nextHandle, std::move(object));
    return reinterpret_cast<HANDLE>(nextHandle);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    const auto key = reinterpret_cast<uintptr_t>(handle);
    if (rememberedGone) {
        std::lock_guard lock(tableMutex);
        auto it = Table().find(key);
        return it != Table().end() ? it->second : nullptr;
    }
    Remembered* slot = nullptr;
    for (auto& r : remembered.slots)
        if (r.handle == key && key != 0) {
            if (auto object = r.object.lock(); object && object->listed_.load(std::memory_order_acquire))
                return object;
            slot = &r;
            break;
        }
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard lock(tableMutex);
        auto it = Table().find(key);
        if (it != Table().end())
            object = it->second;
    }
    if (!slot && object)
        slot = &remembered.slots[remembered.next++ % kRemembered];
    if (slot)
        *slot = object ? Remembered{key, object} : Remembered{};
    return object;
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
    auto object = detail::LookupHandle(handle);
    if (!object)
        return detail::InvalidHandle();
    object->Close();
    if (!detail::UnregisterHandle(handle))
        return detail::InvalidHandle(); // another thread closed it meanwhile
    return TRUE;
}

} // namespace vxport
