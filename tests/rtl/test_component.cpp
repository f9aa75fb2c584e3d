#include "Application.h"
#include "Component.h"
#include "Events.h"
#include "Exceptions.h"

#include <QLineEdit>
#include <QPointer>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Records the removals it is told of; may keep a link that it clears.
class TWatcher : public TComponent {
public:
    using TComponent::TComponent;
    using TComponent::NotifyDestroying;
    std::vector<QObject*> removed;
    QObject* link = nullptr;
    std::vector<QObject*>* sink = nullptr;
    int loadedCalls = 0;
    bool failLoaded = false;
    void Loaded() override
    {
        TComponent::Loaded();
        ++loadedCalls;
        if (failLoaded)
            throw Exception("loaded failed");
    }

protected:
    void Notification(QObject* AComponent, TOperation Operation) override
    {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove) {
            removed.push_back(AComponent);
            if (sink)
                sink->push_back(AComponent);
            if (AComponent == link)
                link = nullptr;
        }
    }
};

struct THandlerHost {
    std::vector<int> calls;
    void OnKind(QObject*, int32_t kind) { calls.push_back(kind); }
    void Other(QObject*, int32_t kind) { calls.push_back(-kind); }
};

} // namespace

TEST(Component, OwnerDestroysItsComponents)
{
    auto owner = std::make_unique<QObject>();
    QPointer<TWatcher> a = new TWatcher(owner.get());
    QPointer<TWatcher> b = new TWatcher(owner.get());
    EXPECT_EQ(a->Owner(), owner.get());
    owner.reset();
    EXPECT_TRUE(a.isNull());
    EXPECT_TRUE(b.isNull());
}

TEST(Component, CreatedInCodeIsNotLoadingAndNeverDesigning)
{
    TWatcher c;
    EXPECT_FALSE(c.IsLoading());
    EXPECT_FALSE(c.IsDesigning());
}

TEST(Component, FreeNotificationClearsTheLinkWhenTheOtherDies)
{
    TWatcher a;
    auto* b = new TWatcher;
    a.link = b;
    a.FreeNotification(b);
    const std::vector<QObject*> expected{b};
    delete b;
    EXPECT_EQ(a.removed, expected);
    EXPECT_EQ(a.link, nullptr);
}

TEST(Component, FreeNotificationBetweenComponentsHoldsBothWays)
{
    auto* asker = new TWatcher;
    TWatcher asked;
    asker->FreeNotification(&asked);
    const std::vector<QObject*> expected{asker};
    delete asker;
    EXPECT_EQ(asked.removed, expected);
}

TEST(Component, EarlyNotificationIsSentOnce)
{
    TWatcher a;
    auto* d = new TWatcher;
    a.FreeNotification(d);
    d->NotifyDestroying();
    EXPECT_EQ(a.removed, std::vector<QObject*>{d});
    delete d;
    EXPECT_EQ(a.removed.size(), 1u);
}

TEST(Component, FreeNotificationOfAPlainWidgetAndNoCallAfterEitherSideDied)
{
    auto* edit = new QLineEdit;
    auto* watcher = new TWatcher;
    watcher->link = edit;
    watcher->FreeNotification(edit);
    watcher->FreeNotification(edit); // asked twice, told once
    delete edit;
    EXPECT_EQ(watcher->removed.size(), 1u);
    EXPECT_EQ(watcher->link, nullptr);

    // The requester dies first: the edit's later death calls nobody.
    auto* edit2 = new QLineEdit;
    watcher->FreeNotification(edit2);
    delete watcher;
    delete edit2; // a dangling callback would crash here under ASan
}

TEST(Component, RemovedRequestIsNotTold)
{
    TWatcher a;
    auto* b = new TWatcher;
    auto* edit = new QLineEdit;
    a.FreeNotification(b);
    a.FreeNotification(edit);
    a.RemoveFreeNotification(b);
    a.RemoveFreeNotification(edit);
    delete b;
    delete edit;
    EXPECT_TRUE(a.removed.empty());
}

TEST(Component, SiblingIsToldWhileTheOwnerDestroysThem)
{
    std::vector<QObject*> told;
    auto* owner = new QObject;
    auto* first = new TWatcher(owner);
    auto* second = new TWatcher(owner);
    second->sink = &told;
    second->FreeNotification(first);
    delete owner; // first goes first; second is told while it still exists
    EXPECT_EQ(told, std::vector<QObject*>{first});
}

TEST(Component, LayoutReadingDefersLoadedUntilFinish)
{
    QObject owner;
    auto* early = new TWatcher(&owner);
    TWatcher* a;
    TWatcher* b;
    {
        TLayoutReading reading(&owner);
        a = new TWatcher(&owner);
        b = new TWatcher(&owner);
        EXPECT_TRUE(a->IsLoading());
        EXPECT_TRUE(b->IsLoading());
        EXPECT_EQ(a->loadedCalls, 0);
        reading.Finish();
        EXPECT_FALSE(a->IsLoading());
        EXPECT_EQ(a->loadedCalls, 1);
        EXPECT_EQ(b->loadedCalls, 1);
    }
    EXPECT_EQ(a->loadedCalls, 1); // not again at the end of the scope
    EXPECT_FALSE(early->IsLoading());
    EXPECT_EQ(early->loadedCalls, 0);
    EXPECT_FALSE((new TWatcher(&owner))->IsLoading()); // after the scope: usable at once
}

TEST(Component, LayoutReadingSkipsDestroyedComponentsAndReportsTheFirstFailure)
{
    QObject owner;
    TLayoutReading reading(&owner);
    auto* gone = new TWatcher(&owner);
    auto* failing = new TWatcher(&owner);
    auto* after = new TWatcher(&owner);
    failing->failLoaded = true;
    delete gone;
    EXPECT_THROW(reading.Finish(), Exception);
    EXPECT_EQ(after->loadedCalls, 1);
    EXPECT_FALSE(after->IsLoading());
}

TEST(Component, LayoutReadingEndedByScopeShowsAFailure)
{
    std::vector<std::string> shown;
    auto previous = Application::SetMessagePresenter(
        [&](const std::string& text, const std::string&, Application::MessageIcon) { shown.push_back(text); });
    QObject owner;
    TWatcher* c;
    {
        TLayoutReading reading(&owner);
        c = new TWatcher(&owner);
        c->failLoaded = true;
    }
    Application::SetMessagePresenter(previous);
    EXPECT_EQ(c->loadedCalls, 1);
    EXPECT_EQ(shown, std::vector<std::string>{"loaded failed"});
}

TEST(Method, AssignedOnlyWithCode)
{
    TMethod<QObject*, int32_t> none;
    EXPECT_FALSE(none.Assigned());
    none(nullptr, 1); // an unassigned handler does nothing
    THandlerHost host;
    auto h = MakeMethod(&host, &THandlerHost::OnKind);
    EXPECT_TRUE(h.Assigned());
    h(nullptr, 3);
    EXPECT_EQ(host.calls, std::vector<int>{3});
}

TEST(Method, EqualOnlyWhenCodeAndObjectAreEqual)
{
    THandlerHost one, two;
    using H = TMethod<QObject*, int32_t>;
    EXPECT_EQ(MakeMethod(&one, &THandlerHost::OnKind), MakeMethod(&one, &THandlerHost::OnKind));
    EXPECT_NE(MakeMethod(&one, &THandlerHost::OnKind), MakeMethod(&two, &THandlerHost::OnKind));
    EXPECT_NE(MakeMethod(&one, &THandlerHost::OnKind), MakeMethod(&one, &THandlerHost::Other));
    EXPECT_EQ(H(), H(nullptr));
    EXPECT_NE(H(), MakeMethod(&one, &THandlerHost::OnKind));

    auto lambda = [](QObject*, int32_t) {};
    EXPECT_EQ(H(lambda, &one), H(lambda, &one));
    EXPECT_NE(H(lambda, &one), H(lambda, &two));
    EXPECT_NE(H(lambda), H([](QObject*, int32_t) {}));
}

TEST(Method, VirtualMethodCallsTheOverride)
{
    struct TBase {
        virtual ~TBase() = default;
        virtual void Handle(QObject*) { which = "base"; }
        std::string which;
    };
    struct TDerived : TBase {
        void Handle(QObject*) override { which = "derived"; }
    };
    TDerived d;
    TNotifyEvent h = MakeMethod(&d, &TBase::Handle);
    h(nullptr);
    EXPECT_EQ(d.which, "derived");
    EXPECT_EQ(h, MakeMethod(static_cast<TBase*>(&d), &TBase::Handle));
}
