// The gain stages: the smoothed Mixer and the StaticMixer, the Router's crossfades, the
// VolumeFilter and the balance law of level/pan controls, and the dB converter with the fast
// logarithm it is built on.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cfloat>
#include <tuple>

#include "common/GraphRig.h"
#include "engine/Balance.h"
#include "engine/DBConverter.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/StaticMixer.h"
#include "engine/VolumeFilter.h"
#include "support/FastLog.h"

namespace tessel {
namespace {

using Operation = Mixer::Operation;
using namespace testing;  // tessel::testing

constexpr int32_t kFrames = 64;

// Period-4 inputs: first, and second at gain 0.5 (terms {0.125, 0.25, -2, 0}), or the non-finite
// {NaN, inf, -inf, NaN} at gain 1. Expected outputs worked out by hand from the operation table.
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
        // Constant inputs: one value computed once, equal to the per-sample result; the peak,
        // reset first, follows them too.
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

TEST_F(MixerTest, SilenceAndASingleUnityInputCostNothing) {
    Mixer mixer(&env, 3);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());  // nothing connected
    mixer.setInput(1, &second);  // inputs 0 and 2 stay absent and are skipped
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], second.outputBlock());

    // Static mode drops inputs settled at gain 0 without pulling them, even where the ordinary
    // mode would multiply by them.
    mixer.setInput(0, &first);
    mixer.operation() = Operation::kMultiply;
    mixer.inputGain(1)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(runCycle(env, mixer, kFrames), std::vector<float>(kFrames, 0.0f));
    mixer.setStatic(true);
    const int pulls = second.calls;
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], first.outputBlock());
    EXPECT_EQ(second.calls, pulls);
    mixer.inputGain(0)->parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pullCycle(env, kFrames, {&mixer})[0], env.zeroBlock());
}

TEST_F(MixerTest, GainsStayWithinPlusMinusOneAndRampPerSample) {
    Mixer mixer(&env, -2);
    EXPECT_EQ(mixer.inputCount(), 0);
    mixer.addInput(&first);
    mixer.addInput(&second);
    mixer.inputGain(1)->parameter().setValue(-1.0f, 0.0f);  // 0..1 until widened: 0
    EXPECT_EQ(runCycle(env, mixer, kFrames)[2], 2.0f);
    mixer.setInputGainLimits(1, -5.0f, 5.0f);
    mixer.inputGain(1)->parameter().setValue(-3.0f, 10.0f);  // to -1 over 441 samples
    for (int32_t n = 0; n < 512; n += kFrames) {
        const std::vector<float> out = runCycle(env, mixer, kFrames);
        for (int32_t i = 0; i < kFrames; ++i) {
            const float g = -std::min((n + i) / 441.0f, 1.0f);
            ASSERT_NEAR(out[i], kFirst[i % 4] + g * kSecond[i % 4], 1e-5f) << n + i;
        }
    }
}

TEST(StaticMixer, SumsGainWeightedInputsFoldingConstantOnes) {
    wave::Environment env(256, true);
    PatternSource a(&env, {0.5f, -1.0f, 0.25f});
    PatternSource b(&env, {1.0f, 2.0f, -3.0f, 4.0f, 0.0f});
    ConstantSource c(&env, 0.75f);
    // Both orders, so that the first and a further varying input each come at unity and scaled.
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
    EXPECT_EQ(runCycle(env, constant, kFrames)[kFrames - 1], -0.25f);
    EXPECT_TRUE(constant.outputBlock()->isConstant());
}

TEST(StaticMixer, SilenceAndUnityCostNothingAndZeroGainsKeepNonFiniteValuesOut) {
    wave::Environment env(256, true);
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

struct RouterFixture : ::testing::Test {
    RouterFixture() {
        router.addInput(&a);
        router.addInput(&b);
    }
    const wave::BasicBlock<float>* pull() { return pullCycle(env, kFrames, {&router})[0]; }

    wave::Environment env{256, true};
    ConstantSource a{&env, 1.0f};
    ConstantSource b{&env, 3.0f};
    Router router{&env};
};

TEST_F(RouterFixture, CrossfadesLinearlyOverTheSwitchTimeThenPassesThrough) {
    EXPECT_EQ(pull(), a.outputBlock());
    EXPECT_EQ(b.calls, 0);  // weight settled at 0: never pulled
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

    router.switchTimeMs() = 0.0f;  // immediate
    router.selectedInput() = 0;
    EXPECT_EQ(pull(), a.outputBlock());
}

TEST_F(RouterFixture, FadeKeepsTimeWhileNotPulledTurnsBackWithoutAJumpAndEndsOnReset) {
    pull();
    router.selectedInput() = 1;
    for (int c = 0; c < 7; ++c)
        pullCycle(env, 63, {});  // 441 samples: half of the fade
    std::vector<float> out = runCycle(env, router, 4);
    EXPECT_NEAR(out[0], 2.0f, 1e-5f);  // w = 0.5
    EXPECT_NEAR(out[3], 1.0f + 2.0f * 444.0f / kFadeSamples, 1e-5f);

    // Reselecting mid-fade heads back from where the fade stood, again over the switch time.
    router.selectedInput() = 0;
    out = runCycle(env, router, kFrames);
    const float w = 445.0f / kFadeSamples;
    EXPECT_NEAR(out[0], 1.0f + 2.0f * w, 1e-5f);
    EXPECT_NEAR(out[kFrames - 1], 1.0f + 2.0f * w * (1.0f - 63.0f / kFadeSamples), 1e-5f);
    env.reset(wave::Environment::kResetAll);
    EXPECT_EQ(pull(), a.outputBlock());
}

TEST_F(RouterFixture, ClampsSettingsMissingInputsAreSilentAndNaNLeaksOnlyWhileFaded) {
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

    PatternSource bad(&env, {kNaN, 0.0f});
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

TEST(VolumeFilter, UnityPassesTheInputBlockOnAndSilenceSkipsIt) {
    wave::Environment env(256, true);
    PatternSource input(&env, {kNaN, kInf, -kInf, 1.0f});  // passed on untouched or dropped
    ConstantSource second(&env, 1.0f);
    VolumeFilter volume(&env);
    volume.setInput(&input);
    auto pull = [&] { return pullCycle(env, kFrames, {&volume})[0]; };
    EXPECT_EQ(pull(), input.outputBlock());
    volume.setSecondGain(&second);
    EXPECT_EQ(pull(), input.outputBlock());

    // Mute, a gain settled at 0 and a second gain settled at 0 output the zero block; the first
    // two do not even pull the input.
    const int pulls = input.calls;
    Muted mute;
    mute.muted = true;
    volume.setMuteCondition(&mute);
    EXPECT_EQ(pull(), env.zeroBlock());
    mute.muted = false;
    volume.gain().parameter().setValue(0.0f, 0.0f);
    EXPECT_EQ(pull(), env.zeroBlock());
    EXPECT_EQ(input.calls, pulls);
    volume.gain().parameter().setValue(1.0f, 0.0f);
    second.setValue(0.0f);
    EXPECT_EQ(pull(), env.zeroBlock());
}

TEST(VolumeFilter, GainsMultiplyEverySampleWhetherConstantOrRamping) {
    wave::Environment env(256, true);
    PatternSource input(&env, {0.5f, -1.0f, 0.25f, 2.0f, -0.75f});
    PatternSource second(&env, {0.0f, 1.0f, -4.0f});
    for (bool ramp : {false, true}) {
        for (wave::Producer* g2 : std::initializer_list<wave::Producer*>{nullptr, &second}) {
            VolumeFilter volume(&env, ramp ? 0.0f : 0.5f);
            volume.setInput(&input);
            volume.setSecondGain(g2);
            if (ramp) {
                runCycle(env, volume, kFrames);                   // the gain has now been used,
                volume.gain().parameter().setValue(1.0f, 10.0f);  // so this ramps over 441 samples
            }
            const int64_t start = env.samplePosition();
            const std::vector<float> out = runCycle(env, volume, kFrames);
            EXPECT_FALSE(volume.outputBlock()->isConstant());
            for (int32_t i = 0; i < kFrames; ++i) {
                const float g = (ramp ? i / 441.0f : 0.5f) * (g2 ? second.at(start + i) : 1.0f);
                ASSERT_NEAR(out[i], input.at(start + i) * g, 1e-6f) << ramp << " " << i;
            }
        }
    }
    // Constant operands: one value computed once, multiplied through even when not finite.
    ConstantSource constantIn(&env, 0.8f);
    ConstantSource constantSecond(&env, -0.5f);
    VolumeFilter volume(&env, 0.5f);
    volume.setInput(&constantIn);
    volume.setSecondGain(&constantSecond);
    for (auto [in, g2, expected] : {std::tuple{0.8f, -0.5f, -0.2f}, std::tuple{kInf, 0.5f, kInf},
                                    std::tuple{0.0f, kInf, kNaN}, std::tuple{kNaN, 2.0f, kNaN}}) {
        constantIn.setValue(in);
        constantSecond.setValue(g2);
        const auto* out = pullCycle(env, kFrames, {&volume})[0];
        EXPECT_TRUE(out->isConstant());
        EXPECT_TRUE(same(out->data()[kFrames - 1], expected)) << in << " " << g2;
    }
    volume.setMaximumGain(4.0f);  // the gain is limited to 0..maximum
    volume.gain().parameter().setValue(10.0f, 0.0f);
    EXPECT_EQ(volume.gain().parameter().target(), 4.0f);
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
        EXPECT_FLOAT_EQ(g.leftLinear, c[2]) << c[0] << " " << c[1];
        EXPECT_FLOAT_EQ(g.rightLinear, c[3]) << c[0] << " " << c[1];
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
    auto near = [](float y, float expected) {
        return std::isnan(expected) ? std::isnan(y)
                                    : std::fabs(y - expected) <= 2e-5f * std::fabs(expected);
    };
    wave::Environment env(256, true);
    for (const auto& [conversion, in, expected] : cases) {
        SCOPED_TRACE(static_cast<int>(conversion));
        PatternSource varying(&env, in);
        DBConverter converter(&env, conversion);
        converter.setInput(&varying);
        const std::vector<float> out = runCycle(env, converter, kConverterFrames);
        EXPECT_FALSE(converter.outputBlock()->isConstant());
        for (int32_t i = 0; i < kConverterFrames; ++i)
            EXPECT_TRUE(near(out[i], expected[i % in.size()]))
                << in[i % in.size()] << ": " << out[i];
        for (std::size_t k = 0; k < in.size(); ++k) {
            ConstantSource constant(&env, in[k]);
            converter.setInput(&constant);
            EXPECT_TRUE(
                near(runCycle(env, converter, kConverterFrames)[kConverterFrames - 1], expected[k]))
                << in[k];
            EXPECT_TRUE(converter.outputBlock()->isConstant());
        }
    }
    // Infinite dB clamp to the exponential's range; conversions outside 0..3 are clamped.
    EXPECT_TRUE(std::isfinite(DBConverter::convert(Conversion::kDbToGain, kInf)));
    EXPECT_TRUE(std::isfinite(DBConverter::convert(Conversion::kDbToReduction, -kInf)));
    DBConverter clamped(&env, static_cast<Conversion>(-1));
    EXPECT_EQ(clamped.conversion(), Conversion::kGainToDb);
    clamped.conversion() = static_cast<Conversion>(9);
    EXPECT_EQ(clamped.conversion(), Conversion::kDbToReduction);
}

// Relative error within a few ulp of single precision, over the whole normal range and next to
// 1, where ln x is tiny and an absolute bound would hide errors.
TEST(FastLog, MatchesStdLogToAFewUlpOverTheWholeNormalRange) {
    auto accurate = [](float x) {
        const double ln = std::log(static_cast<double>(x));
        const double log10 = std::log10(static_cast<double>(x));
        return std::fabs(fastLog(x) - ln) <= 2.5e-7 * std::fabs(ln) &&
               std::fabs(fastLog10(x) - log10) <= 2.5e-7 * std::fabs(log10);
    };
    for (double exponent = -37.9; exponent <= 38.5; exponent += 0.000731) {
        const float x = static_cast<float>(std::pow(10.0, exponent));
        if (x >= FLT_MIN && x <= FLT_MAX) {
            ASSERT_TRUE(accurate(x)) << x;
        }
    }
    for (int e = -126; e <= 127; ++e)
        ASSERT_TRUE(accurate(std::ldexp(1.0f, e))) << e;
    EXPECT_TRUE(accurate(FLT_MAX));
    EXPECT_EQ(fastLog(1.0f), 0.0f);
    for (uint32_t bits = std::bit_cast<uint32_t>(0.5f); bits < std::bit_cast<uint32_t>(2.0f);
         bits += 16) {  // every 16th float of [0.5, 2)
        const float x = std::bit_cast<float>(bits);
        if (x != 1.0f) {
            ASSERT_TRUE(accurate(x)) << x;
        }
    }
}

}  // namespace
}  // namespace tessel
