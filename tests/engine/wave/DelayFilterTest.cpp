#include <gtest/gtest.h>

#include <vector>

#include "engine/wave/DelayFilter.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Filter.h"
#include "engine/wave/TestNodes.h"

namespace tessel::wave {
namespace {

using test::CountingSource;

TEST(DelayFilter, DelaysAcrossBlocksAndClampsTheDelay) {
    Environment env(32, true);
    CountingSource source(&env);  // sample n of the stream holds n + 1
    DelayFilter delay(&env, 50);
    delay.setInput(&source);
    delay.setDelay(40);
    EXPECT_EQ(delay.delay(), 40);
    for (int cycle = 0; cycle < 6; ++cycle) {
        env.beginCycle();
        BasicBlock<float>* out = delay.pull(32);
        EXPECT_FALSE(out->isConstant());
        for (int i = 0; i < 32; ++i) {
            const float n = static_cast<float>(cycle * 32 + i) + 1.0f - 40.0f;
            ASSERT_EQ(out->data()[i], n >= 1.0f ? n : 0.0f) << cycle << ":" << i;
        }
        env.advance(32, 0);
    }
    delay.setDelay(500);
    EXPECT_EQ(delay.delay(), 50);
    delay.setDelay(-3);
    EXPECT_EQ(delay.delay(), 0);
    delay.setDelay(30);
    delay.setMaximumDelay(20);
    EXPECT_EQ(delay.delay(), 20) << "a smaller maximum clamps the delay";
}

TEST(DelayFilter, OutputsSilenceNotStaleAudioAfterAGapOrAReset) {
    Environment env(16, true);
    CountingSource source(&env);
    DelayFilter delay(&env, 20);
    delay.setInput(&source);
    delay.setDelay(20);
    auto cycle = [&](bool pull) {
        env.beginCycle();
        if (pull) delay.pull(16);
        source.pull(16);  // the stream runs on whether or not the delay is pulled
        env.advance(16, 0);
        return delay.outputBlock();
    };
    for (int i = 0; i < 4; ++i)
        cycle(true);
    cycle(false);  // not pulled: the line is stale from now on
    BasicBlock<float>* out = cycle(true);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(out->data()[i], 0.0f) << "gap: first delay samples silent";
    out = cycle(true);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(out->data()[i], 0.0f);
    // Writing resumed at stream position 80 (value 81); 20 samples later it comes out.
    EXPECT_EQ(out->data()[4], 81.0f);

    for (int i = 0; i < 3; ++i)
        cycle(true);
    env.reset(Environment::kResetPositionOnly);  // positions only: the line survives
    out = cycle(true);
    EXPECT_NE(out->data()[0], 0.0f);
    env.reset(Environment::kResetAttached);
    out = cycle(true);
    for (int i = 0; i < 16; ++i)
        ASSERT_EQ(out->data()[i], 0.0f) << "reset: first delay samples silent";
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
    test::VectorSource source(&env, impulse);
    DelayFilter delay(&env, 16);
    delay.setDelay(8);
    delay.setWriteAhead();
    FeedbackSum sum(&env, &delay);
    sum.setInput(&source);
    delay.setInput(&sum);
    EXPECT_EQ(env.rootCount(), 1u);
    std::vector<float> result;
    for (int cycle = 0; cycle < 4; ++cycle) {
        env.beginCycle();
        BasicBlock<float>* out = sum.pull(8);
        result.insert(result.end(), out->data(), out->data() + 8);
        env.advance(8, 0);
    }
    // An echo every 8 samples, halving each time.
    for (int i = 0; i < 32; ++i) {
        const float expected = i % 8 == 0 ? 1.0f / static_cast<float>(1 << (i / 8)) : 0.0f;
        EXPECT_EQ(result[static_cast<std::size_t>(i)], expected) << i;
    }
}

TEST(DelayFilter, WriteAheadDelayComputesItsOutputEvenWhenNobodyPullsIt) {
    Environment env(8, true);
    CountingSource source(&env);
    DelayFilter delay(&env, 8);
    delay.setDelay(8);
    delay.setWriteAhead();
    delay.setInput(&source);
    for (int cycle = 0; cycle < 3; ++cycle) {
        env.beginCycle();
        env.advance(8, 0);
    }
    EXPECT_EQ(source.calls, 3) << "the root run writes the input every cycle";
    EXPECT_EQ(delay.outputBlock()->data()[0], 9.0f)
        << "the third cycle outputs the second cycle's input";
}

}  // namespace
}  // namespace tessel::wave
