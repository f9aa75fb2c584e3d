#pragma once
// A reference to a callable for a call that does not outlive it: what a
// const std::function& parameter gives, without the copy into the function
// object (and the allocation that a capture of more than two pointers costs
// there). It must not be kept past the full expression that made it from a
// temporary.
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

template <class Signature>
class TFunctionRef;

template <class R, class... Args>
class TFunctionRef<R(Args...)> {
public:
    template <class F, class = std::enable_if_t<!std::is_same_v<std::remove_cvref_t<F>, TFunctionRef> &&
                                                std::is_invocable_r_v<R, F&, Args...>>>
    TFunctionRef(F&& f) noexcept
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
          call_([](void* object, Args... args) -> R {
              return std::invoke(*static_cast<std::remove_reference_t<F>*>(object), std::forward<Args>(args)...);
          })
    {
    }

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};
