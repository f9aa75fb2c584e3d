#include "handles.h"

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

} // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object)
{
    std::lock_guard lock(tableMutex);
    nextHandle += 4;
    Table().emplace(nextHandle, std::move(object));
    return reinterpret_cast<HANDLE>(nextHandle);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    std::lock_guard lock(tableMutex);
    auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
    return it == Table().end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle)
{
    std::lock_guard lock(tableMutex);
    auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == Table().end())
        return nullptr;
    auto object = std::move(it->second);
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
