// The gain, mixing and mid/side nodes together in one graph, run for thousands of cycles with
// ramping controls, router switches and setting changes: nothing on the audio path allocates, and
// the outputs stay finite.

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "TestSignals.h"
#include "common/AllocationCounter.h"
#include "engine/DBConverter.h"
#include "engine/MidSideConverter.h"
#include "engine/MidSideStereoProcessor.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/StaticMixer.h"
#include "engine/VolumeFilter.h"

namespace tessel {
namespace {

struct Link final : StereoLinkInfo {
    explicit Link(wave::Producer* a) : amount(a) {}
    wave::Producer* linkAmount() noexcept override { return amount; }
    StereoLinkMode stereoLinkMode() const noexcept override { return mode; }
    wave::Producer* amount;
    StereoLinkMode mode = StereoLinkMode::kMid;
};

TEST(SteadyState, GainAndMixingNodesNeverAllocate) {
    wave::Environment env(256, true);
    testing::PatternSource left(&env, {0.5f, -0.25f, 0.75f, -1.0f, 0.1f, 0.0f, -0.6f});
    testing::PatternSource right(&env, {0.2f, 0.4f, -0.8f, 0.3f, -0.5f});
    testing::ConstantSource dc(&env, 0.125f);
    VolumeFilter inLeft(&env);
    inLeft.setInput(&left);
    VolumeFilter inRight(&env);
    inRight.setInput(&right);
    inRight.setSecondGain(&dc);

    Mixer mixer(&env);
    for (wave::Producer* p : std::initializer_list<wave::Producer*>{&inLeft, &inRight, &dc, &left,
                                                                    &right, &inLeft, &dc}) {
        mixer.addInput(p);
    }
    mixer.setInputGainLimits(1, -1.0f, 1.0f);
    StaticMixer fixed(&env);
    fixed.addInput(&left, 0.5f);
    fixed.addInput(&dc, 1.0f);
    Router router(&env);
    router.addInput(&mixer);
    router.addInput(&fixed);
    router.addInput(&inRight);

    MidSideConverter encoder(&env, MidSideConverter::Conversion::kLeftRightToMidSide);
    encoder.setFirstInput(&router);
    encoder.setSecondInput(&inRight);
    DBConverter toDb(&env, DBConverter::Conversion::kGainToDb);
    toDb.setInput(encoder.output(0));
    DBConverter toGain(&env, DBConverter::Conversion::kDbToGain);
    toGain.setInput(&toDb);
    testing::PatternSource amount(&env, {0.3f, 0.52f, 0.7f, 0.49f, 0.9f, 0.1f});
    Link link(&amount);
    MidSideStereoProcessor stereo(&env);
    stereo.setFirstGain(&toGain);
    stereo.setSecondGain(encoder.output(1));
    stereo.setLinkInfo(&link);

    constexpr int32_t kFrames = 128;
    auto cycle = [&] {
        env.beginCycle();
        bool finite = true;
        for (int j = 0; j < 4; ++j) {
            const float* out = stereo.output(j)->pull(kFrames)->data();
            for (int32_t i = 0; i < kFrames; ++i)
                finite = finite && std::isfinite(out[i]);
        }
        env.advance(kFrames, 0);
        return finite;
    };
    cycle();  // first use of every control

    testing::AllocationScope scope;
    for (int c = 0; c < 4000; ++c) {
        if (c % 37 == 0) inLeft.gain().assign(0.25f + 0.2f * static_cast<float>(c % 5));
        if (c % 23 == 0) inRight.gain().parameter().setValue((c / 23) % 2 ? 1.0f : 0.0f, 30.0f);
        for (int i = 0; c % 11 == 0 && i < 7; ++i) {
            mixer.inputGain(i)->assign(static_cast<float>((c + i) % 3) * 0.4f);
        }
        if (c % 101 == 0) mixer.operation() = static_cast<Mixer::Operation>((c / 101) % 9);
        if (c % 53 == 0) mixer.setStatic(!mixer.isStatic());
        if (c % 29 == 0) router.selectedInput() = (c / 29) % 3;
        if (c % 300 == 0) router.switchTimeMs() = (c / 300) % 2 ? 0.0f : 20.0f;
        if (c % 71 == 0) link.mode = static_cast<StereoLinkInfo::StereoLinkMode>((c / 71) % 4);
        if (c % 97 == 0) stereo.sideGain().assign((c / 97) % 2 ? 0.5f : 2.0f);
        if (c % 131 == 0)
            encoder.conversion() = static_cast<MidSideConverter::Conversion>((c / 131) % 3);
        ASSERT_TRUE(cycle()) << "cycle " << c;
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
