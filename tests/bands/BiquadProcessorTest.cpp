// The biquad engine: kernels vs per-sample models, links, priming, non-finite values, allocations.

#include "bands/BiquadProcessor.h"

#include <gtest/gtest.h>

#include <array>

#include "BandsTestRig.h"
#include "common/AllocationCounter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Kernel = BiquadProcessor::Kernel;
constexpr int32_t kRampSamples = 960;  // 20 ms at 48 kHz

// Per-sample kernel models: direct form I; state-variable rebuilt with min(last, current) gain.
struct Reference {
    Kernel kernel;
    std::vector<std::array<double, 5>> s = std::vector<std::array<double, 5>>(8);
    double process(const BiquadCoefficients* c, int32_t sections, double x) {
        for (int32_t k = 0; k < sections; ++k) {
            auto& [x1, x2, y1, y2, g] = s[static_cast<std::size_t>(k)];
            if (kernel == Kernel::kDirectForm1) {
                const double y =
                    c[k].b0 * x + c[k].b1 * x1 + c[k].b2 * x2 - c[k].a1 * y1 - c[k].a2 * y2;
                x2 = x1, x1 = x, y2 = y1, y1 = y, x = y;
                continue;
            }
            const double g0 = c[k].b0, kept = std::min(g, g0);  // nodes v, bp, lp in x1, x2, y1
            const double s1 = x2 + kept * x1, s2 = y1 + kept * x2;
            x1 = (x - c[k].b1 * s1 - s2) / (1.0 + g0 * c[k].b1);
            x2 = s1 + g0 * x1;
            y1 = s2 + g0 * x2;
            g = g0;
            x = c[k].a2 * x1 + c[k].a1 * x2 + c[k].b2 * y1;
        }
        return x;
    }
};

// A stable section, pole radius 0.2..0.9, moderate gain; one in four first order.
BiquadCoefficients randomSection(std::mt19937& rng) {
    std::uniform_real_distribution<double> radius(0.2, 0.9), angle(0.0, kPi), b(-1.0, 1.0);
    const double r = radius(rng), scale = 1.0 - r;
    if (rng() % 4 == 0) return {b(rng) * scale + scale, b(rng) * scale, 0.0, -r, 0.0};
    return {b(rng) * scale + scale, b(rng) * scale, b(rng) * scale, -2.0 * r * std::cos(angle(rng)),
            r * r};
}

// Second-order low-pass at frequencyHz, Q 0.707, unity gain at DC.
BiquadCoefficients lowPass(double frequencyHz) {
    const double w = 2.0 * kPi * frequencyHz / kSampleRate;
    const double alpha = std::sin(w) / (2.0 * 0.70710678), a0 = 1.0 + alpha, c = std::cos(w);
    return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
            (1.0 - alpha) / a0};
}

// Sections in the layout a kernel takes.
const auto forKernel = [](Kernel kernel, const BiquadCoefficients& c) {
    return kernel == Kernel::kDirectForm1 ? c : BiquadProcessor::stateVariableFromDirectForm(c);
};

// Random runs, weights, blocks: kernels equal their models; with constant sets SV equals DF1.
TEST(BiquadProcessor, KernelsMatchTheirModelsForRandomSchedules) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 rng(seed);
    for (const Kernel kernel : {Kernel::kDirectForm1, Kernel::kStateVariable}) {
        for (int trial = 0; trial < 20; ++trial) {
            const int32_t sections = 1 + trial % 5;
            BiquadProcessor processor(sections, 64, kSampleRate);
            processor.setKernel(kernel);
            Reference reference{kernel}, direct{Kernel::kDirectForm1};
            BiquadCoefficients cascade[5], converted[5];
            float weight = 1.0f;
            const bool constant = trial % 4 == 3;
            for (int block = 0; block < 8; ++block) {
                const int32_t frames = std::uniform_int_distribution<int32_t>(1, 300)(rng);
                const std::vector<float> input = noise(rng, frames);
                std::vector<float> output(input.size());
                std::vector<double> expected;
                for (int32_t offset = 0; offset < frames;) {
                    const int32_t n =
                        std::min(frames - offset, 1 + static_cast<int32_t>(rng() % 40));
                    if ((block == 0 && offset == 0) || (!constant && rng() % 3 != 0)) {
                        for (int32_t k = 0; k < sections; ++k)
                            converted[k] = forKernel(kernel, cascade[k] = randomSection(rng));
                        weight = rng() % 2 ? 1.0f : std::uniform_real_distribution<float>()(rng);
                    }
                    processor.pushCoefficients(n, converted, weight);
                    for (int32_t i = offset; i < offset + n; ++i) {
                        const double x = input[static_cast<std::size_t>(i)];
                        const double y = reference.process(converted, sections, x);
                        expected.push_back(x + weight * (y - x));
                        if (constant) {
                            EXPECT_NEAR(y, direct.process(cascade, sections, x), 1e-9);
                        }
                    }
                    offset += n;
                }
                ASSERT_TRUE(processor.run(input.data(), output.data(), frames));
                for (int32_t i = 0; i < frames; ++i)
                    ASSERT_NEAR(output[i], expected[i], 2e-5) << trial << " " << block << " " << i;
            }
        }
    }
    // A schedule with room for 2 runs given 3: the newest values take over the last run's samples.
    BiquadProcessor processor(2, 2, kSampleRate);
    Reference reference{Kernel::kDirectForm1};
    BiquadCoefficients runs[3][2];
    for (auto& run : runs) {
        run[0] = randomSection(rng), run[1] = randomSection(rng);
        processor.pushCoefficients(10, run);
    }
    const std::vector<float> input = noise(rng, 30);
    std::vector<float> output(30);
    processor.run(input.data(), output.data(), 30);
    for (int32_t i = 0; i < 30; ++i)
        ASSERT_NEAR(output[i], reference.process(runs[i < 10 ? 0 : 2], 2, input[i]), 2e-6) << i;
}

// Follower or stereo-pair links, either kernel, enable toggled: equal to two separate processors.
TEST(BiquadProcessor, LinkedPartnersEqualSeparateFilters) {
    using Link = BiquadProcessor::LinkKind;
    for (const Kernel kernel : {Kernel::kDirectForm1, Kernel::kStateVariable}) {
        for (const Link kind : {Link::kFollow, Link::kStereoPair}) {
            SCOPED_TRACE(::testing::Message()
                         << static_cast<int>(kernel) << static_cast<int>(kind));
            std::mt19937 rng(11);
            BiquadProcessor leader(4, 16, kSampleRate), follower(4, 16, kSampleRate);
            BiquadProcessor left(4, 16, kSampleRate), right(4, 16, kSampleRate);
            for (BiquadProcessor* p : {&leader, &follower, &left, &right})
                p->setKernel(kernel);
            leader.link(&follower, kind);
            std::vector<float> out0(128), out1(128), ref0(128), ref1(128);
            for (int block = 0; block < 40; ++block) {
                if (block == 10 || block == 30)
                    for (BiquadProcessor* p : {&leader, &left, &right})
                        p->setEnabled(block == 30);
                for (int32_t offset = 0; offset < 128; offset += 32) {
                    BiquadCoefficients cascade[4];
                    for (auto& c : cascade)
                        c = forKernel(kernel, randomSection(rng));
                    for (BiquadProcessor* p : {&leader, &left, &right})  // none to the follower
                        p->pushCoefficients(32, cascade);
                }
                const std::vector<float> in0 = noise(rng, 128), in1 = noise(rng, 128);
                bool filtered;
                if (kind == Link::kStereoPair) {
                    filtered =
                        leader.runPair(in0.data(), out0.data(), in1.data(), out1.data(), 128);
                } else {
                    filtered = leader.run(in0.data(), out0.data(), 128);
                    EXPECT_EQ(follower.run(in1.data(), out1.data(), 128), filtered);
                }
                ASSERT_EQ(follower.wetGain(), leader.wetGain()) << "block " << block;
                EXPECT_EQ(left.run(in0.data(), ref0.data(), 128), filtered);
                EXPECT_EQ(right.run(in1.data(), ref1.data(), 128), filtered);
                for (std::size_t i = 0; filtered && i < 128; ++i) {
                    ASSERT_NEAR(out0[i], ref0[i], 1e-6f) << "block " << block << " sample " << i;
                    ASSERT_NEAR(out1[i], ref1[i], 1e-6f) << "block " << block << " sample " << i;
                }
            }
        }
    }
}

// A set per sample (extra sections skipped), alone and paired, through fades: as one run each.
TEST(BiquadProcessor, PerSampleSetsEqualOneRunPerSample) {
    std::mt19937 rng(5);
    for (const bool pair : {false, true}) {
        BiquadProcessor fast(4, 2, kSampleRate), fast1(4, 2, kSampleRate);
        BiquadProcessor left(4, 256, kSampleRate), right(4, 256, kSampleRate);
        if (pair) fast.link(&fast1, BiquadProcessor::LinkKind::kStereoPair);
        for (int block = 0; block < 30; ++block) {
            for (BiquadProcessor* p : {&fast, &left, &right})
                p->setEnabled(block < 10 || block >= 20);
            const int32_t frames = block % 7 == 3 ? 1 : 1 + static_cast<int32_t>(rng() % 200);
            const int32_t sections = 1 + block % 4;
            std::array<BiquadCoefficients, 4> choices[3];
            for (auto& cascade : choices)
                for (int32_t k = 0; k < sections; ++k)
                    cascade[k] = randomSection(rng);
            std::vector<const BiquadCoefficients*> sets(frames);
            for (const BiquadCoefficients*& set : sets) {
                set = choices[rng() % 3].data();
                left.pushCoefficients(1, set), right.pushCoefficients(1, set);
            }
            const std::vector<float> in0 = noise(rng, frames), in1 = noise(rng, frames);
            std::vector<float> out0(frames), out1(frames), ref0(frames), ref1(frames);
            const bool filtered =
                pair ? fast.runPairPerSample(sets.data(), sections, in0.data(), out0.data(),
                                             in1.data(), out1.data(), frames)
                     : fast.runPerSample(sets.data(), sections, in0.data(), out0.data(), frames);
            EXPECT_EQ(left.run(in0.data(), ref0.data(), frames), filtered);
            right.run(in1.data(), ref1.data(), frames);
            for (int32_t i = 0; filtered && i < frames; ++i) {
                ASSERT_NEAR(out0[i], ref0[i], 1e-6f) << pair << " block " << block << " " << i;
                ASSERT_NEAR(pair ? out1[i] : ref1[i], ref1[i], 1e-6f) << block << " " << i;
            }
        }
    }
}

// Resuming on DC, priming starts settled (SV carries each section's DC gain); clear/reset from 0.
TEST(BiquadProcessor, ResumePrimesFromFirstInputOrClears) {
    BiquadCoefficients loud = lowPass(100.0);  // DC gain 2.5, primed exactly by the second kernel
    loud.b0 *= 2.5, loud.b1 *= 2.5, loud.b2 *= 2.5;
    for (int32_t i = 0; i < 4; ++i) {
        const Kernel kernel = i < 2 ? Kernel::kDirectForm1 : Kernel::kStateVariable;
        const bool prime = i % 2 == 0;
        BiquadProcessor processor(2, 4, kSampleRate);
        processor.setKernel(kernel);
        processor.setResetMode(prime ? BiquadProcessor::ResetMode::kPrimeFromInput
                                     : BiquadProcessor::ResetMode::kClear);
        const BiquadCoefficients cascade[2] = {forKernel(kernel, i < 2 ? lowPass(100.0) : loud),
                                               forKernel(kernel, lowPass(300.0))};
        processor.pushCoefficients(1, cascade);
        processor.setEnabled(false);
        const std::vector<float> dc(kRampSamples, 0.75f);
        std::vector<float> output(dc.size());
        processor.run(dc.data(), output.data(), kRampSamples);
        EXPECT_FALSE(processor.run(dc.data(), output.data(), 64));
        processor.setEnabled(true);
        processor.run(dc.data(), output.data(), 64);
        // The wet share ramps up from 0, (n + 1) / 960: the filtered value behind the mix.
        const double filtered = 0.75 + (output[63] - 0.75) / (64.0 / kRampSamples);
        const double settled = prime ? (i < 2 ? 0.75 : 0.75 * 2.5) : 0.0;
        EXPECT_NEAR(filtered, settled, prime ? 1e-5 : 0.2) << "case " << i;
        processor.reset();  // an explicit reset clears, whatever the mode
        processor.run(dc.data(), output.data(), 1);
        EXPECT_LT(std::fabs(processor.state(1).y1), 1e-3);
    }
}

// Non-finite input/coefficients spoil only their block; nothing on the audio path allocates.
TEST(BiquadProcessor, NonFiniteValuesSpoilOneBlockAndNothingAllocates) {
    for (const Kernel kernel : {Kernel::kDirectForm1, Kernel::kStateVariable}) {
        BiquadProcessor processor(2, 4, kSampleRate);
        processor.setKernel(kernel);
        const BiquadCoefficients good = forKernel(kernel, lowPass(500.0));
        BiquadCoefficients cascade[2] = {good, good};
        cascade[1].a1 = kNaN;
        std::vector<float> input(64, 0.5f), output(64);
        for (int block = 0; block < 3; ++block) {
            processor.pushCoefficients(64, cascade);
            input[3] = block == 1 ? kInf : 0.5f;
            processor.run(input.data(), output.data(), 64);
            cascade[1] = good;
        }
        for (float y : output)
            ASSERT_TRUE(std::isfinite(y)) << static_cast<int>(kernel);
    }
    BiquadProcessor a(4, 64, kSampleRate), b(4, 64, kSampleRate), c(4, 64, kSampleRate);
    a.link(&b, BiquadProcessor::LinkKind::kStereoPair);
    std::vector<float> in(kBlock, 0.25f), out0(kBlock), out1(kBlock);
    testing::AllocationScope scope;
    for (int block = 0; block < 200; ++block) {
        if (block % 50 == 0) {
            const Kernel kernel = block % 100 ? Kernel::kStateVariable : Kernel::kDirectForm1;
            for (BiquadProcessor* p : {&a, &c}) {
                p->setEnabled(block % 100 != 0);
                p->setKernel(kernel);
            }
        }
        for (int32_t i = 0; i < kBlock; i += 4) {
            BiquadCoefficients cascade[4];
            std::fill(std::begin(cascade), std::end(cascade),
                      forKernel(a.kernel(), lowPass(200.0 + 10.0 * i + block)));
            a.pushCoefficients(4, cascade);
            c.pushCoefficients(4, cascade, 0.5f);
        }
        a.runPair(in.data(), out0.data(), in.data(), out1.data(), kBlock);
        c.run(in.data(), out0.data(), kBlock);
    }
    EXPECT_EQ(scope.allocations(), 0u);
}

}  // namespace
}  // namespace tessel
