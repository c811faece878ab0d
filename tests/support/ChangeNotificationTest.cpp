#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

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

TEST(Property, OwnerIsToldOnceAfterEachRealChangeOfTheLimitedValueAndSeesIt) {
    Watched<Property<int>, int> number(3);
    for (int v : {3, 7, 7, 3})
        number.property = v;
    EXPECT_EQ(number.seen, (std::vector<int>{7, 3}));

    // A NaN equals nothing, itself included: every NaN assigned is a change.
    Watched<Property<float>, float> level(1.0f);
    for (float v : {kNaN, kNaN, 1.0f, 1.0f})
        level.property = v;
    EXPECT_EQ(level.seen.size(), 3u);

    // Limited properties limit before comparing, so only real changes notify.
    Watched<LimitedProperty<int>, int> limited(0, 5, 2);
    for (int v : {9, 9, 5, -4, 4})  // holds 5 (told), 5, 5, 0 (told), 4 (told)
        limited.property = v;
    limited.property.setLimits(0, 3);   // re-limits the value it holds and tells the owner
    limited.property.setLimits(0, 10);  // the value is within: nothing to tell
    EXPECT_EQ(limited.seen, (std::vector<int>{5, 0, 4, 3}));

    // The initial value is limited too, and a NaN becomes the minimum.
    Watched<LimitedProperty<float>, float> limitedLevel(-2.0f, 2.0f, 10.0f);
    EXPECT_EQ(limitedLevel.property.get(), 2.0f);
    for (float v : {kNaN, kNaN})
        limitedLevel.property = v;
    EXPECT_EQ(limitedLevel.seen, std::vector<float>{-2.0f});
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

    // Called first, it removes "b", not yet reached: neither "b" nor any handler twice runs.
    event.addFunction([&](void*) {
        log += 'r';
        event.removeHandler(&b, &Listener::onEvent);
    });
    log.clear();
    event.fire(&log);
    EXPECT_TRUE(log == "prfAa" && event.handlerCount() == 4u) << log;
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
    const auto state = [&] { return log + std::to_string(m.updates); };  // events, then updates
    m.raise(m.gainChanged);  // outside a hold: at once, and only the pending event fires
    EXPECT_EQ(state(), "g1");
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
    EXPECT_EQ(state(), "ggm2");
    { UpdatedObject::ScopedHold idle(m); }  // nothing requested: no update
    EXPECT_EQ(state(), "ggm2");
    m.requestFromUpdate = true;
    m.requestUpdate();           // the update's own request is dropped: one update, no recursion
    EXPECT_EQ(state(), "ggm3");  // nothing was raised since the last update
}

}  // namespace
}  // namespace tessel
