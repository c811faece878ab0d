#include <gtest/gtest.h>

#include <cmath>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "dynamics/MidSideStereoLinker.h"

namespace tessel {
namespace {

using Op = MidSideStereoLinker::LinkOperation;
using Mode = StereoLinkMode;
using testing::ConstantSource;
using testing::GraphRig;
using testing::PatternSource;
using testing::pullCycle;

// The linker's outputs for constant inputs L = 0.6, R = -0.2, at amounts through both halves:
// the values the linking rule gives, worked by hand.
TEST(MidSideStereoLinker, BlendsThroughBothHalvesOfTheKnob) {
    struct Case {
        Op op;
        Mode mode;
        float amount;
        float out0, out1;
    };
    const Case cases[] = {
        {Op::kMagnitude, Mode::kMid, 0.0f, 0.6f, 0.2f},
        {Op::kMagnitude, Mode::kMid, 0.25f, 0.6f, 0.4f},  // halfway to the common maximum
        {Op::kMagnitude, Mode::kMid, 0.5f, 0.6f, 0.6f},   // fully linked: max(|L|, |R|)
        {Op::kMagnitude, Mode::kMid, 0.75f, 0.4f, 0.4f},  // halfway to |L + R| / 2 = 0.2
        {Op::kMagnitude, Mode::kMid, 1.0f, 0.2f, 0.2f},
        {Op::kMagnitude, Mode::kSide, 1.0f, 0.4f, 0.4f},  // |L - R| / 2
        {Op::kMagnitude, Mode::kSideDetectionMidProcessing, 1.0f, 0.4f, 0.4f},
        {Op::kMagnitude, Mode::kMidDetectionSideProcessing, 0.75f, 0.4f, 0.4f},
        {Op::kSignal, Mode::kMid, 0.0f, 0.6f, -0.2f},
        {Op::kSignal, Mode::kMid, 0.25f, 0.4f, 0.0f},  // halfway to h = 0.2
        {Op::kSignal, Mode::kMid, 0.5f, 0.2f, 0.2f},
        {Op::kSignal, Mode::kMid, 1.0f, 0.2f, 0.2f},
        {Op::kSignal, Mode::kSide, 0.75f, 0.3f, -0.1f},  // h -> q = 0.4 and h -> -q
        {Op::kSignal, Mode::kSide, 1.0f, 0.4f, -0.4f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "op " << static_cast<int>(c.op) << " mode "
                                          << static_cast<int>(c.mode) << " amount " << c.amount);
        // Once settled on the amount (the constant-amount paths) and once ramping through a
        // narrow span around it (the per-sample rule): both must give the worked values.
        for (const float span : {0.0f, 0.002f}) {
            GraphRig rig(64);
            ConstantSource left(&rig.env, 0.6f), right(&rig.env, -0.2f);
            MidSideStereoLinker linker(&rig.env);
            linker.setLeftInput(&left);
            linker.setRightInput(&right);
            linker.linkOperation() = c.op;
            linker.linkMode() = c.mode;
            linker.amount().setValue(c.amount - span, 0.0f);
            linker.amount().setValue(c.amount + span, 1.0f);  // 48 samples
            const auto blocks = pullCycle(rig.env, 64, {linker.output(0), linker.output(1)});
            const float tolerance = span > 0.0f ? 4.0f * span : 1e-6f;
            for (int i : {0, 24, 63}) {
                EXPECT_NEAR(blocks[0]->data()[i], c.out0, tolerance) << i;
                EXPECT_NEAR(blocks[1]->data()[i], c.out1, tolerance) << i;
            }
        }
    }
}

// The three common settings avoid work: unlinked signals pass the input blocks themselves, and
// wherever both outputs are equal they are one block. L = -R gives no mid detection at all.
TEST(MidSideStereoLinker, ConstantAmountsShareBlocksAndAllocateNothing) {
    GraphRig rig(128);
    PatternSource left(&rig.env, {0.5f, -0.25f, 0.75f}), right(&rig.env, {-0.5f, 0.25f, -0.75f});
    MidSideStereoLinker linker(&rig.env);
    linker.setLeftInput(&left);
    linker.setRightInput(&right);
    auto outputs = [&] { return pullCycle(rig.env, 128, {linker.output(0), linker.output(1)}); };

    linker.linkOperation() = Op::kSignal;
    auto b = outputs();
    EXPECT_EQ(b[0], left.pull(128));
    EXPECT_EQ(b[1], right.pull(128));
    linker.linkOperation() = Op::kMagnitude;
    for (const float amount : {0.5f, 1.0f}) {
        linker.amount().setValue(amount, 0.0f);
        b = outputs();
        EXPECT_EQ(b[0], b[1]) << amount;
    }
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(b[0]->data()[i], 0.0f) << "L = -R has no mid";

    testing::AllocationScope scope;
    for (int cycle = 0; cycle < 400; ++cycle) {
        linker.amount().setValue(static_cast<float>(cycle % 5) * 0.25f, cycle % 2 ? 0.0f : 5.0f);
        linker.linkMode() = cycle % 3 ? Mode::kMid : Mode::kSide;
        linker.linkOperation() = cycle % 7 ? Op::kMagnitude : Op::kSignal;
        rig.env.beginCycle();
        linker.output(0)->pull(128);
        linker.output(1)->pull(128);
        rig.env.advance(128, 0);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
