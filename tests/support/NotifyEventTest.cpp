#include "support/NotifyEvent.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessel {
namespace {

struct Listener {
    std::vector<std::string>* log;
    std::string name;
    void* lastSender = nullptr;
    void onEvent(void* sender) {
        lastSender = sender;
        log->push_back(name);
    }
    void onOther(void*) { log->push_back(name + "-other"); }
};

TEST(NotifyEvent, FiresPrimaryThenListedLastRegisteredFirst) {
    std::vector<std::string> log;
    Listener primary{&log, "primary"}, first{&log, "first"}, second{&log, "second"},
        third{&log, "third"};
    NotifyEvent event;
    event.addHandler(&first, &Listener::onEvent);
    event.addHandler(&second, &Listener::onEvent);
    event.addHandler(&third, &Listener::onEvent);
    event.setPrimaryHandler(&primary, &Listener::onEvent);

    int sender = 0;
    event.fire(&sender);
    EXPECT_EQ(log, (std::vector<std::string>{"primary", "third", "second", "first"}));
    EXPECT_EQ(first.lastSender, &sender);
    EXPECT_EQ(primary.lastSender, &sender);
}

TEST(NotifyEvent, RemovalTakesLaterRegisteredMatchOnly) {
    std::vector<std::string> log;
    Listener a{&log, "a"}, b{&log, "b"};
    NotifyEvent event;
    event.addHandler(&a, &Listener::onEvent);
    event.addHandler(&b, &Listener::onEvent);
    event.addHandler(&a, &Listener::onOther);
    event.addHandler(&a, &Listener::onEvent);  // identical to the first one
    event.addFunction([&log](void*) { log.push_back("lambda"); });

    event.removeHandler(&a, &Listener::onEvent);
    EXPECT_EQ(event.handlerCount(), 4u);
    event.fire(nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"lambda", "a-other", "b", "a"}));

    // Unregistered keys and function objects are never matched.
    log.clear();
    event.removeHandler(&b, &Listener::onOther);
    Listener stranger{&log, "x"};
    event.removeHandler(&stranger, &Listener::onEvent);
    EXPECT_EQ(event.handlerCount(), 4u);
    event.removeHandler(&a, &Listener::onEvent);
    event.removeHandler(&a, &Listener::onEvent);  // nothing left to match
    event.fire(nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"lambda", "a-other", "b"}));
}

TEST(NotifyEvent, HandlerRemovingOthersDuringFireCallsEachRemainingOnce) {
    std::vector<std::string> log;
    Listener early{&log, "early"}, middle{&log, "middle"}, late{&log, "late"};
    NotifyEvent event;
    event.addHandler(&early, &Listener::onEvent);
    event.addHandler(&middle, &Listener::onEvent);
    // Called second; removes "early", which the walk has not reached yet.
    event.addFunction([&](void*) {
        log.push_back("remover");
        event.removeHandler(&early, &Listener::onEvent);
    });
    event.addHandler(&late, &Listener::onEvent);

    event.fire(nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"late", "remover", "middle"}));
    EXPECT_EQ(event.handlerCount(), 3u);
    log.clear();
    event.fire(nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"late", "remover", "middle"}));
}

TEST(NotifyEvent, OwnsAndDestroysItsHandlers) {
    int destroyed = 0;
    struct Counting : NotifyEvent::Handler {
        explicit Counting(int* d) : destroyed(d) {}
        ~Counting() override { ++*destroyed; }
        void notify(void*) override {}
        bool matches(const Handler&) const override { return false; }
        int* destroyed;
    };
    {
        NotifyEvent event;
        event.setPrimaryHandler(std::make_unique<Counting>(&destroyed));
        event.addHandler(std::make_unique<Counting>(&destroyed));
        event.addHandler(std::make_unique<Counting>(&destroyed));
        event.setPrimaryHandler(std::make_unique<Counting>(&destroyed));  // replaces the first
        EXPECT_EQ(destroyed, 1);
    }
    EXPECT_EQ(destroyed, 4);
}

}  // namespace
}  // namespace tessel
