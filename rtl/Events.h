#pragma once
// Events are method pointers: a handler is the pair (code, object). It is
// assigned when its code is set, and two handlers are equal only when both
// their code and their object are equal, so that the same method of two
// objects makes two different handlers and the same method bound twice to one
// object makes one.
//
//   TMethod<TObject*, int32_t> h = MakeMethod(this, &TBox::HandleNotify);
//   TMethod<TObject*> g = [&](TObject*) { ... };   // code: the lambda's type
//   TMethod<TObject*> k(lambda, owner);            // object: owner
//
// The object is only an identity: a handler never keeps it alive.
#include <QObject>

#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <type_traits>
#include <typeinfo>

// The Sender of every event.
using TObject = QObject;

template <class... Args>
class TMethod {
public:
    TMethod() = default;
    TMethod(std::nullptr_t) {}

    template <class F>
        requires(std::is_invocable_v<F&, Args...> && !std::is_same_v<std::decay_t<F>, TMethod> &&
                 !std::is_same_v<std::decay_t<F>, std::nullptr_t>)
    TMethod(F f, const void* object = nullptr)
        : call_(std::make_shared<const std::function<void(Args...)>>(std::move(f))), code_(&typeid(std::decay_t<F>)),
          object_(object)
    {
    }

    // The method `method` of `obj`; `obj` may be of a class derived from the
    // method's class.
    template <class Obj, class C, class R, class... P>
    static TMethod Bind(Obj* obj, R (C::*method)(P...))
    {
        C* target = obj;
        TMethod m([target, method](Args... args) { (target->*method)(std::forward<Args>(args)...); }, target);
        m.SetCode(method);
        return m;
    }
    template <class Obj, class C, class R, class... P>
    static TMethod Bind(Obj* obj, R (C::*method)(P...) const)
    {
        const C* target = obj;
        TMethod m([target, method](Args... args) { (target->*method)(std::forward<Args>(args)...); }, target);
        m.SetCode(method);
        return m;
    }

    bool Assigned() const { return code_ != nullptr; }
    explicit operator bool() const { return Assigned(); }
    const void* Data() const { return object_; }

    // Calls the handler; an unassigned handler does nothing. The handler is
    // kept alive while it runs, should it destroy the object that holds it
    // (a component deleted from its own event).
    void operator()(Args... args) const
    {
        if (const auto call = call_)
            (*call)(std::forward<Args>(args)...);
    }

    bool operator==(const TMethod& other) const
    {
        if (!code_ || !other.code_)
            return !code_ && !other.code_;
        return *code_ == *other.code_ && codeBytes_ == other.codeBytes_ && object_ == other.object_;
    }

private:
    template <class M>
    void SetCode(M method)
    {
        static_assert(sizeof(M) <= sizeof(codeBytes_), "method pointer too wide");
        code_ = &typeid(M);
        codeBytes_.fill(std::byte{0});
        std::memcpy(codeBytes_.data(), &method, sizeof(M));
    }

    std::shared_ptr<const std::function<void(Args...)>> call_;
    const std::type_info* code_ = nullptr;
    std::array<std::byte, 4 * sizeof(void*)> codeBytes_{};
    const void* object_ = nullptr;
};

// The handler for method `method` of `obj`, typed from the method's parameters.
template <class Obj, class C, class R, class... P>
TMethod<P...> MakeMethod(Obj* obj, R (C::*method)(P...))
{
    return TMethod<P...>::Bind(obj, method);
}
template <class Obj, class C, class R, class... P>
TMethod<P...> MakeMethod(Obj* obj, R (C::*method)(P...) const)
{
    return TMethod<P...>::Bind(obj, method);
}

// The plain notify handler (Sender).
using TNotifyEvent = TMethod<TObject*>;
