#include "bands/BiquadProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "common/AllocationCounter.h"

namespace tessel {
namespace {

constexpr float kSampleRate = 48000.0f;
constexpr int32_t kRampSamples = 960;  // 20 ms at 48 kHz
constexpr double kPi = 3.14159265358979323846;

// Straightforward double-precision direct form I cascade: the model the processor must match.
struct ReferenceCascade {
    std::vector<std::array<double, 4>> state;  // x1, x2, y1, y2
    explicit ReferenceCascade(int sections) : state(static_cast<std::size_t>(sections)) {}
    double process(const BiquadCoefficients* c, double x) {
        for (std::size_t s = 0; s < state.size(); ++s) {
            auto& st = state[s];
            const double y =
                c[s].b0 * x + c[s].b1 * st[0] + c[s].b2 * st[1] - c[s].a1 * st[2] - c[s].a2 * st[3];
            st = {x, st[0], y, st[2]};
            x = y;
        }
        return x;
    }
};

// A stable section with poles of radius 0.2..0.9 and a numerator scaled to keep gains moderate.
BiquadCoefficients randomSection(std::mt19937& rng) {
    std::uniform_real_distribution<double> radius(0.2, 0.9), angle(0.0, kPi), b(-1.0, 1.0);
    const double r = radius(rng);
    const double scale = 1.0 - r;
    return {b(rng) * scale + scale, b(rng) * scale, b(rng) * scale, -2.0 * r * std::cos(angle(rng)),
            r * r};
}

// Second-order low-pass at frequencyHz, Q 0.707, unity gain at DC.
BiquadCoefficients lowPass(double frequencyHz) {
    const double w = 2.0 * kPi * frequencyHz / kSampleRate;
    const double alpha = std::sin(w) / (2.0 * 0.70710678);
    const double a0 = 1.0 + alpha;
    const double c = std::cos(w);
    return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
            (1.0 - alpha) / a0};
}

std::vector<float> noise(std::mt19937& rng, int32_t frames) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(static_cast<std::size_t>(frames));
    for (float& x : v)
        x = d(rng);
    return v;
}

TEST(BiquadProcessor, MatchesReferenceCascadeForRandomSchedules) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (int trial = 0; trial < 20; ++trial) {
        const int sections = 1 + trial % 4;
        BiquadProcessor processor(sections, 64, kSampleRate);
        ReferenceCascade reference(sections);
        std::vector<BiquadCoefficients> cascade(static_cast<std::size_t>(sections));
        float weight = 1.0f;
        for (int block = 0; block < 8; ++block) {
            const int32_t frames = std::uniform_int_distribution<int32_t>(1, 300)(rng);
            const std::vector<float> input = noise(rng, frames);
            std::vector<float> output(input.size());
            std::vector<double> expected;
            for (int32_t offset = 0; offset < frames;) {
                const int32_t n =
                    std::min(frames - offset, std::uniform_int_distribution<int32_t>(1, 40)(rng));
                if (rng() % 3 != 0) {  // otherwise repeat the last run's values: they must merge
                    for (auto& c : cascade)
                        c = randomSection(rng);
                    weight = rng() % 2 ? 1.0f : std::uniform_real_distribution<float>(0, 1)(rng);
                }
                processor.pushCoefficients(n, cascade.data(), weight);
                for (int32_t i = offset; i < offset + n; ++i) {
                    const double x = input[static_cast<std::size_t>(i)];
                    expected.push_back(x + weight * (reference.process(cascade.data(), x) - x));
                }
                offset += n;
            }
            ASSERT_TRUE(processor.run(input.data(), output.data(), frames));
            for (int32_t i = 0; i < frames; ++i)
                ASSERT_NEAR(output[static_cast<std::size_t>(i)],
                            expected[static_cast<std::size_t>(i)], 2e-5)
                    << "trial " << trial << " block " << block << " sample " << i;
        }
    }
}

// A schedule with room for 2 runs given 3: the newest values take over the last run's samples.
TEST(BiquadProcessor, FullScheduleGivesLastRunTheNewestCoefficients) {
    std::mt19937 rng(3);
    BiquadProcessor processor(2, 2, kSampleRate);
    ReferenceCascade reference(2);
    BiquadCoefficients runs[3][2];
    for (auto& run : runs)
        run[0] = randomSection(rng), run[1] = randomSection(rng);
    for (const auto& run : runs)
        processor.pushCoefficients(10, run);
    const std::vector<float> input = noise(rng, 30);
    std::vector<float> output(30);
    processor.run(input.data(), output.data(), 30);
    for (std::size_t i = 0; i < 30; ++i)
        ASSERT_NEAR(output[i], reference.process(runs[i < 10 ? 0 : 2], input[i]), 2e-6) << i;
}

TEST(BiquadProcessor, StateVariableKernelMatchesDirectFormForConstantCoefficients) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 10; ++trial) {
        BiquadProcessor processor(3, 8, kSampleRate);
        processor.setKernel(BiquadProcessor::Kernel::kStateVariable);
        ReferenceCascade reference(3);
        BiquadCoefficients direct[3], stateVariable[3];
        for (int s = 0; s < 3; ++s) {
            direct[s] = randomSection(rng);
            if (s == 2) {  // a first-order section too, pole at sqrt(a2)
                direct[s].a1 = -std::sqrt(direct[s].a2);
                direct[s].b2 = direct[s].a2 = 0.0;
            }
            stateVariable[s] = BiquadProcessor::stateVariableFromDirectForm(direct[s]);
        }
        const std::vector<float> input = noise(rng, 512);
        std::vector<float> output(input.size());
        processor.pushCoefficients(512, stateVariable);
        processor.run(input.data(), output.data(), 512);
        for (std::size_t i = 0; i < input.size(); ++i)
            ASSERT_NEAR(output[i], reference.process(direct, input[i]), 2e-5) << trial << " " << i;
    }
}

// A sine well inside the pass band while the cut-off sweeps fast (a new set every 4 samples):
// the output must not step further from one sample to the next than the input itself does.
TEST(BiquadProcessor, FastSweepProducesNoDiscontinuity) {
    for (auto kernel :
         {BiquadProcessor::Kernel::kDirectForm1, BiquadProcessor::Kernel::kStateVariable}) {
        BiquadProcessor processor(2, 128, kSampleRate);
        processor.setKernel(kernel);
        const int32_t frames = 256;
        std::vector<float> input(frames), output(frames);
        float maxInputStep = 0.0f, maxOutputStep = 0.0f, previousIn = 0.0f, previousOut = 0.0f;
        int64_t t = 0;
        for (int block = 0; block < 32; ++block) {
            for (int32_t i = 0; i < frames; i += 4, t += 4) {
                // 600 Hz .. 19 kHz and back, five octaves each way in 4096 samples
                const double phase = static_cast<double>(t % 8192) / 4096.0;
                const double octaves = 5.0 * (phase < 1.0 ? phase : 2.0 - phase);
                BiquadCoefficients c = lowPass(600.0 * std::exp2(octaves));
                if (kernel == BiquadProcessor::Kernel::kStateVariable)
                    c = BiquadProcessor::stateVariableFromDirectForm(c);
                const BiquadCoefficients cascade[2] = {c, c};
                processor.pushCoefficients(4, cascade);
            }
            for (int32_t i = 0; i < frames; ++i)
                input[i] = static_cast<float>(
                    std::sin(2.0 * kPi * 150.0 * (block * frames + i) / kSampleRate));
            processor.run(input.data(), output.data(), frames);
            for (int32_t i = 0; i < frames; ++i) {
                if (block > 0) {  // skip the start-up transient
                    maxInputStep = std::max(maxInputStep, std::fabs(input[i] - previousIn));
                    maxOutputStep = std::max(maxOutputStep, std::fabs(output[i] - previousOut));
                }
                previousIn = input[i];
                previousOut = output[i];
            }
        }
        EXPECT_LE(maxOutputStep, 1.1f * maxInputStep) << static_cast<int>(kernel);
    }
}

// Drives `leader` (linked with `follower`) and two unlinked processors with the same pushes,
// toggling enable on the way; the linked outputs must equal the separate ones.
void expectLinkedEqualsSeparate(BiquadProcessor::LinkKind kind) {
    std::mt19937 rng(11);
    BiquadProcessor leader(4, 16, kSampleRate), follower(4, 16, kSampleRate);
    BiquadProcessor left(4, 16, kSampleRate), right(4, 16, kSampleRate);
    leader.link(&follower, kind);
    std::vector<float> out0(128), out1(128), ref0(128), ref1(128);
    for (int block = 0; block < 40; ++block) {
        if (block == 10 || block == 30) {
            leader.setEnabled(block == 30);
            left.setEnabled(block == 30);
            right.setEnabled(block == 30);
        }
        for (int32_t offset = 0; offset < 128; offset += 32) {
            BiquadCoefficients cascade[4];
            for (auto& c : cascade)
                c = randomSection(rng);
            leader.pushCoefficients(32, cascade);  // the follower gets nothing directly
            left.pushCoefficients(32, cascade);
            right.pushCoefficients(32, cascade);
        }
        const std::vector<float> in0 = noise(rng, 128), in1 = noise(rng, 128);
        bool filtered;
        if (kind == BiquadProcessor::LinkKind::kStereoPair) {
            filtered = leader.runPair(in0.data(), out0.data(), in1.data(), out1.data(), 128);
        } else {
            filtered = leader.run(in0.data(), out0.data(), 128);
            EXPECT_EQ(follower.run(in1.data(), out1.data(), 128), filtered);
        }
        ASSERT_EQ(follower.wetGain(), leader.wetGain()) << "block " << block;
        EXPECT_EQ(left.run(in0.data(), ref0.data(), 128), filtered);
        EXPECT_EQ(right.run(in1.data(), ref1.data(), 128), filtered);
        // Same operations in the same order: equal up to contraction differences on targets
        // with fused multiply-add.
        for (std::size_t i = 0; filtered && i < 128; ++i) {
            ASSERT_NEAR(out0[i], ref0[i], 1e-6f) << "block " << block << " sample " << i;
            ASSERT_NEAR(out1[i], ref1[i], 1e-6f) << "block " << block << " sample " << i;
        }
    }
}

TEST(BiquadProcessor, FollowingPartnerEqualsSeparateFilters) {
    expectLinkedEqualsSeparate(BiquadProcessor::LinkKind::kFollow);
}

TEST(BiquadProcessor, StereoPairEqualsSeparateFilters) {
    expectLinkedEqualsSeparate(BiquadProcessor::LinkKind::kStereoPair);
}

// A pure gain of 0.5 as the "filter" makes the wet share readable from a constant input of 1:
// y = 1 - 0.5 * wet.
TEST(BiquadProcessor, EnableRampIsLinearOverTwentyMillisecondsThenPassesInput) {
    BiquadProcessor processor(1, 4, kSampleRate);
    const BiquadCoefficients half{0.5, 0.0, 0.0, 0.0, 0.0};
    const std::vector<float> input(kRampSamples + 40, 1.0f);
    std::vector<float> output(input.size());
    processor.pushCoefficients(1, &half);
    processor.run(input.data(), output.data(), 64);
    EXPECT_FLOAT_EQ(output[63], 0.5f);

    processor.setEnabled(false);
    ASSERT_TRUE(processor.run(input.data(), output.data(), kRampSamples + 40));
    for (int32_t i = 0; i < kRampSamples; ++i)
        ASSERT_NEAR(2.0f * (1.0f - output[i]), 1.0f - (i + 1.0f) / kRampSamples, 1e-5f) << i;
    for (int32_t i = kRampSamples; i < kRampSamples + 40; ++i)
        ASSERT_EQ(output[i], 1.0f);

    std::fill(output.begin(), output.end(), -7.0f);
    EXPECT_FALSE(processor.run(input.data(), output.data(), 64));
    EXPECT_EQ(output[0], -7.0f);  // not even touched: the caller hands on the input block

    processor.setEnabled(true);
    ASSERT_TRUE(processor.run(input.data(), output.data(), kRampSamples));
    for (int32_t i = 0; i < kRampSamples; ++i)
        ASSERT_NEAR(2.0f * (1.0f - output[i]), (i + 1.0f) / kRampSamples, 1e-5f) << i;
    EXPECT_EQ(processor.wetGain(), 1.0f);
}

// Resuming from a disabled stretch on a DC input through unity-DC low-passes: priming sets every
// direct-form value to the input (the output continues without a thump); clearing starts from
// silence, and the state-variable kernel, whose states are integrator memories, always clears.
TEST(BiquadProcessor, ResumePrimesFromFirstInputOrClears) {
    using K = BiquadProcessor::Kernel;
    using M = BiquadProcessor::ResetMode;
    const struct {
        K kernel;
        M mode;
        bool primed;
    } cases[] = {{K::kDirectForm1, M::kPrimeFromInput, true},
                 {K::kDirectForm1, M::kClear, false},
                 {K::kStateVariable, M::kPrimeFromInput, false}};
    for (const auto& c : cases) {
        BiquadProcessor processor(2, 4, kSampleRate);
        processor.setKernel(c.kernel);
        processor.setResetMode(c.mode);
        BiquadCoefficients section = lowPass(100.0);
        if (c.kernel == K::kStateVariable)
            section = BiquadProcessor::stateVariableFromDirectForm(section);
        const BiquadCoefficients cascade[2] = {section, section};
        processor.pushCoefficients(1, cascade);
        processor.setEnabled(false);
        const std::vector<float> dc(kRampSamples, 0.75f);
        std::vector<float> output(dc.size());
        processor.run(dc.data(), output.data(), kRampSamples);
        EXPECT_FALSE(processor.run(dc.data(), output.data(), 64));
        processor.setEnabled(true);
        processor.run(dc.data(), output.data(), 1);
        const auto& s = processor.state(1);
        if (c.primed) {
            EXPECT_NEAR(s.y1, 0.75, 1e-9);
        } else {
            const double largest = std::max({std::fabs(s.x1), std::fabs(s.x2), std::fabs(s.y1)});
            EXPECT_LT(largest, 1e-3) << static_cast<int>(c.kernel);
        }
    }
}

TEST(BiquadProcessor, ExplicitResetClearsStateBeforeNextBlock) {
    BiquadProcessor processor(1, 4, kSampleRate);
    const BiquadCoefficients c = lowPass(1000.0);
    processor.pushCoefficients(1, &c);
    const std::vector<float> ones(64, 1.0f), zeros(1, 0.0f);
    std::vector<float> output(64);
    processor.run(ones.data(), output.data(), 64);
    processor.reset();
    processor.run(zeros.data(), output.data(), 1);
    EXPECT_EQ(output[0], 0.0f);  // without the reset the filter would still ring
    EXPECT_EQ(processor.state(0).y2, 0.0);
}

TEST(BiquadProcessor, NonFiniteInputOrCoefficientsSpoilOneBlockOnly) {
    BiquadProcessor processor(2, 4, kSampleRate);
    const BiquadCoefficients good[2] = {lowPass(500.0), lowPass(500.0)};
    BiquadCoefficients bad[2] = {good[0], good[1]};
    bad[1].a1 = std::numeric_limits<double>::quiet_NaN();
    std::vector<float> input(64, 0.5f), output(64);
    processor.pushCoefficients(64, bad);
    processor.run(input.data(), output.data(), 64);
    processor.pushCoefficients(64, good);
    input[3] = std::numeric_limits<float>::infinity();
    processor.run(input.data(), output.data(), 64);
    input[3] = 0.5f;
    processor.run(input.data(), output.data(), 64);
    for (float y : output)
        ASSERT_TRUE(std::isfinite(y));
}

TEST(BiquadProcessor, MovingCoefficientsToggledRampsAndPairsNeverAllocate) {
    BiquadProcessor a(4, 64, kSampleRate), b(4, 64, kSampleRate), c(4, 64, kSampleRate);
    a.link(&b, BiquadProcessor::LinkKind::kStereoPair);
    std::vector<float> in(256, 0.25f), out0(256), out1(256);
    testing::AllocationScope scope;
    for (int block = 0; block < 200; ++block) {
        if (block % 50 == 0) {
            a.setEnabled(block % 100 != 0);
            c.setEnabled(block % 100 != 0);
            c.setKernel(block % 100 ? BiquadProcessor::Kernel::kStateVariable
                                    : BiquadProcessor::Kernel::kDirectForm1);
        }
        for (int32_t i = 0; i < 256; i += 4) {
            BiquadCoefficients cascade[4];
            std::fill(std::begin(cascade), std::end(cascade), lowPass(200.0 + 10.0 * i + block));
            a.pushCoefficients(4, cascade);
            c.pushCoefficients(4, cascade, 0.5f);
        }
        a.runPair(in.data(), out0.data(), in.data(), out1.data(), 256);
        c.run(in.data(), out0.data(), 256);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
