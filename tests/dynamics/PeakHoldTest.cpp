#include "dynamics/PeakHold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "common/AllocationCounter.h"
#include "engine/TestSignals.h"

namespace tessel {
namespace {

using testing::kInf;
using testing::kNaN;
using testing::PatternSource;
using testing::runCycle;

TEST(PeakHold, ZeroHoldOutputsTheMagnitude) {
    wave::Environment env(64, true);
    PatternSource input(&env, {0.5f, -0.75f, 0.25f, -1.0f, 0.0f, 2.0f, kNaN});
    PeakHold hold(&env);
    hold.setInput(&input);
    for (int block = 0; block < 3; ++block) {
        const int64_t start = env.samplePosition();
        const std::vector<float> out = runCycle(env, hold, 21);
        for (int i = 0; i < 21; ++i) {
            const float x = input.at(start + i);
            EXPECT_EQ(out[static_cast<std::size_t>(i)], std::isnan(x) ? 0.0f : std::fabs(x));
        }
    }
}

TEST(PeakHold, TenMillisecondsAt48kHzHoldsAnImpulseFor481Samples) {
    for (bool ramped : {false, true}) {
        SCOPED_TRACE(ramped ? "hold input ramping near 10 ms" : "constant hold");
        wave::Environment env(64, true);
        env.setSampleRate(48000.0f);
        std::vector<float> pattern(2000, 0.25f);
        pattern[100] = -1.0f;
        PatternSource input(&env, pattern);
        PeakHold hold(&env);
        hold.setInput(&input);
        hold.holdTimeMs().setValue(10.0f, 0);
        std::vector<float> out;
        for (int block = 0; block < 20; ++block) {
            // A non-constant hold block whose samples all give 480 samples.
            if (ramped) hold.holdTimeMs().setValue(block % 2 ? 10.0f : 10.01f, 1.0f);
            const std::vector<float> y = runCycle(env, hold, 64);
            out.insert(out.end(), y.begin(), y.end());
        }
        for (std::size_t i = 0; i < 100; ++i)
            ASSERT_EQ(out[i], 0.25f) << i;
        for (std::size_t i = 100; i < 100 + 481; ++i)
            ASSERT_EQ(out[i], 1.0f) << i;
        for (std::size_t i = 100 + 481; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0.25f) << i;
    }
}

// The window maximum over the last H + 1 samples, H taken per sample.
float windowMax(const std::vector<float>& x, std::size_t n, int32_t h) {
    float m = 0.0f;
    for (std::size_t k = n >= static_cast<std::size_t>(h) ? n - static_cast<std::size_t>(h) : 0;
         k <= n; ++k)
        m = std::max(m, std::fabs(x[k]));
    return m;
}

TEST(PeakHold, EqualsTheSlidingMaximumForRandomSignals) {
    // Exact while H never grows by more than a sample per sample (so no old peak is needed again).
    struct Case {
        const char* what;
        float startMs, endMs, rampMs;
        int32_t frames;
    };
    const Case cases[] = {
        {"constant 1 ms", 1.0f, 1.0f, 0.0f, 64},
        {"constant 10 ms, odd blocks", 10.0f, 10.0f, 0.0f, 37},
        {"constant 120 ms", 120.0f, 120.0f, 0.0f, 256},
        {"slow ramp up", 0.0f, 15.0f, 200.0f, 64},
        {"ramp down", 40.0f, 2.0f, 30.0f, 64},
    };
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> pattern(40000);
        std::uniform_real_distribution<float> value(-1.0f, 1.0f);
        for (float& v : pattern)
            v = value(rng) * value(rng);  // many small values, few peaks
        wave::Environment env(256, true);
        env.setSampleRate(48000.0f);
        PatternSource input(&env, pattern);
        PeakHold hold(&env);
        hold.setInput(&input);
        hold.holdTimeMs().setValue(c.startMs, 0);
        std::size_t n = 0;
        while (n + static_cast<std::size_t>(c.frames) < pattern.size()) {
            if (n == 4800) hold.holdTimeMs().setValue(c.endMs, c.rampMs);
            const std::vector<float> out = runCycle(env, hold, c.frames);
            const float* ms = hold.holdTimeMs().block().data();
            for (int32_t i = 0; i < c.frames; ++i, ++n) {
                const int32_t h = static_cast<int32_t>(ms[i] * 48000.0f * 0.001f);
                ASSERT_EQ(out[static_cast<std::size_t>(i)], windowMax(pattern, n, h)) << n;
            }
        }
    }
}

TEST(PeakHold, NonFiniteInputAndSampleRateChanges) {
    wave::Environment env(64, true);
    env.setSampleRate(48000.0f);
    PatternSource input(&env, {0.5f, kNaN, kInf, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f});
    PeakHold hold(&env);
    hold.setInput(&input);
    hold.holdTimeMs().setValue(0.05f, 0);  // 2 samples
    const std::vector<float> out = runCycle(env, hold, 8);
    const std::vector<float> expected = {0.5f, 0.5f, kInf, kInf, kInf, 0.1f, 0.1f, 0.1f};
    EXPECT_EQ(out, expected);

    EXPECT_EQ(hold.maximumHoldSamples(), 5760);
    env.setSampleRate(96000.0f);  // resets the environment's nodes, this one included
    EXPECT_EQ(hold.maximumHoldSamples(), 11520);
    EXPECT_GE(hold.queueCapacity(), 11520 / 2);
    EXPECT_EQ(hold.queueCount(), 0);
}

TEST(PeakHold, FilterDoesNotAllocate) {
    wave::Environment env(256, true);
    PatternSource input(&env, {0.1f, 0.9f, 0.3f, 0.5f, 0.2f, 0.8f, 0.0f, kNaN});
    PeakHold hold(&env);
    hold.setInput(&input);
    runCycle(env, hold, 256);
    testing::AllocationScope scope;
    for (int i = 0; i < 40; ++i) {
        hold.holdTimeMs().setValue(static_cast<float>(i % 7) * 15.0f, i % 2 ? 3.0f : 0.0f);
        env.beginCycle();
        hold.pull(256);
        env.advance(256, 0);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
