#pragma once
// The handle table behind every HANDLE the port layer gives out. A handle is
// an opaque number that is never reused, so a stale handle is reported as
// ERROR_INVALID_HANDLE instead of reaching an object that is gone.
#include "vxport.h"

#include <atomic>
#include <memory>
#include <utility>

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
    // True while the table holds the object.
    bool Listed() const { return listed_.load(std::memory_order_acquire); }

private:
    friend HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
    friend std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);

    const Kind kind_;
    std::atomic<bool> listed_{false};
};

// The object behind a handle for the length of one call. A thread keeps the
// objects of the few handles it used last, and lets none of them go while a
// borrowed reference to it lives, so a reference that it finds there costs
// no atomic operation. Any other holds a reference of its own.
// Not to be kept past the call, nor handed to another thread: a transfer
// that stays pending takes a reference of its own with Share.
class BorrowedHandle {
public:
    BorrowedHandle() = default;
    // Looks the handle up; empty when it names no object.
    explicit BorrowedHandle(HANDLE handle);
    BorrowedHandle(BorrowedHandle&& other) noexcept
        : object_(std::exchange(other.object_, nullptr)), slot_(std::exchange(other.slot_, -1)),
          pins_(std::exchange(other.pins_, nullptr)), own_(std::move(other.own_))
    {
    }
    BorrowedHandle& operator=(BorrowedHandle&&) = delete;
    ~BorrowedHandle() { Drop(); }
    explicit operator bool() const { return object_ != nullptr; }
    HandleObject* Object() const { return object_; }

private:
    // `closed`: the slot that keeps the handle's object, closed since; -1.
    void TakeUnkept(uintptr_t key, int closed);

protected:
    void Drop()
    {
        if (pins_)
            --*pins_;
        object_ = nullptr;
        slot_ = -1;
        pins_ = nullptr;
        own_.reset();
    }
    std::shared_ptr<HandleObject> SharedObject() const;

    HandleObject* object_ = nullptr;
    int slot_ = -1;       // the thread's slot that keeps the object, or
    int* pins_ = nullptr; // the count of borrowed references to that slot
    std::shared_ptr<HandleObject> own_;
};

// T is a final class with its kind in T::kHandleKind.
template <class T>
class HandleRef : public BorrowedHandle {
public:
    HandleRef() = default;
    explicit HandleRef(HANDLE handle) : BorrowedHandle(handle)
    {
        if (object_ && object_->HandleKind() != T::kHandleKind)
            Drop();
    }
    T* get() const { return static_cast<T*>(object_); }
    T* operator->() const { return get(); }
    T& operator*() const { return *get(); }
    std::shared_ptr<T> Share() const
    {
        return object_ ? std::shared_ptr<T>(SharedObject(), get()) : nullptr;
    }
};

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> UnregisterHandle(HANDLE handle);
// Lets go of the calling thread's own reference to a handle's object, unless
// a borrowed reference of the thread still uses it: CloseHandle calls it, so
// that the closing thread does not hold the object on.
void ForgetHandle(HANDLE handle);

// Fails with ERROR_INVALID_HANDLE, for the common "not a handle of this kind".
BOOL InvalidHandle();

} // namespace vxport::detail
