#include "engine/Balance.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

namespace tessel {
namespace {

TEST(Balance, PanAttenuatesTheOppositeChannelLinearlyAndNeverRaisesEither) {
    const float cases[][4] = {
        // level, pan, left, right
        {0.8f, 0.0f, 0.8f, 0.8f},
        {0.8f, 1.0f, 0.0f, 0.8f},
        {0.8f, -1.0f, 0.8f, 0.0f},
        {1.0f, 0.25f, 0.75f, 1.0f},
        {1.0f, -0.5f, 1.0f, 0.5f},
        {2.0f, 0.5f, 1.0f, 2.0f},
        {0.5f, 3.0f, 0.0f, 0.5f},
        {0.5f, -7.0f, 0.5f, 0.0f},                                    // clamped to +-1
        {0.5f, std::numeric_limits<float>::quiet_NaN(), 0.5f, 0.5f},  // NaN: centre
    };
    for (const auto& c : cases) {
        const BalanceGains g = balanceGains(c[0], c[1]);
        EXPECT_FLOAT_EQ(g.leftLinear, c[2]) << c[0] << " " << c[1];
        EXPECT_FLOAT_EQ(g.rightLinear, c[3]) << c[0] << " " << c[1];
    }

    const unsigned seed = std::random_device{}();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> level(0.0f, 4.0f);
    std::uniform_real_distribution<float> pan(-1.5f, 1.5f);
    for (int i = 0; i < 10000; ++i) {
        const float v = level(rng);
        const float p = pan(rng);
        const BalanceGains g = balanceGains(v, p);
        ASSERT_TRUE(g.leftLinear >= 0.0f && g.leftLinear <= v) << "seed " << seed;
        ASSERT_TRUE(g.rightLinear >= 0.0f && g.rightLinear <= v) << "seed " << seed;
        ASSERT_EQ(p >= 0.0f ? g.rightLinear : g.leftLinear, v) << "seed " << seed;
    }
}

}  // namespace
}  // namespace tessel
