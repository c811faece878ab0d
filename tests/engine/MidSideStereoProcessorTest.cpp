// The mid/side gain stage (MidSideStereoProcessor) and the MidSideConverter.

#include "engine/MidSideStereoProcessor.h"

#include <gtest/gtest.h>

#include <tuple>

#include "common/GraphRig.h"
#include "engine/MidSideConverter.h"

namespace tessel {
namespace {

using Mode = StereoLinkInfo::StereoLinkMode;
using P = MidSideStereoProcessor;
using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 60;  // a multiple of the pattern periods below

// Link amount a, gains x1 and x2, and the outputs left, right, mid, side for mid processing
// (link modes 0 and 3, and beyond the modes) and side processing (1 and 2), at m = 2, s = 0.5.
// Worked out by hand: k = clamp(2a - 1, 0, 1), y = x1 + (1 - x1) k.
struct Row {
    float a, x1, x2;
    float out[2][4];
};
const Row kRows[] = {
    {0.6f, 0.5f, 0.9f, {{1, 1, 1.0f, 0.3f}, {1, 1, 1.2f, 0.25f}}},         // k = 0.2, y = 0.6
    {0.499f, 0.8f, 0.7f, {{1, 1, 1.6f, 0.4f}, {1, 1, 1.6f, 0.4f}}},        // k = 0: y = x1
    {0.498f, 0.1f, 0.3f, {{0.1f, 0.3f, 2, 0.5f}, {0.1f, 0.3f, 2, 0.5f}}},  // left/right
    {kNaN, kInf, 0.2f, {{kInf, 0.2f, 2, 0.5f}, {kInf, 0.2f, 2, 0.5f}}},    // left/right
    {1.0f, kNaN, 0.6f, {{1, 1, kNaN, kNaN}, {1, 1, kNaN, kNaN}}},          // k = 1
    {kInf, 0.5f, 0.4f, {{1, 1, 1.0f, 0.5f}, {1, 1, 2.0f, 0.25f}}},         // beyond 1 counts as 1
};
const int kModes[][2] = {{0, 0}, {3, 0}, {9, 0}, {1, 1}, {2, 1}};  // mode, group of out

struct MidSideStereoProcessorFixture : ::testing::Test {
    MidSideStereoProcessorFixture() {
        processor.midGain().parameter().setValue(2.0f, 0.0f);   // m
        processor.sideGain().parameter().setValue(0.5f, 0.0f);  // s
    }
    // The four outputs of one cycle: left, right, mid, side.
    std::vector<const wave::BasicBlock<float>*> pullAll() {
        return pullCycle(
            env, kFrames,
            {processor.output(0), processor.output(1), processor.output(2), processor.output(3)});
    }
    // The gain blocks themselves, passed on in the left/right regime.
    std::vector<const wave::BasicBlock<float>*> inputBlocks() {
        return {processor.firstGain()->outputBlock(), processor.secondGain()->outputBlock(),
                processor.midGain().source()->outputBlock(),
                processor.sideGain().source()->outputBlock()};
    }

    wave::Environment env{256, true};
    P processor{&env};
};

TEST_F(MidSideStereoProcessorFixture, ConstantAmountPicksOneRegimeForTheBlock) {
    ConstantSource a(&env, 0.0f);
    ConstantSource x2(&env, 0.0f);
    ConstantSource constantX1(&env, 0.0f);
    PatternSource varyingX1(&env, {0.0f});
    FixedLink link(&a);
    processor.setSecondGain(&x2);
    processor.setFirstGain(&constantX1);
    const auto unlinked = pullAll();  // no linker: left/right
    EXPECT_EQ(unlinked, inputBlocks());
    processor.setLinkInfo(&link);
    PatternSource* const firstGains[] = {&constantX1, &varyingX1};
    for (const auto& [mode, group] : kModes) {
        for (const Row& row : kRows) {
            for (PatternSource* x1 : firstGains) {
                SCOPED_TRACE(::testing::Message() << mode << " a " << row.a);
                link.mode = static_cast<Mode>(mode);
                a.setValue(row.a);
                x1->pattern[0] = row.x1;
                x2.setValue(row.x2);
                processor.setFirstGain(x1);
                const auto out = pullAll();
                if (!(row.a >= P::kMidSideThreshold)) {
                    EXPECT_EQ(out, inputBlocks());
                    continue;
                }
                EXPECT_EQ(out[P::kLeftGain], out[P::kRightGain]);
                EXPECT_TRUE(out[P::kLeftGain]->isConstant() && out[P::kLeftGain]->data()[0] == 1);
                for (int j : {P::kMidGain, P::kSideGain}) {
                    EXPECT_EQ(out[j]->isConstant(), x1 == &constantX1);
                    for (int32_t i = 0; i < kFrames; ++i)
                        ASSERT_TRUE(same(out[j]->data()[i], row.out[group][j])) << j << " " << i;
                }
            }
        }
    }
}

TEST_F(MidSideStereoProcessorFixture, VaryingAmountPicksTheRegimePerSampleKeepingTheFlagsItCan) {
    PatternSource a(&env, {});
    PatternSource x1(&env, {});
    PatternSource x2(&env, {});
    for (const Row& row : kRows) {
        a.pattern.push_back(row.a);
        x1.pattern.push_back(row.x1);
        x2.pattern.push_back(row.x2);
    }
    FixedLink link(&a);
    processor.setLinkInfo(&link);
    processor.setFirstGain(&x1);
    processor.setSecondGain(&x2);
    for (const auto& [mode, group] : kModes) {
        link.mode = static_cast<Mode>(mode);
        const auto out = pullAll();
        for (int j = 0; j < 4; ++j) {
            EXPECT_FALSE(out[j]->isConstant()) << j;
            for (int32_t i = 0; i < kFrames; ++i) {
                ASSERT_TRUE(same(out[j]->data()[i], kRows[i % 6].out[group][j]))
                    << mode << " " << j << " " << i;
            }
        }
    }

    // All samples mid/side: left and right are the unity block, mid and side computed.
    PatternSource linked(&env, {0.6f, 0.9f, 0.499f});
    link.amount = &linked;
    auto out = pullAll();
    EXPECT_EQ(out[P::kLeftGain], out[P::kRightGain]);
    EXPECT_TRUE(out[P::kLeftGain]->isConstant() && out[P::kLeftGain]->data()[0] == 1.0f);
    EXPECT_FALSE(out[P::kMidGain]->isConstant());
    // All samples left/right: mid keeps the flag of the settled m, side follows the ramping s,
    // and left and right are computed blocks (flag cleared even for a constant x1).
    ConstantSource constantX1(&env, 0.5f);
    processor.setFirstGain(&constantX1);
    PatternSource unlinked(&env, {0.1f, 0.3f, 0.45f});
    link.amount = &unlinked;
    processor.sideGain().parameter().setValue(1.0f, 100.0f);
    out = pullAll();
    EXPECT_TRUE(out[P::kMidGain]->isConstant() && out[P::kMidGain]->data()[0] == 2.0f);
    EXPECT_FALSE(out[P::kSideGain]->isConstant());
    EXPECT_GT(out[P::kSideGain]->data()[kFrames - 1], 0.5f);
    EXPECT_FALSE(out[P::kLeftGain]->isConstant());
    EXPECT_EQ(out[P::kLeftGain]->data()[kFrames - 1], 0.5f);
}

TEST(MidSideConverter, EncodesDecodesBackAndPassesThrough) {
    wave::Environment env(256, true);
    PatternSource left(&env, {0.5f, -1.0f, 0.25f, 0.0f, 0.75f});
    PatternSource right(&env, {0.5f, 1.0f, -0.5f, 0.3f});
    MidSideConverter encoder(&env, MidSideConverter::Conversion::kLeftRightToMidSide);
    encoder.setFirstInput(&left);
    encoder.setSecondInput(&right);
    MidSideConverter decoder(&env, MidSideConverter::Conversion::kMidSideToLeftRight);
    decoder.setFirstInput(encoder.output(0));
    decoder.setSecondInput(encoder.output(1));
    auto out = pullCycle(
        env, kFrames, {decoder.output(0), decoder.output(1), encoder.output(0), encoder.output(1)});
    EXPECT_FALSE(out[0]->isConstant() || out[1]->isConstant());
    for (int32_t i = 0; i < kFrames; ++i) {
        const float a = left.at(i);
        const float b = right.at(i);
        ASSERT_FLOAT_EQ(out[2]->data()[i], (a + b) * 0.5f);
        ASSERT_FLOAT_EQ(out[3]->data()[i], (b - a) * 0.5f);
        ASSERT_NEAR(out[0]->data()[i], a, 1e-7f);
        ASSERT_NEAR(out[1]->data()[i], b, 1e-7f);
    }
    encoder.conversion() = MidSideConverter::Conversion::kNone;
    out = pullCycle(env, kFrames, {encoder.output(0), encoder.output(1)});
    EXPECT_EQ(out[0], left.outputBlock());
    EXPECT_EQ(out[1], right.outputBlock());
}

TEST(MidSideConverter, ConstantInputsGiveConstantOutputsAndNonFiniteValuesPropagate) {
    using Conversion = MidSideConverter::Conversion;
    wave::Environment env(256, true);
    ConstantSource a(&env, 0.8f);
    ConstantSource b(&env, 0.2f);
    MidSideConverter converter(&env, static_cast<Conversion>(5));
    EXPECT_EQ(converter.conversion(), Conversion::kMidSideToLeftRight);
    converter.setFirstInput(&a);
    converter.setSecondInput(&b);
    const std::tuple<Conversion, float, float, float, float> cases[] = {
        // conversion, inputs, outputs
        {Conversion::kMidSideToLeftRight, 0.8f, 0.2f, 0.6f, 1.0f},
        {Conversion::kLeftRightToMidSide, 0.8f, 0.2f, 0.5f, -0.3f},
        {Conversion::kLeftRightToMidSide, kInf, kInf, kInf, kNaN},  // inf - inf is NaN
        {Conversion::kMidSideToLeftRight, kInf, kInf, kNaN, kInf},
    };
    for (const auto& [conversion, first, second, out0, out1] : cases) {
        converter.conversion() = conversion;
        a.setValue(first);
        b.setValue(second);
        const auto out = pullCycle(env, kFrames, {converter.output(0), converter.output(1)});
        EXPECT_TRUE(out[0]->isConstant() && out[1]->isConstant());
        EXPECT_TRUE(same(out[0]->data()[0], out0) && same(out[1]->data()[0], out1))
            << static_cast<int>(conversion) << " of " << first;
    }
    converter.setFirstInput(nullptr);  // silence
    EXPECT_EQ(pullCycle(env, kFrames, {converter.output(1)})[0]->data()[0], kInf);
    converter.conversion() = static_cast<Conversion>(-2);
    EXPECT_EQ(converter.conversion(), Conversion::kNone);
}

}  // namespace
}  // namespace tessel
