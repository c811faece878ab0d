#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <vector>

#include "engine/wave/Delay.h"
#include "engine/wave/Environment.h"
#include "engine/wave/SubEnvironment.h"

namespace tessel::wave {
namespace {

std::vector<float> ramp(int32_t n, float first) {
    std::vector<float> v(static_cast<std::size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        v[static_cast<std::size_t>(i)] = first + static_cast<float>(i);
    return v;
}

TEST(Delay, IntegerReadDelaysExactlyAndReadsSilenceBeforeWritten) {
    Environment env(64, true);
    for (int32_t delay : {0, 1, 7, 63, 64, 65, 200}) {
        Delay d(&env, 200);
        float next = 1.0f;
        for (int block = 0; block < 12; ++block) {
            const int32_t frames = 16 + (block * 13) % 49;  // varying block sizes, up to 64
            const std::vector<float> in = ramp(frames, next);
            d.write(in.data(), frames);
            std::vector<float> out(static_cast<std::size_t>(frames));
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

TEST(Delay, LinearReadInterpolatesBetweenNeighbours) {
    Environment env(64, true);
    Delay d(&env, 32);
    const std::vector<float> first = ramp(64, 1.0f);
    d.write(first.data(), 64);
    const std::vector<float> in = ramp(64, 65.0f);
    d.write(in.data(), 64);
    std::vector<float> delays(64), out(64);
    for (int32_t i = 0; i < 64; ++i)
        delays[static_cast<std::size_t>(i)] = 2.25f + 0.1f * static_cast<float>(i % 10);
    d.readLinear(delays.data(), out.data(), 64);
    for (int32_t i = 0; i < 64; ++i) {
        // The input is a ramp, so linear interpolation is exact: value = input - delay.
        EXPECT_NEAR(out[static_cast<std::size_t>(i)],
                    in[static_cast<std::size_t>(i)] - delays[static_cast<std::size_t>(i)], 1e-4f);
    }
}

TEST(Delay, LinearReadFadesInFromUnwrittenSamples) {
    Environment env(16, true);
    Delay d(&env, 8);
    const float in[4] = {4.0f, 4.0f, 4.0f, 4.0f};
    d.write(in, 4);
    // Sample i reads position i - delay; positions before 0 were never written.
    const float delays[4] = {0.5f, 1.25f, 1.5f, 3.5f};
    float out[4];
    d.readLinear(delays, out, 4);
    EXPECT_FLOAT_EQ(out[0], 0.5f * 4.0f) << "only the later neighbour is written";
    EXPECT_FLOAT_EQ(out[1], 0.75f * 4.0f);
    EXPECT_FLOAT_EQ(out[2], 4.0f) << "both neighbours written";
    EXPECT_FLOAT_EQ(out[3], 0.5f * 4.0f);
}

TEST(Delay, AllpassReadHasFlatMagnitudeAndTheRequestedPhaseDelay) {
    const float sampleRate = 48000.0f;
    const int32_t n = 4096;
    for (float delay : {1.3f, 2.618f, 5.5f, 10.9f}) {
        Environment env(n, true);
        Delay d(&env, 16);
        // Impulse response of the interpolated read, then its spectrum at a few frequencies.
        std::vector<float> impulse(static_cast<std::size_t>(n), 0.0f),
            out(static_cast<std::size_t>(n));
        impulse[0] = 1.0f;
        d.write(impulse.data(), n);
        std::vector<float> delays(static_cast<std::size_t>(n), delay);
        float state = 0.0f;
        d.readAllpass(delays.data(), out.data(), state, n);
        for (float hz : {50.0f, 500.0f, 2000.0f}) {
            const double w = 2.0 * std::numbers::pi * hz / sampleRate;
            std::complex<double> h = 0.0;
            for (int32_t i = 0; i < n; ++i)
                h +=
                    static_cast<double>(out[static_cast<std::size_t>(i)]) * std::polar(1.0, -w * i);
            EXPECT_NEAR(std::abs(h), 1.0, 1e-4) << delay << " at " << hz;
            // Phase delay at low frequencies approaches the requested delay.
            const double phaseDelay = -std::arg(h) / w;
            EXPECT_NEAR(phaseDelay, delay, hz < 1000.0f ? 0.01 : 0.05) << delay << " at " << hz;
        }
    }
}

TEST(Delay, AllpassReadSmallDelaysReadWithoutInterpolation) {
    Environment env(8, true);
    Delay d(&env, 4);
    const float first[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    const float second[4] = {5.0f, 6.0f, 7.0f, 8.0f};
    d.write(first, 4);
    d.write(second, 4);
    const float small[4] = {0.0f, 0.3f, 0.618f, 0.5f};
    float out[4];
    float state = 123.0f;
    d.readAllpass(small, out, state, 4);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(out[i], second[i]);
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
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    float in[16];
    for (float& x : in)
        x = 1.0f;
    in[15] = nan;
    d.write(in, 16);
    // Non-finite delays are clamped into [0, maximum]: NaN and -inf read at delay 0, +inf at 8.
    float delays[16];
    for (int i = 0; i < 16; ++i)
        delays[i] = i % 3 == 0 ? nan : (i % 3 == 1 ? inf : -inf);
    float out[16];
    d.readLinear(delays, out, 16);
    for (int i = 0; i < 15; ++i) {
        const float expected = (i % 3 == 1) ? (i >= 8 ? 1.0f : 0.0f) : 1.0f;
        EXPECT_EQ(out[i], expected) << i;
    }
    EXPECT_TRUE(std::isnan(out[15])) << "a NaN sample read at delay 0 is passed on, not hidden";

    // The NaN reaches the all-pass state; the state is cleared at the end of the block, so the
    // reader recovers once the faulty sample has left the line.
    const std::vector<float> fractional(16, 0.9f);
    float state = 0.0f;
    d.readAllpass(fractional.data(), out, state, 16);
    EXPECT_TRUE(std::isnan(out[15]));
    EXPECT_EQ(state, 0.0f);
    for (int block = 0; block < 3; ++block) {
        for (float& x : in)
            x = 1.0f;
        d.write(in, 16);
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
    const std::vector<float> in = ramp(16, 1.0f);
    d.write(in.data(), 16);
    sub.setFactor(4);  // blocks of up to 64 now
    EXPECT_EQ(d.length(), 128);
    const std::vector<float> more = ramp(16, 17.0f);
    d.write(more.data(), 16);
    float out[16];
    d.read(8, out, 16);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(out[i], more[static_cast<std::size_t>(i)] - 8.0f);
}

}  // namespace
}  // namespace tessel::wave
