#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/EventForwarderList.h"
#include "support/NotifyEvent.h"
#include "support/Property.h"
#include "support/UpdatedObject.h"

namespace tessel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// An owner with one property, recording the value the property holds at each call.
template <typename P, typename T>
struct Watched : PropertyOwner {
    template <typename... Args>
    explicit Watched(Args... args) : property(this, args...) {}
    void propertyChanged(AbstractProperty* changed) override {
        EXPECT_EQ(changed, &property);
        seen.push_back(property.get());
    }
    P property;
    std::vector<T> seen;
};

TEST(Property, OwnerIsToldOnceAfterEachRealChangeAndSeesTheStoredValue) {
    Watched<Property<int>, int> number(3);
    for (int v : {3, 7, 7, 3})
        number.property = v;
    EXPECT_EQ(number.seen, (std::vector<int>{7, 3}));

    // A NaN equals nothing, itself included: every NaN assigned is a change.
    Watched<Property<float>, float> level(1.0f);
    for (float v : {kNaN, kNaN, 1.0f, 1.0f})
        level.property = v;
    EXPECT_EQ(level.seen.size(), 3u);

    Property<int> unowned(nullptr, 1);  // changes without telling anyone
    unowned = 2;
    EXPECT_EQ(unowned.get(), 2);
}

TEST(LimitedProperty, LimitsBeforeComparingSoOnlyRealChangesNotify) {
    Watched<LimitedProperty<int>, int> number(0, 5, 2);
    for (int v : {9, 9, 5, -4})  // holds 5 (told), 5, 5, 0 (told)
        number.property = v;
    EXPECT_EQ(number.seen, (std::vector<int>{5, 0}));
    number.property = 4;
    number.property.setLimits(0, 3);   // re-limits the value it holds and tells the owner
    number.property.setLimits(0, 10);  // the value is within: nothing to tell
    EXPECT_EQ(number.seen, (std::vector<int>{5, 0, 4, 3}));

    // The initial value is limited too, and a NaN becomes the minimum.
    Watched<LimitedProperty<float>, float> level(-2.0f, 2.0f, 10.0f);
    EXPECT_EQ(level.property.get(), 2.0f);
    for (float v : {kNaN, kNaN})
        level.property = v;
    EXPECT_EQ(level.seen, std::vector<float>{-2.0f});
}

// Appends its name to a shared log ('?' when the sender is not that log); onOther in upper case.
struct Listener {
    std::string* log;
    char name;
    void onEvent(void* sender) { *log += sender == log ? name : '?'; }
    void onOther(void*) { *log += static_cast<char>(name - 'a' + 'A'); }
};

TEST(NotifyEvent, FiresPrimaryThenLastRegisteredFirstAndRemovesOnlyTheLastMatchEvenDuringFire) {
    std::string log;
    Listener primary{&log, 'p'}, a{&log, 'a'}, b{&log, 'b'};
    NotifyEvent event;
    event.addHandler(&a, &Listener::onEvent);
    event.addHandler(&b, &Listener::onEvent);
    event.addHandler(&a, &Listener::onOther);
    event.addHandler(&a, &Listener::onEvent);  // same target and function as the first
    event.addFunction([&](void*) { log += 'f'; });
    event.setPrimaryHandler(&primary, &Listener::onEvent);  // set last, still called first
    event.removeHandler(&a, &Listener::onEvent);            // the later "a" only
    event.removeHandler(&b, &Listener::onOther);            // matches nothing
    event.fire(&log);
    EXPECT_EQ(log, "pfAba");

    // Called first of the listed handlers, it removes "b", which the walk has not reached: the
    // walk must neither call "b" nor call any remaining handler twice.
    event.addFunction([&](void*) {
        log += 'r';
        event.removeHandler(&b, &Listener::onEvent);
    });
    log.clear();
    event.fire(&log);
    EXPECT_EQ(log, "prfAa");
    EXPECT_EQ(event.handlerCount(), 4u);
}

// Two deferred events, registered gain first, as the band layout models use them.
struct Model : UpdatedObject {
    Model() {
        registerDeferredEvent(gainChanged);
        registerDeferredEvent(modeChanged);
    }
    void performUpdate() override {
        UpdatedObject::performUpdate();
        ++updates;
        if (requestFromUpdate) requestUpdate();
    }
    NotifyEvent onGain, onMode;
    DeferredEvent gainChanged{&onGain, this}, modeChanged{&onMode, this};
    int updates = 0;
    bool requestFromUpdate = false;
};

TEST(UpdatedObject, HoldsCoalesceChangesIntoOneUpdateAndRequestsFromARunningUpdateAreDropped) {
    Model m;
    std::string log;
    m.onGain.addFunction([&](void* sender) { log += sender == &m ? 'g' : '?'; });
    m.onMode.addFunction([&](void*) { log += 'm'; });
    m.raise(m.gainChanged);  // outside a hold: at once, and only the pending event fires
    EXPECT_EQ(m.updates, 1);
    EXPECT_EQ(log, "g");
    {
        UpdatedObject::ScopedHold outer(m);
        {
            UpdatedObject::ScopedHold inner(m);
            m.raise(m.modeChanged);  // raised first, but registered second
            for (int i = 0; i < 10; ++i)
                m.raise(m.gainChanged);
        }
        EXPECT_EQ(m.updates, 1);  // waits for the outermost hold
    }
    EXPECT_EQ(m.updates, 2);
    EXPECT_EQ(log, "ggm");
    { UpdatedObject::ScopedHold idle(m); }  // nothing requested: no update
    EXPECT_EQ(m.updates, 2);
    m.requestFromUpdate = true;
    m.requestUpdate();  // the update's own request is dropped: one update, no recursion
    EXPECT_EQ(m.updates, 3);
    EXPECT_EQ(log, "ggm");  // nothing was raised since the last update
}

template <typename F>
std::unique_ptr<NotifyEvent::Handler> makeHandler(F function) {
    return std::make_unique<NotifyEvent::HandlerImplFunc<F>>(std::move(function));
}

TEST(EventForwarderList, CallsEachQueuedRecordOnceInQueueOrderWithItsNewestArgument) {
    EventForwarderList list;
    using Log = std::vector<std::pair<char, void*>>;
    Log log;
    const auto recorder = [&log](char name) {
        return makeHandler([&log, name](void* argument) { log.emplace_back(name, argument); });
    };
    int x = 0, y = 0, z = 0;
    EventForwarderList::Call b(list.adoptHandler(recorder('b')));
    EventForwarderList::Call c(list.adoptHandler(recorder('c')));
    EventForwarderList::Call a(list.adoptHandler(makeHandler([&](void* argument) {
        log.emplace_back('a', argument);
        list.queue(c, &x);  // queued by a handler: runs in the same pass
    })));
    {
        UpdatedObject::ScopedHold hold(list);
        list.queue(b, &x);
        list.queue(a, &y);
        list.queue(b, &z);  // already queued: keeps its place, takes the newer argument
        EXPECT_TRUE(log.empty());
    }
    EXPECT_EQ(log, (Log{{'b', &z}, {'a', &y}, {'c', &x}}));
    list.queue(b, &y);  // outside a hold: at once, and only this record
    EXPECT_EQ(log, (Log{{'b', &z}, {'a', &y}, {'c', &x}, {'b', &y}}));
}

}  // namespace
}  // namespace tessel
