#include "engine/MidSideStereoProcessor.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <tuple>

#include "TestSignals.h"

namespace tessel {
namespace {

using Mode = StereoLinkInfo::StereoLinkMode;
using Processor = MidSideStereoProcessor;
using testing::ConstantSource;
using testing::PatternSource;

constexpr int32_t kFrames = 60;  // a multiple of the pattern periods below

struct FakeLink final : StereoLinkInfo {
    explicit FakeLink(wave::Producer* a) : amount(a) {}
    wave::Producer* linkAmount() noexcept override { return amount; }
    Mode stereoLinkMode() const noexcept override { return mode; }
    wave::Producer* amount;
    Mode mode = Mode::kMid;
};

struct MidSideStereoProcessorFixture : ::testing::Test {
    MidSideStereoProcessorFixture() {
        processor.setFirstGain(&x1);
        processor.setSecondGain(&x2);
        processor.midGain().parameter().setValue(2.0f, 0.0f);   // m
        processor.sideGain().parameter().setValue(0.5f, 0.0f);  // s
    }

    // The four outputs of one cycle (left, right, mid, side), valid until the next cycle.
    std::array<const wave::BasicBlock<float>*, 4> pullAll() {
        env.beginCycle();
        std::array<const wave::BasicBlock<float>*, 4> out{};
        for (int j = 0; j < 4; ++j)
            out[j] = processor.output(j)->pull(kFrames);
        env.advance(kFrames, 0);
        return out;
    }

    wave::Environment env{256, true};
    PatternSource x1{&env, {0.5f, 0.25f, 0.8f, 0.1f, 0.4f}};
    PatternSource x2{&env, {0.9f, 0.7f, 0.6f, 0.3f, 0.2f}};
    Processor processor{&env};
};

TEST_F(MidSideStereoProcessorFixture, UnlinkedAmountsPassTheFourGainBlocksOn) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    ConstantSource amount(&env, 0.0f);
    FakeLink link(&amount);
    for (float a : {-1.0f, 0.3f, 0.4989f, nan}) {  // -1: no linker at all
        amount.setValue(a);
        processor.setLinkInfo(a < 0.0f ? nullptr : &link);
        const auto out = pullAll();
        EXPECT_EQ(out[Processor::kLeftGain], x1.outputBlock()) << a;
        EXPECT_EQ(out[Processor::kRightGain], x2.outputBlock());
        EXPECT_EQ(out[Processor::kMidGain], processor.midGain().source()->outputBlock());
        EXPECT_EQ(out[Processor::kSideGain], processor.sideGain().source()->outputBlock());
    }
}

TEST_F(MidSideStereoProcessorFixture, ConstantLinkedAmountAppliesTheModeTable) {
    ConstantSource x1Constant(&env, 0.5f);
    processor.setFirstGain(&x1Constant);
    ConstantSource amount(&env, 0.0f);
    FakeLink link(&amount);
    processor.setLinkInfo(&link);
    const float inf = std::numeric_limits<float>::infinity();
    // mode, a, mid, side; at a = 0.75, k = 0.5 and y = 0.5 + 0.5 * 0.5 = 0.75.
    const std::tuple<Mode, float, float, float> cases[] = {
        {Mode::kMid, 0.75f, 1.0f, 0.375f},
        {Mode::kSideDetectionMidProcessing, 0.75f, 1.0f, 0.375f},
        {Mode::kSide, 0.75f, 1.5f, 0.25f},
        {Mode::kMidDetectionSideProcessing, 0.75f, 1.5f, 0.25f},
        {Mode::kMid, 0.499f, 1.0f, 0.25f},         // k = 0: y = x1
        {Mode::kMid, 1.0f, 1.0f, 0.5f},            // k = 1: y = 1
        {Mode::kSide, inf, 2.0f, 0.25f},           // beyond 1 counts as 1
        {static_cast<Mode>(9), 1.0f, 1.0f, 0.5f},  // beyond the modes: like mode 3
    };
    for (const auto& [mode, a, mid, side] : cases) {
        SCOPED_TRACE(::testing::Message() << "mode " << static_cast<int>(mode) << " a " << a);
        link.mode = mode;
        amount.setValue(a);
        const auto out = pullAll();
        EXPECT_EQ(out[Processor::kLeftGain], out[Processor::kRightGain]);
        for (const auto* block : out)
            EXPECT_TRUE(block->isConstant());
        EXPECT_EQ(out[Processor::kLeftGain]->data()[kFrames - 1], 1.0f);
        EXPECT_FLOAT_EQ(out[Processor::kMidGain]->data()[kFrames - 1], mid);
        EXPECT_FLOAT_EQ(out[Processor::kSideGain]->data()[kFrames - 1], side);
    }
}

TEST_F(MidSideStereoProcessorFixture, VaryingAmountChoosesTheRegimePerSample) {
    PatternSource amount(&env, {0.2f, 0.6f, 0.499f, 0.498f, 1.0f});
    FakeLink link(&amount);
    processor.setLinkInfo(&link);
    // left, right, mid, side per pattern index (m = 2, s = 0.5), worked out by hand.
    const float modeMid[5][4] = {
        {0.5f, 0.9f, 2.0f, 0.5f},  // a = 0.2: left/right
        {1.0f, 1.0f, 0.5f, 0.2f},  // a = 0.6: k = 0.2, y = 0.4
        {1.0f, 1.0f, 1.6f, 0.4f},  // a = 0.499: k = 0, y = x1
        {0.1f, 0.3f, 2.0f, 0.5f},  // a = 0.498: left/right
        {1.0f, 1.0f, 0.8f, 0.5f},  // a = 1: k = 1, y = 1
    };
    const float modeSide[5][4] = {{0.5f, 0.9f, 2.0f, 0.5f},
                                  {1.0f, 1.0f, 0.8f, 0.125f},
                                  {1.0f, 1.0f, 1.6f, 0.4f},
                                  {0.1f, 0.3f, 2.0f, 0.5f},
                                  {1.0f, 1.0f, 2.0f, 0.2f}};
    for (Mode mode : {Mode::kMid, Mode::kSide}) {
        link.mode = mode;
        const auto& expected = mode == Mode::kMid ? modeMid : modeSide;
        const int64_t start = env.samplePosition();
        const auto out = pullAll();
        for (int j = 0; j < 4; ++j) {
            EXPECT_FALSE(out[j]->isConstant()) << j;
            for (int32_t i = 0; i < kFrames; ++i) {
                ASSERT_FLOAT_EQ(out[j]->data()[i], expected[(start + i) % 5][j]) << j << " " << i;
            }
        }
    }

    // NaN amounts count as left/right, NaN and infinite gains multiply through.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    PatternSource mixed(&env, {nan, 0.7f, 0.7f});
    PatternSource badGain(&env, {0.5f, nan, inf});
    link.amount = &mixed;
    link.mode = Mode::kMid;
    processor.setFirstGain(&badGain);
    const auto out = pullAll();
    EXPECT_EQ(out[Processor::kLeftGain]->data()[0], 0.5f);  // kFrames is a multiple of 3
    EXPECT_EQ(out[Processor::kMidGain]->data()[0], 2.0f);
    EXPECT_TRUE(std::isnan(out[Processor::kMidGain]->data()[1]));
    EXPECT_EQ(out[Processor::kMidGain]->data()[2], inf);
}

TEST_F(MidSideStereoProcessorFixture, VaryingAmountInOneRegimeKeepsTheConstantFlagsItCan) {
    PatternSource linked(&env, {0.6f, 0.9f, 0.499f});
    FakeLink link(&linked);
    processor.setLinkInfo(&link);
    auto out = pullAll();
    EXPECT_EQ(out[Processor::kLeftGain], out[Processor::kRightGain]);
    EXPECT_TRUE(out[Processor::kLeftGain]->isConstant());
    EXPECT_EQ(out[Processor::kLeftGain]->data()[kFrames - 1], 1.0f);
    EXPECT_FALSE(out[Processor::kMidGain]->isConstant());

    // All samples left/right: mid keeps the flag of the settled m, side follows the ramping s,
    // and left and right are computed blocks (flag cleared even for a constant x1).
    ConstantSource x1Constant(&env, 0.5f);
    processor.setFirstGain(&x1Constant);
    PatternSource unlinked(&env, {0.1f, 0.3f, 0.45f});
    link.amount = &unlinked;
    processor.sideGain().parameter().setValue(1.0f, 100.0f);
    out = pullAll();
    EXPECT_TRUE(out[Processor::kMidGain]->isConstant());
    EXPECT_EQ(out[Processor::kMidGain]->data()[kFrames - 1], 2.0f);
    EXPECT_FALSE(out[Processor::kSideGain]->isConstant());
    EXPECT_GT(out[Processor::kSideGain]->data()[kFrames - 1], 0.5f);
    EXPECT_FALSE(out[Processor::kLeftGain]->isConstant());
    EXPECT_EQ(out[Processor::kLeftGain]->data()[kFrames - 1], 0.5f);

    processor.midGain().parameter().setValue(1e12f, 0.0f);  // stage gains stop at +180 dB
    EXPECT_EQ(processor.midGain().parameter().target(), 1e9f);
}

}  // namespace
}  // namespace tessel
