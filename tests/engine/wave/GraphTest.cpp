// The graph itself: the environment's cycles, root and reset lists, rate changes and the
// sub-environment tree, and the plumbing nodes (inputs, forwarders, multi-output producers and
// the delay filter with its write-ahead feedback).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/GraphRig.h"
#include "engine/wave/DelayFilter.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Input.h"
#include "engine/wave/InputForwarder.h"
#include "engine/wave/MultiProducer.h"
#include "engine/wave/SubEnvironment.h"

namespace tessel::wave {
namespace {

using tessel::testing::GainFilter;
using tessel::testing::pullCycle;
using Ramp = tessel::testing::PatternSource;  // sample n of the stream holds n + 1

TEST(Environment, ProducerReadByThreeConsumersRunsOncePerCycle) {
    Environment env(64, true);
    Ramp source(&env);
    GainFilter a(&env, 2.0f), b(&env, 2.0f), c(&env, 2.0f);
    for (GainFilter* f : {&a, &b, &c})
        f->setInput(&source);
    for (int cycle = 1; cycle <= 3; ++cycle) {
        pullCycle(env, 16, {&a, &b, &c});
        EXPECT_EQ(source.calls, cycle);
    }
    for (GainFilter* f : {&a, &b, &c}) {  // the same block: the third cycle's samples 33 .. 48
        EXPECT_EQ(f->outputBlock()->data()[0], 66.0f);
        EXPECT_EQ(f->outputBlock()->data()[15], 96.0f);
        EXPECT_EQ(f->value(), 66.0f);
    }
    EXPECT_EQ(env.samplePosition(), 48);
}

TEST(Environment, RootListRunsUnpulledEntriesAtCycleEndAndFrontEntriesAlways) {
    Environment env(64, true);
    std::vector<std::string> order;
    struct Named : Ramp {
        Named(Environment* e, std::vector<std::string>* l, std::string n)
            : Ramp(e), name(std::move(n)), log(l) {}
        void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
            log->push_back(name + ":" + std::to_string(mode));
            Ramp::process(block, frames, mode);
        }
        std::string name;
        std::vector<std::string>* log;
    } end(&env, &order, "end"), pulledEnd(&env, &order, "pulled"),
        afterFront(&env, &order, "after"), front(&env, &order, "front"), loose(&env, &order, "x");
    env.addRoot(&end, 2);
    env.addRoot(&pulledEnd, 2);
    env.addRoot(&afterFront, 1);
    env.addRoot(&front, 0);
    pullCycle(env, 8, {&front, &pulledEnd});
    // Pulled entries are not run again, except front entries (mode 2); unlisted ones never run.
    EXPECT_EQ(order,
              (std::vector<std::string>{"front:0", "pulled:0", "front:2", "after:1", "end:1"}));
    order.clear();
    pullCycle(env, 8, {}, Environment::kSkipRootList);
    EXPECT_TRUE(order.empty()) << "flag bit 0 skips the root list";
    EXPECT_EQ(env.samplePosition(), 16) << "but the position still advances";
}

TEST(Environment, DetachedProducersLeaveRootListAndAttachedResets) {
    Environment env(64, true);
    Ramp p(&env);
    env.addRoot(&p, 0);
    env.addResettable(&p);
    env.addResettable(&p);  // a second registration is ignored
    EXPECT_EQ(env.resetCount(), 1u);
    p.setAttached(false);
    EXPECT_EQ(env.rootCount(), 0u);
    EXPECT_TRUE(p.inRootList()) << "the flag is kept for re-attaching";
    pullCycle(env, 8, {});
    EXPECT_EQ(p.calls, 0);
    env.reset(Environment::kResetAttached);
    EXPECT_EQ(p.resets, 0);
    env.reset(Environment::kResetAll);
    EXPECT_EQ(p.resets, 1);
    p.setAttached(true);
    EXPECT_EQ(p.resets, 2) << "attaching a resettable producer resets it";
    EXPECT_EQ(env.rootCount(), 1u);
    pullCycle(env, 8, {});
    EXPECT_EQ(p.calls, 1);
    EXPECT_EQ(p.lastMode, 2) << "re-attached with its root mode";
}

TEST(Environment, ResetModesMovePositionsResetProducersAndRecurse) {
    struct Case {
        int32_t mode;
        bool movesDiscontinuity;
        int attachedResets, detachedResets, subResets;
    };
    const Case cases[] = {
        {Environment::kResetAttached, true, 1, 0, 1},
        {Environment::kResetAll, true, 1, 1, 1},
        {Environment::kResetPositionOnly, false, 0, 0, 0},
        {Environment::kResetLocal, true, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        Environment root(64, true);
        SubEnvironment sub(&root, 2, 0, false);
        Ramp attached(&root), detached(&root), inSub(&sub);
        root.addResettable(&attached);
        root.addResettable(&detached);
        sub.addResettable(&inSub);
        detached.setAttached(false);
        pullCycle(root, 10, {});
        root.reset(c.mode);
        EXPECT_EQ(root.resetPosition(), 10);
        EXPECT_EQ(root.discontinuityPosition(), c.movesDiscontinuity ? 10 : 0);
        EXPECT_EQ(attached.resets, c.attachedResets);
        EXPECT_EQ(detached.resets, c.detachedResets);
        EXPECT_EQ(inSub.resets, c.subResets);
        EXPECT_EQ(sub.resetPosition(), c.mode == Environment::kResetLocal ? 0 : 20);
    }
}

TEST(Environment, SampleRateChangeResetsAndNotifiesOnlyBeyondTolerance) {
    Environment root(64, true);
    SubEnvironment sub(&root, 4, 0, false);
    Ramp p(&root), q(&sub);
    root.addResettable(&p);
    sub.addResettable(&q);
    p.setAttached(false);  // rate changes reset every entry, attached or not
    struct Listener {      // the primary handler runs first and sees the new rate
        void primary(void* sender) {
            rates.push_back(static_cast<Environment*>(sender)->sampleRate());
        }
        std::vector<float> rates;
    } listener;
    root.sampleRateChangedEvent().setPrimaryHandler(&listener, &Listener::primary);
    int subEvents = 0;
    sub.sampleRateChangedEvent().addFunction([&](void*) { ++subEvents; });
    root.setSampleRate(44100.0f);
    root.setSampleRate(44100.0f + 1e-8f);
    EXPECT_TRUE(listener.rates.empty()) << "no change beyond the tolerance, no notification";
    EXPECT_EQ(p.resets, 0);
    pullCycle(root, 32, {});
    root.setSampleRate(48000.0f);
    EXPECT_EQ(listener.rates, std::vector<float>{48000.0f});
    EXPECT_EQ(p.resets, 1);
    EXPECT_EQ(q.resets, 1);
    EXPECT_EQ(subEvents, 1);
    EXPECT_EQ(sub.sampleRate(), 192000.0f);
    EXPECT_EQ(root.resetPosition(), 32);
    EXPECT_EQ(root.discontinuityPosition(), 32);
    for (float notARate : {0.0f, tessel::testing::kNaN, -1.0f})
        root.setSampleRate(notARate);
    EXPECT_EQ(root.sampleRate(), 48000.0f) << "non-rates are ignored";
}

TEST(Environment, SubEnvironmentTreeCyclesAdvancesAndReportsAsOne) {
    Environment root(64, true);
    SubEnvironment sub(&root, 2, 0, false);
    SubEnvironment subSub(&sub, 2, 0, false);
    Ramp a(&root), b(&sub), atFour(&subSub);
    subSub.addRoot(&atFour, 2);
    root.addResettable(&a);
    sub.addResettable(&b);
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

    // Settledness asks every resettable producer, recursively.
    EXPECT_TRUE(root.allSettled());
    b.settled = false;
    EXPECT_FALSE(root.allSettled());
    b.settled = true;
    a.settled = false;
    EXPECT_FALSE(root.allSettled());
    // The display and shutdown flags reach the whole tree.
    root.setDisplayActive(true);
    EXPECT_TRUE(subSub.displayActive());
    root.setDisplayActive(false);
    EXPECT_FALSE(subSub.displayActive());
    auto p = std::make_unique<Ramp>(&sub);
    sub.addRoot(p.get(), 2);
    sub.addResettable(p.get());
    auto q = std::make_unique<Ramp>(&sub);
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
    pullCycle(env, 8, {});
    env.beginCycle();
    Ramp late(&env);
    EXPECT_FALSE(late.computedThisCycle());
    late.pull(8);
    EXPECT_EQ(late.calls, 1);
    EXPECT_TRUE(late.computedThisCycle());
}

TEST(Input, CopiesFromTheExternalArrayAndPadsWithSilence) {
    Environment env(16, true);
    Input input(&env);
    const std::vector<float> host = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    input.setSource(host.data(), 10);
    const BasicBlock<float>* out = pullCycle(env, 6, {&input})[0];
    EXPECT_EQ(out, input.ownBlock());
    EXPECT_EQ(std::vector<float>(out->data(), out->data() + 6),
              std::vector<float>(host.begin(), host.begin() + 6));
    EXPECT_EQ(input.available(), 4);
    out = pullCycle(env, 8, {&input})[0];  // 4 left: then silence, not what follows in memory
    EXPECT_EQ(std::vector<float>(out->data() + 3, out->data() + 8),
              (std::vector<float>{10, 0, 0, 0, 0}));
    input.setSource(nullptr, 100);
    out = pullCycle(env, 8, {&input})[0];
    EXPECT_EQ(std::vector<float>(out->data(), out->data() + 8), std::vector<float>(8, 0.0f));
}

TEST(Forwarder, PassBlocksThroughAndFollowRewiring) {
    Environment env(16, true);
    Ramp a(&env), b(&env);
    Forwarder forwarder(&env);
    GainFilter consumer(&env);
    InputForwarder follower(&env, consumer.inputSlot());  // follows the consumer's slot
    EXPECT_EQ(forwarder.ownBlock(), nullptr);
    const std::pair<Producer*, BasicBlock<float>*> steps[] = {
        {nullptr, env.zeroBlock()}, {&a, a.ownBlock()}, {&b, b.ownBlock()}};
    for (const auto& [input, expected] : steps) {
        forwarder.setInput(input);
        consumer.setInput(input);
        const auto blocks = pullCycle(env, 16, {&forwarder, &follower});
        EXPECT_EQ(blocks[0], expected);
        EXPECT_EQ(blocks[1], expected);
    }
    EXPECT_EQ(a.calls, 1);
}

// Splits its input into sum and difference with 1; output 2 passes the input block on.
class SplitterNode : public MultiProducer, public Consumer {
public:
    explicit SplitterNode(Environment* environment) : MultiProducer(environment, 3) {}
    void process(BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept override {
        ++calls;
        BasicBlock<float>* in = Producer::pullOrZero(input(), environment(), frames);
        for (int32_t i = 0; i < frames; ++i) {
            blocks[0]->data()[i] = in->data()[i] + 1.0f;
            blocks[1]->data()[i] = in->data()[i] - 1.0f;
        }
        blocks[0]->setConstant(false);
        blocks[1]->setConstant(false);
        blocks[2] = in;
    }
    int calls = 0;
};

TEST(MultiProducer, OnePullComputesEveryOutputOnce) {
    Environment env(16, true);
    Ramp source(&env);
    SplitterNode split(&env);
    split.setInput(&source);
    for (int cycle = 0; cycle < 3; ++cycle) {
        const auto out = pullCycle(env, 16, {split.output(1), split.output(0), split.output(2)});
        EXPECT_EQ(split.calls, cycle + 1);
        EXPECT_EQ(out[0], split.block(1));
        EXPECT_EQ(out[1], split.block(0));
        EXPECT_EQ(out[2], source.ownBlock()) << "an overwritten pointer passes a block through";
        EXPECT_EQ(out[1]->data()[5], source.ownBlock()->data()[5] + 1.0f);
        EXPECT_EQ(split.output(1)->value(), source.value() - 1.0f);
    }
    split.setOutputCount(5);
    EXPECT_EQ(split.outputCount(), 5);
    EXPECT_EQ(split.output(4)->index(), 4);
    EXPECT_EQ(pullCycle(env, 16, {split.output(4)})[0], split.block(4))
        << "new outputs get their own blocks";
    EXPECT_EQ(split.calls, 4);
    split.setOutputCount(2);
    EXPECT_EQ(split.outputCount(), 2);
    EXPECT_EQ(split.value(7), 0.0f) << "out-of-range output index";
}

TEST(DelayFilter, DelaysAcrossBlocksAndClampsTheDelay) {
    Environment env(32, true);
    Ramp source(&env);
    DelayFilter delay(&env, 50);
    delay.setInput(&source);
    delay.setDelay(40);
    for (int cycle = 0; cycle < 6; ++cycle) {
        const BasicBlock<float>* out = pullCycle(env, 32, {&delay})[0];
        EXPECT_FALSE(out->isConstant());
        for (int i = 0; i < 32; ++i) {
            const float n = static_cast<float>(cycle * 32 + i) + 1.0f - 40.0f;
            ASSERT_EQ(out->data()[i], n >= 1.0f ? n : 0.0f) << cycle << ":" << i;
        }
    }
    const std::pair<int32_t, int32_t> clamps[] = {{500, 50}, {-3, 0}, {30, 30}};
    for (const auto& [requested, delayed] : clamps) {
        delay.setDelay(requested);
        EXPECT_EQ(delay.delay(), delayed) << requested;
    }
    delay.setMaximumDelay(20);
    EXPECT_EQ(delay.delay(), 20) << "a smaller maximum clamps the delay";
}

TEST(DelayFilter, OutputsSilenceNotStaleAudioAfterAGapOrAReset) {
    Environment env(16, true);
    Ramp source(&env);
    DelayFilter delay(&env, 20);
    delay.setInput(&source);
    delay.setDelay(20);
    auto cycle = [&](bool pull) {  // the stream runs on whether or not the delay is pulled
        return pull ? pullCycle(env, 16, {&delay, &source})[0] : pullCycle(env, 16, {&source})[0];
    };
    const auto silentUpTo = [](const BasicBlock<float>* out, int n) {
        for (int i = 0; i < n; ++i)
            if (out->data()[i] != 0.0f) return false;
        return true;
    };
    for (int i = 0; i < 4; ++i)
        cycle(true);
    cycle(false);  // not pulled: the line is stale from now on
    EXPECT_TRUE(silentUpTo(cycle(true), 16)) << "gap: the first delay samples are silent";
    const BasicBlock<float>* out = cycle(true);
    EXPECT_TRUE(silentUpTo(out, 4));
    EXPECT_EQ(out->data()[4], 81.0f) << "writing resumed at position 80, 20 samples ago";
    for (int i = 0; i < 3; ++i)
        cycle(true);
    env.reset(Environment::kResetPositionOnly);  // positions only: the line survives
    EXPECT_NE(cycle(true)->data()[0], 0.0f);
    env.reset(Environment::kResetAttached);
    EXPECT_TRUE(silentUpTo(cycle(true), 16)) << "reset: the first delay samples are silent";
}

// A feedback path: out = in + 0.5 * delayed(out). Only possible with write-ahead, because the
// delay's input (the sum) depends on the delay's own output in the same cycle.
class FeedbackSum : public Filter {
public:
    FeedbackSum(Environment* environment, Producer* delayed)
        : Filter(environment), delayed_(delayed) {}
    void filter(BasicBlock<float>* in, BasicBlock<float>* out, int32_t frames,
                int32_t) noexcept override {
        BasicBlock<float>* fb = delayed_->pull(frames);
        for (int32_t i = 0; i < frames; ++i)
            out->data()[i] = in->data()[i] + 0.5f * fb->data()[i];
        out->setConstant(false);
    }

private:
    Producer* delayed_;
};

TEST(DelayFilter, WriteAheadClosesAFeedbackLoopOfAtLeastOneBlock) {
    Environment env(8, true);
    std::vector<float> impulse(64, 0.0f);
    impulse[0] = 1.0f;
    Ramp source(&env, impulse);
    DelayFilter delay(&env, 16);
    delay.setDelay(8);
    delay.setWriteAhead();
    FeedbackSum sum(&env, &delay);
    sum.setInput(&source);
    delay.setInput(&sum);
    EXPECT_EQ(env.rootCount(), 1u);
    const std::vector<float> out = tessel::testing::render(env, sum, 32, 8);
    for (int i = 0; i < 32; ++i) {  // an echo every 8 samples, halving each time
        const float expected = i % 8 == 0 ? 1.0f / static_cast<float>(1 << (i / 8)) : 0.0f;
        EXPECT_EQ(out[static_cast<std::size_t>(i)], expected) << i;
    }
}

}  // namespace
}  // namespace tessel::wave
