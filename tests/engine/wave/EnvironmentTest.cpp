#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/wave/Environment.h"
#include "engine/wave/SubEnvironment.h"
#include "engine/wave/TestNodes.h"

namespace tessel::wave {
namespace {

using test::CountingSource;
using test::DoublingFilter;

void runCycle(Environment& env, std::vector<Producer*> pulled, int32_t frames, int32_t flags = 0) {
    env.beginCycle();
    for (Producer* p : pulled)
        p->pull(frames);
    env.advance(frames, flags);
}

TEST(Environment, ProducerReadByThreeConsumersRunsOncePerCycle) {
    Environment env(64, true);
    CountingSource source(&env);
    DoublingFilter a(&env), b(&env), c(&env);
    for (DoublingFilter* f : {&a, &b, &c})
        f->setInput(&source);
    for (int cycle = 1; cycle <= 3; ++cycle) {
        runCycle(env, {&a, &b, &c}, 16);
        EXPECT_EQ(source.calls, cycle);
    }
    // All three saw the same block: doubled sample index of the third cycle (33..48).
    for (DoublingFilter* f : {&a, &b, &c}) {
        EXPECT_EQ(f->outputBlock()->data()[0], 66.0f);
        EXPECT_EQ(f->outputBlock()->data()[15], 96.0f);
        EXPECT_EQ(f->value(), 66.0f);
    }
    EXPECT_EQ(env.samplePosition(), 48);
}

TEST(Environment, RootListRunsUnpulledEntriesAtCycleEndAndFrontEntriesAlways) {
    Environment env(64, true);
    std::vector<std::string> order;
    struct Named : Source {
        Named(Environment* e, std::string n, std::vector<std::string>* o)
            : Source(e), name(std::move(n)), log(o) {}
        void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
            log->push_back(name + ":" + std::to_string(mode));
            block->fillConstant(0.0f, frames);
        }
        std::string name;
        std::vector<std::string>* log;
    };
    Named end(&env, "end", &order), pulledEnd(&env, "pulled", &order),
        afterFront(&env, "after", &order), front(&env, "front", &order),
        loose(&env, "loose", &order);
    env.addRoot(&end, 2);
    env.addRoot(&pulledEnd, 2);
    env.addRoot(&afterFront, 1);
    env.addRoot(&front, 0);
    runCycle(env, {&front, &pulledEnd}, 8);
    // Pulled entries are not run again, except front entries (mode 2); unlisted ones never run.
    EXPECT_EQ(order,
              (std::vector<std::string>{"front:0", "pulled:0", "front:2", "after:1", "end:1"}));
    order.clear();
    runCycle(env, {}, 8, Environment::kSkipRootList);
    EXPECT_TRUE(order.empty()) << "flag bit 0 skips the root list";
    EXPECT_EQ(env.samplePosition(), 16) << "but the position still advances";
}

TEST(Environment, DetachedProducersLeaveRootListAndAttachedResets) {
    Environment env(64, true);
    CountingSource p(&env);
    env.addRoot(&p, 0);
    env.addResettable(&p);
    env.addResettable(&p);  // a second registration is ignored
    EXPECT_EQ(env.resetCount(), 1u);
    p.setAttached(false);
    EXPECT_EQ(env.rootCount(), 0u);
    EXPECT_TRUE(p.inRootList()) << "the flag is kept for re-attaching";
    runCycle(env, {}, 8);
    EXPECT_EQ(p.calls, 0);
    env.reset(Environment::kResetAttached);
    EXPECT_EQ(p.resets, 0);
    env.reset(Environment::kResetAll);
    EXPECT_EQ(p.resets, 1);
    p.setAttached(true);
    EXPECT_EQ(p.resets, 2) << "attaching a resettable producer resets it";
    EXPECT_EQ(env.rootCount(), 1u);
    runCycle(env, {}, 8);
    EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(p.lastMode, 2) << "re-attached with its root mode";
}

TEST(Environment, ResetModesMovePositionsResetProducersAndRecurse) {
    struct Case {
        int32_t mode;
        bool movesDiscontinuity;
        int rootAttachedResets;
        int rootDetachedResets;
        int subResets;
    };
    const Case cases[] = {
        {Environment::kResetAttached, true, 1, 0, 1},
        {Environment::kResetAll, true, 1, 1, 1},
        {Environment::kResetPositionOnly, false, 0, 0, 0},
        {Environment::kResetLocal, true, 1, 0, 0},
    };
    for (const Case& c : cases) {
        Environment root(64, true);
        SubEnvironment sub(&root, 2, 0, false);
        CountingSource attached(&root), detached(&root), inSub(&sub);
        for (CountingSource* p : {&attached, &detached})
            root.addResettable(p);
        sub.addResettable(&inSub);
        detached.setAttached(false);
        runCycle(root, {}, 10);
        root.reset(c.mode);
        SCOPED_TRACE(c.mode);
        EXPECT_EQ(root.resetPosition(), 10);
        EXPECT_EQ(root.discontinuityPosition(), c.movesDiscontinuity ? 10 : 0);
        EXPECT_EQ(attached.resets, c.rootAttachedResets);
        EXPECT_EQ(detached.resets, c.rootDetachedResets);
        EXPECT_EQ(inSub.resets, c.subResets);
        EXPECT_EQ(sub.resetPosition(), c.mode == Environment::kResetLocal ? 0 : 20);
    }
}

struct RateListener {
    void primary(void* sender) {
        log.push_back("primary@" + std::to_string(static_cast<Environment*>(sender)->sampleRate()));
    }
    void first(void*) { log.push_back("first"); }
    void second(void*) { log.push_back("second"); }
    std::vector<std::string> log;
};

TEST(Environment, SampleRateChangeResetsAndNotifiesOnlyBeyondTolerance) {
    Environment root(64, true);
    SubEnvironment sub(&root, 4, 0, false);
    CountingSource p(&root), q(&sub);
    root.addResettable(&p);
    sub.addResettable(&q);
    p.setAttached(false);  // rate changes reset every entry, attached or not
    RateListener listener;
    root.sampleRateChangedEvent().setPrimaryHandler(&listener, &RateListener::primary);
    root.sampleRateChangedEvent().addHandler(&listener, &RateListener::first);
    root.sampleRateChangedEvent().addHandler(&listener, &RateListener::second);
    int subEvents = 0;
    sub.sampleRateChangedEvent().addFunction([&](void*) { ++subEvents; });

    root.setSampleRate(44100.0f);
    EXPECT_TRUE(listener.log.empty()) << "no change, no notification";
    root.setSampleRate(44100.0f + 1e-8f);
    EXPECT_TRUE(listener.log.empty());
    EXPECT_EQ(p.resets, 0);

    runCycle(root, {}, 32);
    root.setSampleRate(48000.0f);
    EXPECT_EQ(listener.log, (std::vector<std::string>{"primary@48000.000000", "second", "first"}));
    EXPECT_EQ(p.resets, 1);
    EXPECT_EQ(q.resets, 1);
    EXPECT_EQ(subEvents, 1);
    EXPECT_EQ(sub.sampleRate(), 192000.0f);
    EXPECT_EQ(root.resetPosition(), 32);
    EXPECT_EQ(root.discontinuityPosition(), 32);

    root.setSampleRate(0.0f);
    root.setSampleRate(std::numeric_limits<float>::quiet_NaN());
    root.setSampleRate(-1.0f);
    EXPECT_EQ(root.sampleRate(), 48000.0f) << "non-rates are ignored";
}

TEST(Environment, SubEnvironmentsCycleAndAdvanceAtTheirFactor) {
    Environment root(64, true);
    SubEnvironment sub(&root, 2, 0, false);
    SubEnvironment subSub(&sub, 2, 0, false);
    CountingSource atFour(&subSub);
    subSub.addRoot(&atFour, 2);
    EXPECT_EQ(subSub.maxBlockSize(), 256);
    root.beginCycle();
    EXPECT_EQ(sub.cycleNumber(), root.cycleNumber());
    EXPECT_EQ(subSub.cycleNumber(), root.cycleNumber());
    root.advance(16, 0);
    EXPECT_EQ(root.samplePosition(), 16);
    EXPECT_EQ(sub.samplePosition(), 32);
    EXPECT_EQ(subSub.samplePosition(), 64);
    EXPECT_EQ(atFour.calls, 1) << "root lists of sub-environments run too";
    EXPECT_EQ(atFour.outputBlock()->data()[63], 64.0f) << "with frames at their own rate";
}

TEST(Environment, AllSettledAsksEveryResettableProducerRecursively) {
    Environment root(64, true);
    SubEnvironment sub(&root, 2, 0, false);
    CountingSource a(&root), b(&sub);
    root.addResettable(&a);
    sub.addResettable(&b);
    EXPECT_TRUE(root.allSettled());
    b.settled = false;
    EXPECT_FALSE(root.allSettled());
    b.settled = true;
    a.settled = false;
    EXPECT_FALSE(root.allSettled());
}

TEST(Environment, DisplayAndShutdownFlagsReachTheWholeTree) {
    Environment root(64, true);
    SubEnvironment sub(&root, 2, 0, false);
    root.setDisplayActive(true);
    EXPECT_TRUE(sub.displayActive());
    root.setDisplayActive(false);
    EXPECT_FALSE(sub.displayActive());

    auto p = std::make_unique<CountingSource>(&sub);
    sub.addRoot(p.get(), 2);
    sub.addResettable(p.get());
    auto q = std::make_unique<CountingSource>(&sub);
    sub.addRoot(q.get(), 2);
    q.reset();
    EXPECT_EQ(sub.rootCount(), 1u) << "a destroyed producer leaves the lists";
    root.setShuttingDown(true);
    EXPECT_TRUE(sub.shuttingDown());
    p.reset();
    EXPECT_EQ(sub.rootCount(), 1u) << "while shutting down, dying producers do not touch the lists";
}

TEST(Environment, ProducerCreatedMidRunComputesOnFirstPull) {
    Environment env(64, true);
    runCycle(env, {}, 8);
    env.beginCycle();
    CountingSource late(&env);
    EXPECT_FALSE(late.computedThisCycle());
    late.pull(8);
    EXPECT_EQ(late.calls, 1);
    EXPECT_TRUE(late.computedThisCycle());
}

}  // namespace
}  // namespace tessel::wave
