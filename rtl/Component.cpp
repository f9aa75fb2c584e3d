#include "Component.h"

#include "Application.h"

#include <algorithm>
#include <exception>

namespace {
thread_local TLayoutReading* currentReading = nullptr;
}

// ---- TComponent -------------------------------------------------------------

TComponent::TComponent(QObject* AOwner) : QObject(AOwner)
{
    if (currentReading) {
        BeginLoading();
        currentReading->Register(this);
    }
}

TComponent::~TComponent()
{
    NotifyDestroying();
}

void TComponent::Loaded()
{
    loading_.store(false, std::memory_order_release);
}

void TComponent::FreeNotification(QObject* other)
{
    if (!other || other == this || destroying_)
        return;
    if (auto* component = qobject_cast<TComponent*>(other)) {
        if (component->destroying_)
            return;
        component->AddListener(this);
        AddListener(component);
        return;
    }
    if (watched_.count(other))
        return;
    watched_[other] = connect(
        other, &QObject::destroyed, this,
        [this](QObject* dying) {
            watched_.erase(dying);
            Notification(dying, opRemove);
        },
        Qt::DirectConnection);
}

void TComponent::RemoveFreeNotification(QObject* other)
{
    if (!other)
        return;
    if (auto* component = qobject_cast<TComponent*>(other)) {
        component->RemoveListener(this);
        RemoveListener(component);
    }
    auto it = watched_.find(other);
    if (it != watched_.end()) {
        disconnect(it->second);
        watched_.erase(it);
    }
}

void TComponent::Notification(QObject*, TOperation) {}

void TComponent::NotifyDestroying()
{
    if (destroying_)
        return;
    destroying_ = true;
    Destroying();
    for (auto& [object, connection] : watched_)
        disconnect(connection);
    watched_.clear();
    // One at a time from the live list: a notification may destroy another
    // listener, which then takes itself off this list.
    while (!listeners_.empty()) {
        TComponent* listener = listeners_.front();
        listeners_.erase(listeners_.begin());
        listener->RemoveListener(this);
        if (!listener->destroying_)
            listener->Notification(this, opRemove);
    }
}

void TComponent::AddListener(TComponent* listener)
{
    if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
        listeners_.push_back(listener);
}

void TComponent::RemoveListener(TComponent* listener)
{
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

// ---- TLayoutReading ---------------------------------------------------------

TLayoutReading::TLayoutReading(QObject* owner) : owner_(owner), outer_(currentReading)
{
    currentReading = this;
}

TLayoutReading::~TLayoutReading()
{
    if (finished_)
        return;
    try {
        Finish();
    } catch (...) {
        Application::ShowException(std::current_exception());
    }
}

void TLayoutReading::Register(TComponent* component)
{
    components_.emplace_back(component);
}

void TLayoutReading::Finish()
{
    if (finished_)
        return;
    finished_ = true;
    if (currentReading == this)
        currentReading = outer_;
    std::exception_ptr first;
    for (const QPointer<TComponent>& component : components_) {
        if (!component || !component->IsLoading())
            continue;
        try {
            component->Loaded();
        } catch (...) {
            if (!first)
                first = std::current_exception();
        }
    }
    components_.clear();
    if (first)
        std::rethrow_exception(first);
}
