// The storage under the graph: aligned buffers, blocks sized by their environment, and the delay
// line with its integer, linear and all-pass reads.

#include <gtest/gtest.h>

#include <cstdint>
#include <numbers>
#include <vector>

#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Delay.h"
#include "engine/wave/SubEnvironment.h"

namespace tessel::wave {
namespace {

using tessel::testing::kInf;
using tessel::testing::kNaN;
using tessel::testing::ramp;

TEST(AlignedBuffer, ResizeKeepsPrefixZeroFillsAndAligns) {
    AlignedBuffer<float> b;
    EXPECT_EQ(b.data(), nullptr);
    for (int32_t n : {1, 3, 8, 13, 64, 1000}) {
        b.resize(n);
        ASSERT_EQ(b.size(), n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 32, 0u) << n;
    }
    for (int32_t i = 0; i < 1000; ++i)
        b[i] = static_cast<float>(i);
    b.resize(10);
    b.resize(20);
    for (int32_t i = 0; i < 20; ++i)
        EXPECT_EQ(b[i], i < 10 ? static_cast<float>(i) : 0.0f) << "the grown part is zero";
    float* before = b.data();
    b.resize(20);
    EXPECT_EQ(b.data(), before) << "resizing to the current count must not reallocate";
    for (int32_t n : {0, -5}) {
        b.resize(n);
        EXPECT_EQ(b.data(), nullptr);
        EXPECT_EQ(b.size(), 0);
    }
}

TEST(BasicBlock, SizedByTheEnvironmentAndSubEnvironmentsFollowTheirFactorUnlessFixed) {
    Environment root(256, true);
    SubEnvironment following(&root, 2, 0, false);
    SubEnvironment fixed(&root, 1, 256, true);
    BasicBlock<double> rootBlock(&root);
    BasicBlock<float> block(&following), fixedBlock(&fixed);
    ConstValueBlock ones(&following, 1.0f);
    EXPECT_EQ(rootBlock.size(), 256);
    EXPECT_FALSE(block.isConstant());
    EXPECT_EQ(block.size(), 512);
    following.setFactor(4);
    fixed.setFactor(4);
    EXPECT_EQ(block.size(), 1024);
    EXPECT_EQ(following.sampleRate(), 4.0f * root.sampleRate());
    // Constant blocks are refilled after a resize.
    const std::pair<ConstValueBlock*, float> constants[] = {
        {root.zeroBlock(), 0.0f}, {following.zeroBlock(), 0.0f}, {&ones, 1.0f}};
    for (const auto& [constant, value] : constants) {
        EXPECT_TRUE(constant->isConstant());
        ASSERT_EQ(constant->size(), constant == root.zeroBlock() ? 256 : 1024);
        for (int32_t i = 0; i < constant->size(); ++i)
            ASSERT_EQ(constant->data()[i], value) << i;
    }
    EXPECT_EQ(fixedBlock.size(), 256) << "fixed environments never resize";
    EXPECT_EQ(root.processingBlockSize(), 64) << "only a fixed sub-environment limits its parent";
    fixed.setFactor(2);
    EXPECT_EQ(root.processingBlockSize(), 128);
}

TEST(Delay, IntegerReadDelaysExactlyAndReadsSilenceBeforeWritten) {
    Environment env(64, true);
    for (int32_t delay : {0, 1, 7, 63, 64, 65, 200}) {
        Delay d(&env, 200);
        float next = 1.0f;
        for (int block = 0; block < 12; ++block) {
            const int32_t frames = 16 + (block * 13) % 49;  // varying block sizes, up to 64
            const std::vector<float> in = ramp(frames, next);
            std::vector<float> out(static_cast<std::size_t>(frames));
            d.write(in.data(), frames);
            d.read(delay, out.data(), frames);
            for (int32_t i = 0; i < frames; ++i) {
                const float expected = in[static_cast<std::size_t>(i)] - static_cast<float>(delay);
                ASSERT_EQ(out[static_cast<std::size_t>(i)], expected >= 1.0f ? expected : 0.0f)
                    << "delay " << delay << " block " << block << " sample " << i;
            }
            next += static_cast<float>(frames);
        }
    }
}

TEST(Delay, LinearReadInterpolatesBetweenNeighboursAndFadesInFromUnwrittenSamples) {
    Environment env(64, true);
    Delay d(&env, 32);
    const std::vector<float> first = ramp(4, 1.0f);  // sample i reads position i - delay
    d.write(first.data(), 4);
    const float early[4] = {0.5f, 1.25f, 1.5f, 3.5f};  // positions before 0 were never written
    float fading[4];
    d.readLinear(early, fading, 4);
    EXPECT_FLOAT_EQ(fading[0], 0.5f * 1.0f) << "only the later neighbour is written";
    EXPECT_FLOAT_EQ(fading[1], 0.75f * 1.0f);
    EXPECT_FLOAT_EQ(fading[2], 1.5f) << "both neighbours written";
    EXPECT_FLOAT_EQ(fading[3], 0.5f * 1.0f);

    const std::vector<float> in = ramp(64, 5.0f);
    d.write(in.data(), 64);
    std::vector<float> delays(64), out(64);
    for (std::size_t i = 0; i < 64; ++i)
        delays[i] = 2.25f + 0.1f * static_cast<float>(i % 10);
    d.readLinear(delays.data(), out.data(), 64);
    for (std::size_t i = 0; i < 64; ++i)  // on a ramp linear interpolation is exact
        EXPECT_NEAR(out[i], in[i] - delays[i], 1e-4f) << i;
}

TEST(Delay, AllpassReadHasFlatMagnitudeAndTheRequestedPhaseDelay) {
    constexpr double kRate = 48000.0;
    constexpr int32_t n = 4096;
    for (float delay : {1.3f, 2.618f, 5.5f, 10.9f}) {
        Environment env(n, true);
        Delay d(&env, 16);
        const std::vector<float> impulse = tessel::testing::impulse(n);
        const std::vector<float> delays(n, delay);
        std::vector<float> h(n);
        float state = 0.0f;
        d.write(impulse.data(), n);
        d.readAllpass(delays.data(), h.data(), state, n);
        EXPECT_LT(tessel::testing::largestDeviationDb(h, kRate), 1e-3) << delay;
        for (double hz : {50.0, 500.0, 2000.0}) {
            // The phase delay approaches the requested delay towards low frequencies.
            const double phaseDelay = -std::arg(tessel::testing::responseAt(h, hz, kRate)) /
                                      (2.0 * std::numbers::pi * hz / kRate);
            EXPECT_NEAR(phaseDelay, delay, hz < 1000.0 ? 0.01 : 0.05) << delay << " at " << hz;
        }
    }
}

TEST(Delay, AllpassReadSmallDelaysReadWithoutInterpolation) {
    Environment env(8, true);
    Delay d(&env, 4);
    const std::vector<float> in = ramp(8, 1.0f);
    d.write(in.data(), 4);
    d.write(in.data() + 4, 4);
    const float small[4] = {0.0f, 0.3f, 0.618f, 0.5f};
    float out[4];
    float state = 123.0f;
    d.readAllpass(small, out, state, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(out[i], in[4 + i]);
    // d = 1.0 gives coefficient 0: exactly the previous sample, whatever the state.
    const float one[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    state = 55.0f;
    d.readAllpass(one, out, state, 4);
    EXPECT_EQ(out[0], 4.0f);
    EXPECT_EQ(out[3], 7.0f);
}

TEST(Delay, FaultyDelaysAndSamplesStayContained) {
    Environment env(16, true);
    Delay d(&env, 8);
    std::vector<float> in(16, 1.0f);
    in[15] = kNaN;
    d.write(in.data(), 16);
    // Non-finite delays are clamped into [0, maximum]: NaN and -inf read at delay 0, +inf at 8.
    float delays[16], out[16];
    for (int i = 0; i < 16; ++i)
        delays[i] = i % 3 == 0 ? kNaN : (i % 3 == 1 ? kInf : -kInf);
    d.readLinear(delays, out, 16);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(out[i], i % 3 == 1 && i < 8 ? 0.0f : 1.0f) << i;
    EXPECT_TRUE(std::isnan(out[15])) << "a NaN sample read at delay 0 is passed on, not hidden";

    // The NaN reaches the all-pass state, which is cleared at the end of the block: the reader
    // recovers once the faulty sample has left the line.
    const std::vector<float> fractional(16, 0.9f);
    float state = 0.0f;
    d.readAllpass(fractional.data(), out, state, 16);
    EXPECT_TRUE(std::isnan(out[15]));
    EXPECT_EQ(state, 0.0f);
    in[15] = 1.0f;
    for (int block = 0; block < 3; ++block) {
        d.write(in.data(), 16);
        d.readAllpass(fractional.data(), out, state, 16);
    }
    for (int i = 0; i < 16; ++i)
        EXPECT_NEAR(out[i], 1.0f, 1e-3f) << i;
}

TEST(Delay, MaximumBlockSizeChangeKeepsReadsAligned) {
    Environment root(16, true);
    SubEnvironment sub(&root, 1, 0, false);
    Delay d(&sub, 8);
    EXPECT_EQ(d.length(), 32);
    const std::vector<float> in = ramp(32, 1.0f);
    d.write(in.data(), 16);
    sub.setFactor(4);  // blocks of up to 64 now
    EXPECT_EQ(d.length(), 128);
    d.write(in.data() + 16, 16);
    float out[16];
    d.read(8, out, 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out[i], in[16 + i] - 8.0f);
}

}  // namespace
}  // namespace tessel::wave
