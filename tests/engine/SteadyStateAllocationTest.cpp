// The gain, mixing, mid/side and delay nodes together in one graph, run for thousands of cycles
// with ramping controls, router switches, moving delays and setting changes: nothing on the audio
// path allocates, and the outputs stay finite.

#include <gtest/gtest.h>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "engine/DBConverter.h"
#include "engine/MidSideConverter.h"
#include "engine/MidSideStereoProcessor.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/StaticMixer.h"
#include "engine/VolumeFilter.h"
#include "engine/wave/Delay.h"
#include "engine/wave/DelayFilter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing

// Writes its input into a delay line and reads it back at fractional delays that move every
// cycle, by linear and by all-pass interpolation; outputs the mean of the two.
struct ModulatedTap final : wave::Filter {
    using wave::Filter::Filter;
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t) noexcept override {
        float* delays = environment()->scratchBlock(0)->data();
        float* allpass = environment()->scratchBlock(1)->data();
        line.write(in->data(), frames);
        start = start > 90.0f ? 0.3f : start + 1.7f;
        for (int32_t i = 0; i < frames; ++i)
            delays[i] = start + 0.0131f * static_cast<float>(i);
        line.readLinear(delays, out->data(), frames);
        line.readAllpass(delays, allpass, state, frames);
        for (int32_t i = 0; i < frames; ++i)
            out->data()[i] = 0.5f * (out->data()[i] + allpass[i]);
        out->setConstant(false);
    }
    wave::Delay line{environment(), 100};
    float start = 0.0f;
    float state = 0.0f;
};

TEST(SteadyState, GainMixingAndDelayNodesNeverAllocate) {
    constexpr int32_t kFrames = 128;
    wave::Environment env(256, true);
    PatternSource left(&env, {0.5f, -0.25f, 0.75f, -1.0f, 0.1f, 0.0f, -0.6f});
    PatternSource right(&env, {0.2f, 0.4f, -0.8f, 0.3f, -0.5f});
    ConstantSource dc(&env, 0.125f);
    VolumeFilter inLeft(&env);
    inLeft.setInput(&left);
    VolumeFilter inRight(&env);
    inRight.setInput(&right);
    inRight.setSecondGain(&dc);
    ModulatedTap tap(&env);
    tap.setInput(&inRight);
    Mixer mixer(&env);
    for (wave::Producer* p : std::initializer_list<wave::Producer*>{&inLeft, &inRight, &dc, &left,
                                                                    &right, &inLeft, &dc})
        mixer.addInput(p);
    mixer.setInputGainLimits(1, -1.0f, 1.0f);
    StaticMixer fixed(&env);
    fixed.addInput(&left, 0.5f);
    fixed.addInput(&dc, 1.0f);
    // A feedback loop closed by a write-ahead delay of at least one block.
    Mixer loop(&env);
    wave::DelayFilter feedback(&env, 2 * kFrames);
    feedback.setWriteAhead();
    feedback.setDelay(kFrames);
    feedback.setInput(&loop);
    loop.addInput(&fixed);
    loop.addInput(&feedback);
    loop.inputGain(1)->parameter().setValue(0.5f, 0.0f);
    Router router(&env);
    for (wave::Producer* p : std::initializer_list<wave::Producer*>{&mixer, &loop, &inRight})
        router.addInput(p);
    wave::DelayFilter lookahead(&env, 64);
    lookahead.setMaximumDelay(300);
    lookahead.setInput(&router);
    MidSideConverter encoder(&env, MidSideConverter::Conversion::kLeftRightToMidSide);
    encoder.setFirstInput(&lookahead);
    encoder.setSecondInput(&tap);
    DBConverter toDb(&env, DBConverter::Conversion::kGainToDb);
    toDb.setInput(encoder.output(0));
    DBConverter toGain(&env, DBConverter::Conversion::kDbToGain);
    toGain.setInput(&toDb);
    PatternSource amount(&env, {0.3f, 0.52f, 0.7f, 0.49f, 0.9f, 0.1f});
    FixedLink link(&amount);
    MidSideStereoProcessor stereo(&env);
    stereo.setFirstGain(&toGain);
    stereo.setSecondGain(encoder.output(1));
    stereo.setLinkInfo(&link);
    int nonFinite = 0;

    // Cycle c changes what c is a multiple of; pulled by hand (the cycle helpers allocate).
    const auto step = [&](int c) {
        if (c % 37 == 0) inLeft.gain().assign(0.25f + 0.2f * static_cast<float>(c % 5));
        if (c % 23 == 0) inRight.gain().parameter().setValue((c / 23) % 2 ? 1.0f : 0.0f, 30.0f);
        for (int i = 0; c % 11 == 0 && i < 7; ++i)
            mixer.inputGain(i)->assign(static_cast<float>((c + i) % 3) * 0.4f);
        if (c % 101 == 0) mixer.operation() = static_cast<Mixer::Operation>((c / 101) % 9);
        if (c % 53 == 0) mixer.setStatic(!mixer.isStatic());
        if (c % 29 == 0) router.selectedInput() = (c / 29) % 3;
        if (c % 300 == 0) router.switchTimeMs() = (c / 300) % 2 ? 0.0f : 20.0f;
        if (c % 7 == 0) lookahead.setDelay((c * 13) % 300);
        if (c % 17 == 0) feedback.setDelay(kFrames + (c * 5) % kFrames);
        if (c % 71 == 0) link.mode = static_cast<StereoLinkInfo::StereoLinkMode>((c / 71) % 4);
        if (c % 97 == 0) stereo.sideGain().assign((c / 97) % 2 ? 0.5f : 2.0f);
        if (c % 131 == 0)
            encoder.conversion() = static_cast<MidSideConverter::Conversion>((c / 131) % 3);
        env.beginCycle();
        for (int j = 0; c % 401 != 0 && j < 4; ++j) {  // idle now and then: roots still run
            const float* out = stereo.output(j)->pull(kFrames)->data();
            for (int32_t i = 0; i < kFrames; ++i)
                nonFinite += !std::isfinite(out[i]);
        }
        env.advance(kFrames, 0);
    };
    step(-1);  // first use of every node, no change yet
    EXPECT_EQ(steadyStateAllocations(0, 4000, step), 0u);
    EXPECT_EQ(nonFinite, 0);
}

}  // namespace
}  // namespace tessel
