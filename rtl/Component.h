#pragma once
// The component model, as a thin layer over Qt's object model.
//
// - The owner is the QObject parent: an owner destroys its components.
// - A component created while its owner reads its stored layout (inside a
//   TLayoutReading scope) is loading until Loaded() runs; properties set
//   meanwhile take effect in Loaded(). A component created in code is usable
//   at once. There is no form designer: IsDesigning() is always false.
// - Free notification: FreeNotification(other) asks to be told, through
//   Notification(other, opRemove), when `other` is destroyed. `other` may be a
//   TComponent or any QObject (a check box, an edit control). Between two
//   components the request holds both ways, and it is dropped when either side
//   is destroyed, so no notification ever reaches a component that is gone.
//
// When Notification(AComponent, opRemove) arrives, the dying object's own
// destructor body has already run (for a TComponent descendant that does not
// send its notifications early, see NotifyDestroying): compare its identity,
// drop the link, and do not call into it.
#include <QObject>
#include <QPointer>

#include <atomic>
#include <map>
#include <string>
#include <vector>

enum TOperation { opInsert, opRemove };

class TComponent : public QObject {
    Q_OBJECT
public:
    explicit TComponent(QObject* AOwner = nullptr);
    ~TComponent() override;

    QObject* Owner() const { return parent(); }
    std::string Name() const { return objectName().toStdString(); }
    void SetName(const std::string& name) { setObjectName(QString::fromStdString(name)); }

    // Safe to read from any thread.
    bool IsLoading() const { return loading_.load(std::memory_order_acquire); }
    bool IsDesigning() const { return false; }
    bool IsDestroying() const { return destroying_; }

    // Puts the component into the loading state; Loaded() ends it.
    void BeginLoading() { loading_.store(true, std::memory_order_release); }
    // Runs once the owner's stored layout has been read. Descendants call the
    // base first, which ends the loading state.
    virtual void Loaded();

    void FreeNotification(QObject* other);
    void RemoveFreeNotification(QObject* other);

protected:
    virtual void Notification(QObject* AComponent, TOperation Operation);

    // Tells every component that asked for free notification that this one is
    // going away. ~TComponent does it at the latest; a descendant whose
    // listeners call back into it (RemoveNotify and the like) does it first
    // thing in its own destructor, while its state is still whole. Runs once.
    void NotifyDestroying();
    // Called once by NotifyDestroying, before the notifications, while the
    // object is still whole (as far as its descendant called it early): for
    // work on other threads that has to end before the object goes.
    virtual void Destroying() {}

private:
    void AddListener(TComponent* listener);
    void RemoveListener(TComponent* listener);

    std::atomic<bool> loading_{false};
    bool destroying_ = false;
    // Components to tell when this one is destroyed.
    std::vector<TComponent*> listeners_;
    // Plain objects that this component watches.
    std::map<QObject*, QMetaObject::Connection> watched_;
};

// The owner's reading of its stored layout. Components created while a scope
// is open on this thread start in the loading state; Finish() (or the end of
// the scope) runs Loaded() on each of them that still exists, in the order of
// creation. Scopes nest; a component belongs to the innermost.
//
//   {
//       TLayoutReading reading(this);
//       RS = new TvxComm(this);
//       RS->setProperty("Active", true);   // recorded, not yet applied
//       reading.Finish();                  // RS opens here
//   }
class TLayoutReading {
public:
    explicit TLayoutReading(QObject* owner);
    ~TLayoutReading();
    TLayoutReading(const TLayoutReading&) = delete;
    TLayoutReading& operator=(const TLayoutReading&) = delete;

    QObject* Owner() const { return owner_; }
    // Ends the scope and runs Loaded() on its components. When Loaded() of one
    // raises, the others still run and the first exception is raised again.
    void Finish();

private:
    friend class TComponent;
    void Register(TComponent* component);

    QObject* owner_;
    std::vector<QPointer<TComponent>> components_;
    bool finished_ = false;
    TLayoutReading* outer_;
};
