#pragma once
// The handle table behind every HANDLE the port layer gives out. A handle is
// an opaque number that is never reused, so a stale handle is reported as
// ERROR_INVALID_HANDLE instead of reaching an object that is gone.
#include "vxport.h"

#include <atomic>
#include <memory>

namespace vxport::detail {

class HandleObject {
public:
    // What a handle stands for; a lookup of every transfer checks it, which
    // costs less than a dynamic_cast.
    enum class Kind { event, commPort };
    explicit HandleObject(Kind kind) : kind_(kind) {}
    virtual ~HandleObject() = default;
    Kind HandleKind() const { return kind_; }
    // Called by CloseHandle before it removes the handle from the table (by
    // each of two threads that close it at once: it must allow that); the
    // object itself lives on while another thread still holds it.
    virtual void Close() {}

private:
    friend HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
    friend std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
    friend std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

    const Kind kind_;
    // True while the table holds the object: a lookup that finds it in the
    // calling thread's cache believes that only while this holds.
    std::atomic<bool> listed_{false};
};

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

// T is a final class with its kind in T::kHandleKind.
template <class T>
std::shared_ptr<T> Lookup(HANDLE handle)
{
    std::shared_ptr<HandleObject> object = LookupHandle(handle);
    if (!object || object->HandleKind() != T::kHandleKind)
        return nullptr;
    T* typed = static_cast<T*>(object.get());
    return std::shared_ptr<T>(std::move(object), typed);
}

// Fails with ERROR_INVALID_HANDLE, for the common "not a handle of this kind".
BOOL InvalidHandle();

} // namespace vxport::detail
