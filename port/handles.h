#pragma once
// The handle table behind every HANDLE the port layer gives out. A handle is
// an opaque number that is never reused, so a stale handle is reported as
// ERROR_INVALID_HANDLE instead of reaching an object that is gone.
#include "vxport.h"

#include <memory>

namespace vxport::detail {

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // Called once when CloseHandle removes the handle from the table; the
    // object itself lives on while another thread still holds it.
    virtual void Close() {}
};

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> Lookup(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}

// Fails with ERROR_INVALID_HANDLE, for the common "not a handle of this kind".
BOOL InvalidHandle();

} // namespace vxport::detail
