// Controls, mixers, router, volume, balance, converters, the mid/side stage; none allocates.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <tuple>
#include <vector>

#include "common/AllocationCounter.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "engine/Balance.h"
#include "engine/DBConverter.h"
#include "engine/FloatParameter.h"
#include "engine/FloatParameterBus.h"
#include "engine/FloatParameterSource.h"
#include "engine/MidSideConverter.h"
#include "engine/MidSideStereoProcessor.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/StaticMixer.h"
#include "engine/VolumeFilter.h"
#include "engine/wave/Delay.h"
#include "engine/wave/DelayFilter.h"
#include "support/FastLog.h"

namespace tessel {
namespace {

using Operation = Mixer::Operation;
using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 64;

// Period-4 inputs: first, and second at gain 0.5 (terms {0.125, 0.25, -2, 0}) or the non-finite
// {NaN, inf, -inf, NaN} at gain 1; outputs worked out by hand.
const std::vector<float> kFirst = {0.5f, -0.25f, 2.0f, 0.0f};
const std::vector<float> kSecond = {0.25f, 0.5f, -4.0f, 0.0f};
const std::tuple<Operation, std::array<float, 4>, std::array<float, 4>> kOperations[] = {
    {Operation::kAdd, {0.625f, 0.0f, 0.0f, 0.0f}, {kNaN, kInf, -kInf, kNaN}},
    {Operation::kSubtract, {0.375f, -0.5f, 4.0f, 0.0f}, {kNaN, -kInf, kInf, kNaN}},
    {Operation::kMaxMagnitude, {0.5f, 0.25f, 2.0f, 0.0f}, {0.5f, kInf, kInf, 0.0f}},
    {Operation::kMultiply, {0.0625f, -0.0625f, -4.0f, 0.0f}, {kNaN, -kInf, -kInf, kNaN}},
    {Operation::kDivideClamped, {1.0f, 0.0f, 1.0f, 0.0f}, {0.0f, 0.0f, 0.0f, 0.0f}},
    {Operation::kRatio, {4.0f, 4e-9f, 1.0f, 1.0f}, {5e8f, 0.0f, 0.0f, 1.0f}},
    {Operation::kPeak, {0.5f, -0.25f, 2.0f, 0.0f}, {0.5f, -0.25f, 2.0f, 0.0f}},
    {Operation::kMax, {0.5f, 0.25f, 2.0f, 0.0f}, {0.5f, kInf, 2.0f, 0.0f}},
    {Operation::kMagnitude, {0.125f, 0.25f, 2.0f, 0.0f}, {kNaN, kInf, kInf, kNaN}},
    // Out of range: clamped to the first and the last operation.
    {static_cast<Operation>(-7), {0.625f, 0.0f, 0.0f, 0.0f}, {kNaN, kInf, -kInf, kNaN}},
    {static_cast<Operation>(42), {0.125f, 0.25f, 2.0f, 0.0f}, {kNaN, kInf, kInf, kNaN}},
};

struct MixerTest : ::testing::Test {
    wave::Environment env{256, true};
    PatternSource first{&env, kFirst};
    PatternSource second{&env, kSecond};
};

TEST_F(MixerTest, EveryOperationOnVaryingNonFiniteAndConstantInputs) {
    PatternSource bad(&env, {kNaN, kInf, -kInf, kNaN});
    ConstantSource a(&env, 0.0f);
    ConstantSource b(&env, 0.0f);
    for (const auto& [op, finite, nonFinite] : kOperations) {
        SCOPED_TRACE(static_cast<int>(op));
        Mixer mixer(&env);
        mixer.addInput(&first);
        mixer.addInput(&bad);
        mixer.operation() = op;
        const bool peak = mixer.operation() == Operation::kPeak;
        for (const auto* expected : {&nonFinite, &finite}) {
            const std::vector<float> out = runCycle(env, mixer, kFrames);
            EXPECT_FALSE(mixer.outputBlock()->isConstant());
            for (int32_t i = 0; i < kFrames; ++i)  // cycles start at multiples of 4
                ASSERT_TRUE(same(out[i], (*expected)[i % 4])) << i << ": " << out[i];
            EXPECT_EQ(mixer.peak(), peak ? kInf : 0.0f);  // NaN ignored, infinity held
            mixer.setInput(1, &second);
            mixer.inputGain(1)->parameter().setValue(0.5f, 0.0f);
        }
        // Constant inputs: one value, equal to the per-sample result; the peak, reset, follows.
        mixer.reset();
        mixer.setInput(0, &a);
        mixer.setInput(1, &b);
        for (std::size_t k = 0; k < 4; ++k) {
            a.setValue(kFirst[k]);
            b.setValue(kSecond[k]);
            mixer.setStatic(k % 2 == 0);  // no effect at non-zero gains
            EXPECT_FLOAT_EQ(runCycle(env, mixer, kFrames)[kFrames - 1], finite[k]) << k;
            EXPECT_TRUE(mixer.outputBlock()->isConstant());
        }
        EXPECT_EQ(mixer.peak(), peak ? 2.0f : 0.0f);
    }
}

TEST_F(MixerTest, SilenceAndASingleUnityInputCostNothingAndGainsRampPerSampleWithinLimits) {
    Mixer mixer(&env, 3);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());  // nothing connected
    mixer.setInput(1, &second);  // inputs 0 and 2 stay absent and are skipped
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], second.outputBlock());

    // Static mode drops inputs settled at gain 0 unpulled, even where they would multiply.
    mixer.setInput(0, &first);
    mixer.operation() = Operation::kMultiply;
    mixer.inputGain(1)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(runCycle(env, mixer, kFrames), std::vector<float>(kFrames, 0.0f));
    mixer.setStatic(true);
    const int pulls = second.calls;
    EXPECT_TRUE(pullCycle(env, kFrames, {&mixer})[0] == first.outputBlock() &&
                second.calls == pulls);
    mixer.inputGain(0)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());

    // Gains stay within 0..1 until widened (to at most +-1), and ramp per sample.
    Mixer ramped(&env, -2);
    EXPECT_EQ(ramped.inputCount(), 0);
    ramped.addInput(&first);
    ramped.addInput(&second);
    ramped.inputGain(1)->parameter().setValue(-1.0f, 0.0f);
    EXPECT_EQ(runCycle(env, ramped, kFrames)[2], 2.0f);
    ramped.setInputGainLimits(1, -5.0f, 5.0f);
    ramped.inputGain(1)->parameter().setValue(-3.0f, 10.0f);  // to -1 over 441 samples
    for (int32_t n = 0; n < 512; n += kFrames) {
        const std::vector<float> out = runCycle(env, ramped, kFrames);
        for (int32_t i = 0; i < kFrames; ++i) {
            const float g = -std::min((n + i) / 441.0f, 1.0f);
            ASSERT_NEAR(out[i], kFirst[i % 4] + g * kSecond[i % 4], 1e-5f) << n + i;
        }
    }
}

TEST(StaticMixer, SumsGainWeightedInputsFoldingConstantOnesAndSkippingZeroGains) {
    wave::Environment env(256, true);
    PatternSource a(&env, {0.5f, -1.0f, 0.25f});
    PatternSource b(&env, {1.0f, 2.0f, -3.0f, 4.0f, 0.0f});
    ConstantSource c(&env, 0.75f);
    // Both orders: the first and a further varying input each come at unity and scaled.
    for (bool scaledFirst : {true, false}) {
        StaticMixer mixer(&env);
        mixer.addInput(scaledFirst ? &a : &b, scaledFirst ? 0.5f : 1.0f);
        mixer.addInput(&c, 2.0f);
        mixer.addInput(nullptr, 3.0f);
        mixer.addInput(scaledFirst ? &b : &a, scaledFirst ? 1.0f : 0.5f);
        const int64_t start = env.samplePosition();
        const std::vector<float> out = runCycle(env, mixer, kFrames);
        EXPECT_FALSE(mixer.outputBlock()->isConstant());
        for (int32_t i = 0; i < kFrames; ++i)
            ASSERT_FLOAT_EQ(out[i], 0.5f * a.at(start + i) + 1.5f + b.at(start + i)) << i;
    }
    ConstantSource d(&env, -0.25f);
    StaticMixer constant(&env);
    constant.addInput(&c);
    constant.addInput(&d, 4.0f);
    EXPECT_TRUE(runCycle(env, constant, kFrames)[kFrames - 1] == -0.25f &&
                constant.outputBlock()->isConstant());

    // Silence and unity cost nothing; zero gains keep non-finite values out.
    PatternSource bad(&env, {kNaN, kInf});
    PatternSource good(&env, {1.0f, 2.0f});
    StaticMixer mixer(&env);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
    mixer.addInput(&bad, 0.0f);
    mixer.addInput(&good, 1.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], good.outputBlock());
    EXPECT_EQ(bad.calls, 0);  // zero gain: never pulled
    mixer.setGain(1, 2.0f);
    EXPECT_EQ(runCycle(env, mixer, 2), (std::vector<float>{2.0f, 4.0f}));
    mixer.setGain(0, 0.5f);  // now it contributes, by IEEE arithmetic
    const std::vector<float> out = runCycle(env, mixer, 2);
    EXPECT_TRUE(std::isnan(out[0]) && out[1] == kInf);
    mixer.setGain(0, 1e-8f);  // within the float tolerance of 0
    mixer.setGain(1, 0.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
}

constexpr float kFadeSamples = 882.0f;  // 20 ms at 44.1 kHz

// A linear crossfade that keeps time while idle, turns back where it stands, ends on a reset.
TEST(Router, CrossfadesLinearlyKeepsTimeTurnsBackAndPassesThroughWhenSettled) {
    wave::Environment env(256, true);
    ConstantSource a(&env, 1.0f), b(&env, 3.0f);
    Router router(&env);
    router.addInput(&a);
    router.addInput(&b);
    const auto pull = [&] { return pullCycle(env, kFrames, {&router})[0]; };
    EXPECT_TRUE(pull() == a.outputBlock() && b.calls == 0);  // weight settled at 0: never pulled
    router.selectedInput() = 1;
    for (int32_t n = 0; n < 1024; n += 256) {
        const std::vector<float> out = runCycle(env, router, 256);
        for (int32_t i = 0; i < 256; ++i)
            ASSERT_NEAR(out[i], 1.0f + 2.0f * std::min((n + i) / kFadeSamples, 1.0f), 5e-6f);
    }
    EXPECT_EQ(pull(), b.outputBlock());
    const int pulls = a.calls;
    pull();
    EXPECT_EQ(a.calls, pulls);

    router.selectedInput() = 0;
    for (int c = 0; c < 7; ++c)
        pullCycle(env, 63, {});  // 441 samples: half of the fade
    std::vector<float> out = runCycle(env, router, 4);
    EXPECT_NEAR(out[0], 2.0f, 1e-5f);  // w = 0.5
    EXPECT_NEAR(out[3], 3.0f - 2.0f * 444.0f / kFadeSamples, 1e-5f);
    router.selectedInput() = 1;
    out = runCycle(env, router, kFrames);
    const float w = 445.0f / kFadeSamples;
    EXPECT_NEAR(out[0], 3.0f - 2.0f * w, 1e-5f);
    EXPECT_NEAR(out[kFrames - 1], 3.0f - 2.0f * w * (1.0f - 63.0f / kFadeSamples), 1e-5f);
    env.reset(wave::Environment::kResetAll);
    EXPECT_EQ(pull(), b.outputBlock());
    router.switchTimeMs() = 0.0f;  // immediate
    router.selectedInput() = 0;
    EXPECT_EQ(pull(), a.outputBlock());

    // Settings clamp; missing inputs are silent; a NaN leaks only while faded in.
    router.selectedInput() = 7;
    EXPECT_EQ(router.selectedInput(), 1);
    router.selectedInput() = -3;
    EXPECT_EQ(router.selectedInput(), 0);
    router.switchTimeMs() = kNaN;  // negative or NaN: 0
    EXPECT_EQ(router.switchTimeMs(), 0.0f);
    Router empty(&env);
    EXPECT_EQ(pullCycle(env, kFrames, {&empty})[0], env.zeroBlock());
    empty.addInput(nullptr);  // the selected slot, unconnected
    EXPECT_EQ(pullCycle(env, kFrames, {&empty})[0], env.zeroBlock());
    PatternSource bad(&env, {kNaN});
    router.setInput(1, &bad);
    router.switchTimeMs() = 20.0f;
    EXPECT_EQ(pull(), a.outputBlock());  // weight 0: never touched
    router.selectedInput() = 1;
    EXPECT_TRUE(std::isnan(runCycle(env, router, kFrames)[0]));  // NaN * 0 is NaN
    for (int c = 0; c < 14; ++c)
        pull();
    EXPECT_EQ(pull(), bad.outputBlock());  // passed on untouched
}

struct Muted final : VolumeFilter::MuteCondition {
    bool isMuted() const noexcept override { return muted; }
    bool muted = false;
};

TEST(VolumeFilter, UnityPassesTheBlockOnSilenceSkipsItAndGainsMultiplyEverySample) {
    wave::Environment env(256, true);
    PatternSource input(&env, {kNaN, kInf, -kInf, 1.0f});  // passed on untouched or dropped
    ConstantSource second(&env, 1.0f);
    VolumeFilter volume(&env);
    volume.setInput(&input);
    auto pull = [&] { return pullCycle(env, kFrames, {&volume})[0]; };
    EXPECT_EQ(pull(), input.outputBlock());
    volume.setSecondGain(&second);
    EXPECT_EQ(pull(), input.outputBlock());

    // Mute, a gain or a second gain settled at 0: the zero block (the first two pull nothing).
    const int pulls = input.calls;
    Muted mute;
    mute.muted = true;
    volume.setMuteCondition(&mute);
    EXPECT_EQ(pull(), env.zeroBlock());
    mute.muted = false;
    volume.gain().parameter().setValue(0.0f, 0.0f);
    EXPECT_TRUE(pull() == env.zeroBlock() && input.calls == pulls);
    volume.gain().parameter().setValue(1.0f, 0.0f);
    second.setValue(0.0f);
    EXPECT_EQ(pull(), env.zeroBlock());

    // Gains multiply every sample, whether constant or ramping, with or without a second gain.
    PatternSource signal(&env, {0.5f, -1.0f, 0.25f, 2.0f, -0.75f});
    PatternSource varying(&env, {0.0f, 1.0f, -4.0f});
    for (bool ramp : {false, true}) {
        for (wave::Producer* g2 : std::initializer_list<wave::Producer*>{nullptr, &varying}) {
            VolumeFilter volume(&env, ramp ? 0.0f : 0.5f);
            volume.setInput(&signal);
            volume.setSecondGain(g2);
            if (ramp) {
                runCycle(env, volume, kFrames);                   // the gain has now been used,
                volume.gain().parameter().setValue(1.0f, 10.0f);  // so this ramps over 441 samples
            }
            const int64_t start = env.samplePosition();
            const std::vector<float> out = runCycle(env, volume, kFrames);
            EXPECT_FALSE(volume.outputBlock()->isConstant());
            for (int32_t i = 0; i < kFrames; ++i) {
                const float g = (ramp ? i / 441.0f : 0.5f) * (g2 ? varying.at(start + i) : 1.0f);
                ASSERT_NEAR(out[i], signal.at(start + i) * g, 1e-6f) << ramp << " " << i;
            }
        }
    }
    // Constant operands: one value, multiplied through even when not finite.
    ConstantSource constantIn(&env, 0.8f), constantSecond(&env, -0.5f);
    VolumeFilter halved(&env, 0.5f);
    halved.setInput(&constantIn);
    halved.setSecondGain(&constantSecond);
    for (auto [in, g2, expected] : {std::tuple{0.8f, -0.5f, -0.2f}, std::tuple{kInf, 0.5f, kInf},
                                    std::tuple{0.0f, kInf, kNaN}, std::tuple{kNaN, 2.0f, kNaN}}) {
        constantIn.setValue(in);
        constantSecond.setValue(g2);
        const auto* out = pullCycle(env, kFrames, {&halved})[0];
        EXPECT_TRUE(out->isConstant() && same(out->data()[kFrames - 1], expected))
            << in << " " << g2;
    }
    halved.setMaximumGain(4.0f);  // the gain is limited to 0..maximum
    halved.gain().parameter().setValue(10.0f, 0.0f);
    EXPECT_EQ(halved.gain().parameter().target(), 4.0f);
}

TEST(Balance, PanAttenuatesTheOppositeChannelLinearlyAndNeverRaisesEither) {
    const float cases[][4] = {
        // level, pan, left, right
        {0.8f, 0.0f, 0.8f, 0.8f},   {0.8f, 1.0f, 0.0f, 0.8f},  {0.8f, -1.0f, 0.8f, 0.0f},
        {1.0f, 0.25f, 0.75f, 1.0f}, {2.0f, -0.5f, 2.0f, 1.0f}, {0.5f, 3.0f, 0.0f, 0.5f},
        {0.5f, -7.0f, 0.5f, 0.0f},  {0.5f, kNaN, 0.5f, 0.5f},  // clamped to +-1; NaN: centre
    };
    for (const auto& c : cases) {
        const BalanceGains g = balanceGains(c[0], c[1]);
        EXPECT_EQ((std::vector<float>{g.leftLinear, g.rightLinear}),
                  (std::vector<float>{c[2], c[3]}))
            << c[0] << " " << c[1];
    }
}

using Conversion = DBConverter::Conversion;
constexpr int32_t kConverterFrames = 120;  // a multiple of every case list's length below

TEST(DBConverter, ConvertsReferenceAndNonFiniteValuesAlikeInConstantAndVaryingBlocks) {
    const float maxDb = 20.0f * std::log10(FLT_MAX);  // 770.6 dB
    const std::tuple<Conversion, std::vector<float>, std::vector<float>> cases[] = {
        // conversion, inputs, outputs
        {Conversion::kGainToDb,
         {0.0f, 1.0f, -10.0f, 0.5f, 2e-9f, 5e-10f, kNaN, -kInf},
         {-180.0f, 0.0f, 20.0f, -6.0206f, -173.9794f, -180.0f, -180.0f, maxDb}},
        {Conversion::kDbToGain, {-6.0206f, 20.0f, kNaN}, {0.5f, 10.0f, kNaN}},
        {Conversion::kReductionToDb,
         {0.5f, 1.0f, 0.9f, kNaN, kInf},
         {6.0206f, 180.0f, 20.0f, 180.0f, -maxDb}},
        {Conversion::kDbToReduction, {6.0206f, 20.0f, 0.0f}, {0.5f, 0.9f, 0.0f}},
    };
    auto near = [](float y, float x) {
        return same(y, x) || std::fabs(y - x) <= 2e-5f * std::fabs(x);
    };
    wave::Environment env(256, true);
    for (const auto& [conversion, in, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(conversion));
        PatternSource varying(&env, in);
        ConstantSource constant(&env, 0.0f);
        DBConverter converter(&env, conversion);
        converter.setInput(&varying);
        const std::vector<float> out = runCycle(env, converter, kConverterFrames);
        EXPECT_FALSE(converter.outputBlock()->isConstant());
        for (int32_t i = 0; i < kConverterFrames; ++i)
            EXPECT_TRUE(near(out[i], expected[i % in.size()]))
                << in[i % in.size()] << ": " << out[i];
        converter.setInput(&constant);
        for (std::size_t k = 0; k < in.size(); ++k) {
            constant.setValue(in[k]);
            const float y = runCycle(env, converter, kConverterFrames)[kConverterFrames - 1];
            EXPECT_TRUE(near(y, expected[k]) && converter.outputBlock()->isConstant()) << in[k];
        }
    }
    // Infinite dB clamp to the exponential's range; conversions outside 0..3 are clamped.
    EXPECT_TRUE(std::isfinite(DBConverter::convert(Conversion::kDbToGain, kInf)) &&
                std::isfinite(DBConverter::convert(Conversion::kDbToReduction, -kInf)));
    DBConverter clamped(&env, static_cast<Conversion>(-1));
    EXPECT_EQ(clamped.conversion(), Conversion::kGainToDb);
    clamped.conversion() = static_cast<Conversion>(9);
    EXPECT_EQ(clamped.conversion(), Conversion::kDbToReduction);
}

// A few ulp of relative error, for fastLog and the converter's own logarithm: every 1024th normal
// float (the powers of two among them) and every 16th of [0.5, 2), where ln x is tiny.
TEST(FastLog, MatchesStdLogToAFewUlpOverTheWholeNormalRange) {
    auto accurate = [](float x) {
        const double ln = std::log(static_cast<double>(x)), log10 = std::log10(double{x});
        return std::fabs(fastLog(x) - ln) <= 2.5e-7 * std::fabs(ln) &&
               std::fabs(DBConverter::logarithm(x) - ln) <= 2.5e-7 * std::fabs(ln) &&
               std::fabs(fastLog10(x) - log10) <= 2.5e-7 * std::fabs(log10);
    };
    const std::tuple<float, float, uint32_t> spans[] = {{FLT_MIN, FLT_MAX, 1024}, {0.5f, 2.0f, 16}};
    for (const auto& [from, to, stride] : spans) {
        for (uint32_t b = std::bit_cast<uint32_t>(from); b < std::bit_cast<uint32_t>(to);
             b += stride)
            ASSERT_TRUE(std::bit_cast<float>(b) == 1.0f || accurate(std::bit_cast<float>(b))) << b;
    }
    EXPECT_TRUE(accurate(FLT_MAX) && fastLog(1.0f) == 0.0f);
}

struct ControlRig : testing::GraphRig {
    explicit ControlRig(int32_t block = 64, float initial = 0.0f)
        : GraphRig(block, 44100.0f), source(&env, initial) {}
    FloatParameter& control() { return source.parameter(); }
    bool constant() const { return source.outputBlock()->isConstant(); }
    /// Samples a change to `to` takes to arrive, measured on the block stream.
    int32_t rampSamples(float to) {
        source.assign(to);
        for (int32_t samples = 0; samples < 100000; samples += block) {
            const std::vector<float> b = runCycle(env, source, block);
            for (int32_t i = 0; i < block; ++i)
                if (b[i] == to) return samples + i;
        }
        return -1;
    }
    FloatParameterSource source;
};

TEST(FloatParameter, ConstructionLimitsAndClamping) {
    wave::Environment env(64, true);
    FloatParameter p(&env, 3.0f), q(&env, -2.0f), r(&env, kNaN);
    // Limited to [min(x, 0), max(x, 1)]; NaN starts at 0.
    EXPECT_EQ((std::vector<float>{p.minimum(), p.maximum(), q.minimum(), q.maximum(), r.target()}),
              (std::vector<float>{0.0f, 3.0f, -2.0f, 1.0f, 0.0f}));
    p.setLimits(0.0f, 1.0f);
    EXPECT_EQ(p.target(), 1.0f) << "new limits re-clamp the target";
    p.setValue(2.0f, 30.0f);  // clamped to the target before the comparison: no change
    p.setValue(kInf, 10.0f);
    EXPECT_FALSE(p.isRamping());
    p.setValue(-kInf, 0.0f);
    p.setValue(kNaN, 0.0f);  // ignored
    EXPECT_EQ(p.target(), 0.0f);
}

TEST(FloatParameter, FirstValueJumpsAndAutomaticRampTimesFollowTheChangeSize) {
    ControlRig rig;
    rig.source.assign(0.7f);
    EXPECT_EQ(runCycle(rig.env, rig.source, 64)[0], 0.7f)
        << "the first change jumps, however large";
    // 20 ms (882 samples) from 30 % of the range up; below, 130 ms * ((0.3 - change) / 0.3)^2 more.
    rig.control().setValue(0.0f, 0.0f);
    runCycle(rig.env, rig.source, 64);
    EXPECT_TRUE(rig.rampSamples(1.0f) == 882 && rig.rampSamples(0.5f) == 882);
    EXPECT_NEAR(rig.rampSamples(0.51f) / 44.1, 141.5, 0.1);  // 1 %
}

TEST(FloatParameter, ExplicitTimesAndTheRampShape) {
    ControlRig rig(256);
    runCycle(rig.env, rig.source, 256);
    rig.control().setValue(1.0f, 50.0f);  // 2205 samples
    const std::vector<float> all = rig.render(rig.source, 2560);
    for (std::size_t i = 0; i < all.size(); ++i)  // linear, then exactly the target
        ASSERT_NEAR(all[i], std::min(static_cast<float>(i) / 2205.0f, 1.0f), i < 2205 ? 1e-6f : 0)
            << i;
}

// A change after cycles nobody pulled, or after a reset, is not continuous: it jumps.
TEST(FloatParameter, ChangesAfterAGapOrAResetJump) {
    ControlRig rig(100);
    runCycle(rig.env, rig.source, 100);
    rig.idle(2);
    rig.source.assign(0.5f);
    EXPECT_FALSE(rig.control().isRamping());
    runCycle(rig.env, rig.source, 100);
    rig.env.reset(wave::Environment::kResetAttached);
    rig.source.assign(0.2f);
    EXPECT_FALSE(rig.control().isRamping());
}

TEST(FloatParameter, BusesShareOneControlBlock) {
    ControlRig rig(64, 0.25f);
    FloatParameterBus bus(&rig.env, 0.0f);
    FloatParameterBusForwarder a(&rig.env, &bus), b(&rig.env, &bus);
    auto blocks = testing::pullCycle(rig.env, 64, {&a, &b});
    EXPECT_TRUE(blocks[0] == &bus.parameter().block() && blocks[1] == blocks[0]);
    bus.assign(1.0f);
    blocks = testing::pullCycle(rig.env, 64, {&a, &b});
    EXPECT_TRUE(!blocks[0]->isConstant() && blocks[1] == blocks[0]) << "a bus change ramps";
}

using Mode = StereoLinkInfo::StereoLinkMode;
using P = MidSideStereoProcessor;
constexpr int32_t kMidSideFrames = 60;  // a multiple of the pattern periods below

// Link amount a, gains x1 and x2, and the outputs left, right, mid, side for mid processing
// (link modes 0 and 3, and beyond the modes) and side processing (1 and 2), at m = 2, s = 0.5.
// Worked out by hand: k = clamp(2a - 1, 0, 1), y = x1 + (1 - x1) k.
struct Row {
    float a, x1, x2, out[2][4];
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
    std::vector<const wave::BasicBlock<float>*> pullAll() {  // left, right, mid, side
        const auto* p = &processor;
        return pullCycle(env, kMidSideFrames,
                         {p->output(0), p->output(1), p->output(2), p->output(3)});
    }
    std::vector<const wave::BasicBlock<float>*> inputBlocks() {  // passed on in left/right
        return {processor.firstGain()->outputBlock(), processor.secondGain()->outputBlock(),
                processor.midGain().source()->outputBlock(),
                processor.sideGain().source()->outputBlock()};
    }

    wave::Environment env{256, true};
    P processor{&env};
};

TEST_F(MidSideStereoProcessorFixture, PicksTheRegimePerBlockOrPerSampleKeepingTheFlagsItCan) {
    ConstantSource a(&env, 0.0f), x2(&env, 0.0f), constantX1(&env, 0.0f);
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
                    for (int32_t i = 0; i < kMidSideFrames; ++i)
                        ASSERT_TRUE(same(out[j]->data()[i], row.out[group][j])) << j << " " << i;
                }
            }
        }
    }

    // A varying amount picks the regime per sample, keeping the flags it can.
    PatternSource va(&env, {}), vx1(&env, {}), vx2(&env, {});
    for (const Row& row : kRows) {
        va.pattern.push_back(row.a);
        vx1.pattern.push_back(row.x1);
        vx2.pattern.push_back(row.x2);
    }
    link.amount = &va;
    processor.setFirstGain(&vx1);
    processor.setSecondGain(&vx2);
    for (const auto& [mode, group] : kModes) {
        link.mode = static_cast<Mode>(mode);
        const auto out = pullAll();
        for (int j = 0; j < 4; ++j) {
            EXPECT_FALSE(out[j]->isConstant()) << j;
            for (int32_t i = 0; i < kMidSideFrames; ++i) {
                ASSERT_TRUE(same(out[j]->data()[i], kRows[i % 6].out[group][j]))
                    << mode << " " << j << " " << i;
            }
        }
    }

    // All samples mid/side: left and right are the unity block, mid and side computed.
    PatternSource linked(&env, {0.6f, 0.9f, 0.499f});
    link.amount = &linked;
    auto out = pullAll();
    EXPECT_TRUE(out[P::kLeftGain] == out[P::kRightGain] && out[P::kLeftGain]->isConstant() &&
                out[P::kLeftGain]->data()[0] == 1.0f && !out[P::kMidGain]->isConstant());
    // All samples left/right: mid settled, side ramping, left and right computed (not constant).
    constantX1.setValue(0.5f);
    processor.setFirstGain(&constantX1);
    PatternSource apart(&env, {0.1f, 0.3f, 0.45f});
    link.amount = &apart;
    processor.sideGain().parameter().setValue(1.0f, 100.0f);
    out = pullAll();
    EXPECT_TRUE(out[P::kMidGain]->isConstant() && out[P::kMidGain]->data()[0] == 2.0f);
    EXPECT_TRUE(!out[P::kSideGain]->isConstant() && out[P::kSideGain]->data()[59] > 0.5f);
    EXPECT_TRUE(!out[P::kLeftGain]->isConstant() && out[P::kLeftGain]->data()[59] == 0.5f);
}

// Varying inputs each way (and none), then constant inputs, where non-finite values propagate.
TEST(MidSideConverter, ConvertsEachWayPassesThroughAndKeepsConstantBlocksConstant) {
    using Conversion = MidSideConverter::Conversion;
    wave::Environment env(256, true);
    PatternSource left(&env, {0.5f, -1.0f, 0.25f, 0.0f, 0.75f}), right(&env, {0.5f, 1.0f, -0.5f});
    MidSideConverter converter(&env, static_cast<Conversion>(5));  // clamped to the last
    EXPECT_EQ(converter.conversion(), Conversion::kMidSideToLeftRight);
    converter.setFirstInput(&left);
    converter.setSecondInput(&right);
    const auto pull = [&] {
        return pullCycle(env, kMidSideFrames, {converter.output(0), converter.output(1)});
    };
    for (Conversion conversion :
         {Conversion::kLeftRightToMidSide, Conversion::kMidSideToLeftRight}) {
        converter.conversion() = conversion;
        const int64_t start = env.samplePosition();
        const auto out = pull();
        EXPECT_FALSE(out[0]->isConstant() || out[1]->isConstant());
        for (int32_t i = 0; i < kMidSideFrames; ++i) {
            const float a = left.at(start + i), b = right.at(start + i);
            const bool encode = conversion == Conversion::kLeftRightToMidSide;
            ASSERT_FLOAT_EQ(out[0]->data()[i], encode ? (a + b) * 0.5f : a - b) << i;
            ASSERT_FLOAT_EQ(out[1]->data()[i], encode ? (b - a) * 0.5f : a + b) << i;
        }
    }
    converter.conversion() = Conversion::kNone;
    EXPECT_EQ(pull(), (std::vector<const wave::BasicBlock<float>*>{left.outputBlock(),
                                                                   right.outputBlock()}));

    ConstantSource a(&env, 0.8f), b(&env, 0.2f);
    converter.setFirstInput(&a);
    converter.setSecondInput(&b);
    const std::tuple<Conversion, float, float, float, float> cases[] = {
        // inputs, outputs
        {Conversion::kMidSideToLeftRight, 0.8f, 0.2f, 0.6f, 1.0f},
        {Conversion::kLeftRightToMidSide, 0.8f, 0.2f, 0.5f, -0.3f},
        {Conversion::kLeftRightToMidSide, kInf, kInf, kInf, kNaN},  // inf - inf is NaN
        {Conversion::kMidSideToLeftRight, kInf, kInf, kNaN, kInf}};
    for (const auto& [conversion, first, second, out0, out1] : cases) {
        converter.conversion() = conversion;
        a.setValue(first);
        b.setValue(second);
        const auto out = pull();
        EXPECT_TRUE(out[0]->isConstant() && out[1]->isConstant());
        EXPECT_TRUE(same(out[0]->data()[0], out0) && same(out[1]->data()[0], out1))
            << static_cast<int>(conversion) << " of " << first;
    }
    converter.setFirstInput(nullptr);  // silence
    EXPECT_EQ(pull()[1]->data()[0], kInf);
    converter.conversion() = static_cast<Conversion>(-2);
    EXPECT_EQ(converter.conversion(), Conversion::kNone);
}

// out = in + 0.5 * delayed(out) through a write-ahead delay: an echo every 8 samples, halving.
TEST(DelayFilter, WriteAheadClosesAFeedbackLoopOfAtLeastOneBlock) {
    wave::Environment env(8, true);
    PatternSource source(&env, impulse(64));
    wave::DelayFilter delay(&env, 16);
    delay.setDelay(8);
    delay.setWriteAhead();
    Mixer sum(&env);
    sum.addInput(&source);
    sum.addInput(&delay);
    sum.inputGain(1)->parameter().setValue(0.5f, 0.0f);
    delay.setInput(&sum);
    EXPECT_EQ(env.rootCount(), 1u);
    const std::vector<float> out = render(env, sum, 32, 8);
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(out[i], i % 8 == 0 ? 1.0f / static_cast<float>(1 << (i / 8)) : 0.0f) << i;
}

// Reads its input back at moving fractional delays, linear and all-pass; outputs their mean.
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
    float start = 0.0f, state = 0.0f;
};

TEST(SteadyState, GainMixingMidSideAndDelayNodesNeverAllocate) {
    constexpr int32_t kFrames = 128;
    wave::Environment env(256, true);
    PatternSource left(&env, {0.5f, -0.25f, 0.75f, -1.0f, 0.1f, 0.0f, -0.6f});
    PatternSource right(&env, {0.2f, 0.4f, -0.8f, 0.3f, -0.5f});
    ConstantSource dc(&env, 0.125f);
    VolumeFilter inLeft(&env), inRight(&env);
    inLeft.setInput(&left);
    inRight.setInput(&right);
    inRight.setSecondGain(&dc);
    ModulatedTap tap(&env);
    tap.setInput(&inRight);
    Mixer mixer(&env);
    for (wave::Producer* p : std::initializer_list<wave::Producer*>{&inLeft, &inRight, &dc, &left,
                                                                    &right, &inLeft, &dc})
        mixer.addInput(p);
    mixer.setInputGainLimits(1, -1.0f, 1.0f);
    // A feedback loop closed by a write-ahead delay of at least one block.
    Mixer loop(&env);
    wave::DelayFilter feedback(&env, 2 * kFrames);
    feedback.setWriteAhead();
    feedback.setDelay(kFrames);
    feedback.setInput(&loop);
    loop.addInput(&mixer);
    loop.addInput(&feedback);
    loop.inputGain(1)->parameter().setValue(0.5f, 0.0f);
    MidSideConverter encoder(&env, MidSideConverter::Conversion::kLeftRightToMidSide);
    encoder.setFirstInput(&loop);
    encoder.setSecondInput(&tap);
    PatternSource amount(&env, {0.3f, 0.52f, 0.7f, 0.49f, 0.9f, 0.1f});
    FixedLink link(&amount);
    MidSideStereoProcessor stereo(&env);
    stereo.setFirstGain(encoder.output(0));
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
