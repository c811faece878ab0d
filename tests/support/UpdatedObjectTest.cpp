#include "support/UpdatedObject.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/EventForwarderList.h"
#include "support/Property.h"

namespace tessel {
namespace {

template <typename F>
std::unique_ptr<NotifyEvent::Handler> makeHandler(F function) {
    return std::make_unique<NotifyEvent::HandlerImplFunc<F>>(std::move(function));
}

// A model with two watched values, each raising its own deferred event, in the way the band
// layout models and settings use UpdatedObject.
class Model : public UpdatedObject, public PropertyOwner {
public:
    Model() {
        registerDeferredEvent(gainChanged);
        registerDeferredEvent(modeChanged);
    }

    void propertyChanged(AbstractProperty* property) override {
        raise(property == &gain ? gainChanged : modeChanged);
    }

    void performUpdate() override {
        UpdatedObject::performUpdate();
        ++updates;
        stateDuringUpdate = updateState();
        if (requestFromUpdate) requestUpdate();
    }

    Property<int> gain{this, 0};
    Property<int> mode{this, 0};
    NotifyEvent onGain;
    NotifyEvent onMode;
    DeferredEvent gainChanged{&onGain, this};
    DeferredEvent modeChanged{&onMode, this};
    int updates = 0;
    bool requestFromUpdate = false;
    UpdateState stateDuringUpdate = UpdateState::Idle;
};

TEST(UpdatedObject, ChangesInsideOneHoldCauseOneUpdate) {
    Model m;
    int gainNotifications = 0;
    int modeNotifications = 0;
    void* sender = nullptr;
    m.onGain.addFunction([&](void* s) {
        ++gainNotifications;
        sender = s;
    });
    m.onMode.addFunction([&](void*) { ++modeNotifications; });
    {
        UpdatedObject::ScopedHold hold(m);
        for (int i = 1; i <= 10; ++i)
            m.gain = i;
        EXPECT_EQ(m.updates, 0);
        EXPECT_EQ(m.updateState(), UpdatedObject::UpdateState::RequestedWhileHeld);
    }
    EXPECT_EQ(m.updates, 1);
    EXPECT_EQ(gainNotifications, 1);
    EXPECT_EQ(modeNotifications, 0);  // not pending: skipped
    EXPECT_EQ(sender, &m);
    EXPECT_EQ(m.stateDuringUpdate, UpdatedObject::UpdateState::Running);
    EXPECT_EQ(m.updateState(), UpdatedObject::UpdateState::Idle);
    EXPECT_FALSE(m.gainChanged.isPending());
}

TEST(UpdatedObject, ChangeOutsideHoldUpdatesAtOnceAndNestedHoldsWaitForOutermost) {
    Model m;
    m.gain = 1;
    EXPECT_EQ(m.updates, 1);
    m.gain = 1;  // no change, no request
    EXPECT_EQ(m.updates, 1);

    m.holdUpdates();
    m.holdUpdates();
    m.mode = 3;
    m.releaseUpdates();
    EXPECT_EQ(m.updates, 1);
    EXPECT_EQ(m.holdDepth(), 1u);
    m.releaseUpdates();
    EXPECT_EQ(m.updates, 2);

    // A hold without any request ends without an update.
    { UpdatedObject::ScopedHold hold(m); }
    EXPECT_EQ(m.updates, 2);
}

TEST(UpdatedObject, RequestDuringUpdateIsDropped) {
    Model m;
    m.requestFromUpdate = true;
    m.gain = 5;
    EXPECT_EQ(m.updates, 1);
    EXPECT_EQ(m.updateState(), UpdatedObject::UpdateState::Idle);
}

TEST(UpdatedObject, PendingEventsFireInRegistrationOrderWithTheirHandlerOrder) {
    Model m;
    std::vector<std::string> log;
    m.onMode.setPrimaryHandler(makeHandler([&](void*) { log.push_back("mode-primary"); }));
    m.onMode.addFunction([&](void*) { log.push_back("mode-1"); });
    m.onMode.addFunction([&](void*) { log.push_back("mode-2"); });
    m.onGain.addFunction([&](void*) { log.push_back("gain"); });
    {
        UpdatedObject::ScopedHold hold(m);
        m.mode = 1;  // changed first, but registered second
        m.gain = 1;
    }
    EXPECT_EQ(log, (std::vector<std::string>{"gain", "mode-primary", "mode-2", "mode-1"}));
}

struct Target {
    std::vector<std::pair<std::string, void*>> calls;
    void a(void* arg) { calls.emplace_back("a", arg); }
    void b(void* arg) { calls.emplace_back("b", arg); }
};

TEST(EventForwarderList, ForwardsQueuedCallsOnceInQueueOrderWithNewestArgument) {
    EventForwarderList list;
    Target target;
    EventForwarderList::Call callA(list.adoptHandler(&target, &Target::a));
    EventForwarderList::Call callB(list.adoptHandler(&target, &Target::b));
    int x = 0, y = 0, z = 0;
    {
        UpdatedObject::ScopedHold hold(list);
        list.queue(callB, &x);
        list.queue(callA, &y);
        list.queue(callB, &z);  // already pending: keeps its place, takes the newer argument
        EXPECT_EQ(list.queuedCount(), 2u);
        EXPECT_TRUE(callB.isPending());
        EXPECT_TRUE(target.calls.empty());
    }
    using Calls = std::vector<std::pair<std::string, void*>>;
    EXPECT_EQ(target.calls, (Calls{{"b", &z}, {"a", &y}}));
    EXPECT_EQ(list.queuedCount(), 0u);
    EXPECT_FALSE(callA.isPending());
    EXPECT_FALSE(callB.isPending());

    // Outside a hold a call is forwarded at once.
    list.queue(callA, &x);
    EXPECT_EQ(target.calls.back(), (std::pair<std::string, void*>{"a", &x}));
    EXPECT_EQ(target.calls.size(), 3u);
}

TEST(EventForwarderList, CallQueuedByAHandlerRunsInTheSamePass) {
    EventForwarderList list;
    std::vector<int> order;
    EventForwarderList::Call* second = nullptr;
    EventForwarderList::Call first(list.adoptHandler(makeHandler([&](void*) {
        order.push_back(1);
        list.queue(*second, nullptr);
    })));
    EventForwarderList::Call secondCall(
        list.adoptHandler(makeHandler([&](void*) { order.push_back(2); })));
    second = &secondCall;
    list.queue(first, nullptr);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(list.queuedCount(), 0u);
}

}  // namespace
}  // namespace tessel
