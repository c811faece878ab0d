#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>
#include <numbers>
#include <random>
#include <vector>

#include "common/AllocationCounter.h"
#include "support/FFT.h"

namespace tessel {
namespace {

using Window = FFT::WindowType;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

/// Bin k of a packed spectrum (the imaginary parts are stored negated).
std::complex<double> bin(const std::vector<float>& packed, int32_t k) {
    const auto n = static_cast<int32_t>(packed.size());
    if (k == 0 || k == n / 2) return packed[static_cast<std::size_t>(k)];
    return {packed[static_cast<std::size_t>(k)], -packed[static_cast<std::size_t>(n / 2 + k)]};
}

std::vector<float> noise(int32_t n, std::mt19937& random) {
    std::normal_distribution<float> gauss;
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x)
        v = gauss(random);
    return x;
}

TEST(FFT, MatchesTheDftInvertsAndRunsInInterleavedStagesForEverySize) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    for (const int32_t n : {4, 8, 16, 1024, 4096, 8192, 16384, 65536}) {
        SCOPED_TRACE(::testing::Message() << "N " << n);
        FFT fft(n);
        const std::vector<float> x = noise(n, random), y = noise(n, random);
        std::vector<float> a = x, b = y, spectrumX = x, spectrumY = y, flat(x.size(), 0.0f);
        std::fill_n(flat.begin(), n / 2 + 1, 1.0f);
        const testing::AllocationScope allocations;
        fft.forward(spectrumX.data());
        fft.forward(spectrumY.data());
        for (int32_t stage = 0; stage < fft.stageCount(); ++stage) {
            fft.forwardStage(a.data(), stage);
            fft.forwardStage(b.data(), stage);
        }
        EXPECT_TRUE(a == spectrumX && b == spectrumY) << "stages differ from forward()";
        for (int32_t stage = 0; stage < fft.stageCount(); ++stage) {
            fft.inverseStage(b.data(), stage);
            fft.inverseStage(a.data(), stage);
        }
        fft.inverse(spectrumX.data());
        fft.inverse(flat.data());
        EXPECT_EQ(allocations.allocations(), 0u);
        EXPECT_EQ(a, spectrumX) << "inverse stages differ from inverse()";

        // Bins and magnitudes against a direct DFT in double precision: every bin up to 1024
        // points, 300 random bins (with 0 and N/2) above. Errors relative to the rms bin
        // magnitude, sqrt(energy).
        double energy = 0.0, roundTripError = 0.0;
        for (std::size_t i = 0; i < x.size(); ++i) {
            energy += static_cast<double>(x[i]) * x[i];
            roundTripError += std::pow(a[i] - static_cast<double>(x[i]), 2.0);
        }
        std::vector<float> packed = x, magnitudes(x.size() / 2 + 1);
        fft.forward(packed.data());
        fft.magnitudes(packed.data(), magnitudes.data(), 0.5f);
        std::uniform_int_distribution<int32_t> anyBin(0, n / 2);
        std::vector<std::complex<double>> roots(x.size());
        for (int32_t i = 0; i < n; ++i)
            roots[static_cast<std::size_t>(i)] = std::polar(1.0, -kTwoPi * i / n);
        double worst = 0.0;
        for (int32_t j = 0; j < std::min(n / 2 + 1, 300); ++j) {
            const int32_t k = n <= 1024 ? j : j == 0 ? 0 : j == 1 ? n / 2 : anyBin(random);
            std::complex<double> exact;
            for (int32_t i = 0; i < n; ++i)
                exact += static_cast<double>(x[static_cast<std::size_t>(i)]) *
                         roots[static_cast<std::size_t>(int64_t{k} * i % n)];
            const double magnitudeError =
                2.0 * magnitudes[static_cast<std::size_t>(k)] - std::abs(exact);
            worst = std::max({worst, std::abs(bin(packed, k) - exact) / std::sqrt(energy),
                              std::fabs(magnitudeError) / std::sqrt(energy)});
        }
        EXPECT_LT(worst, 1e-7 * std::log2(n)) << "single-precision error grows with log N";
        EXPECT_LT(std::sqrt(roundTripError / energy), 1e-6) << "inverse(forward(x)) != x";

        // A flat spectrum is a unit impulse; a sine's bin holds its inverted-sign imaginary part.
        double impulseError = std::fabs(flat[0] - 1.0);
        for (std::size_t i = 1; i < flat.size(); ++i)
            impulseError = std::max(impulseError, std::fabs(static_cast<double>(flat[i])));
        EXPECT_LT(impulseError, 1e-6);
        const int32_t k = std::max(1, n / 4 - 1);
        for (int32_t i = 0; i < n; ++i)
            packed[static_cast<std::size_t>(i)] = static_cast<float>(std::sin(kTwoPi * k * i / n));
        fft.forward(packed.data());
        EXPECT_NEAR(packed[static_cast<std::size_t>(n / 2 + k)], n / 2, 1e-5 * n) << "sign";
        EXPECT_NEAR(packed[static_cast<std::size_t>(k)], 0.0, 1e-5 * n);
    }
}

TEST(FFT, WindowsNormaliseASineOnABinCentreToUnity) {
    for (const int32_t n : {1024, 8192}) {
        SCOPED_TRACE(::testing::Message() << "N " << n);
        FFT fft(n, Window::kKaiser, 100.0f);
        // The Kaiser table and its sum against the library's Bessel function.
        const double beta = 0.12438 * 100.0 + 0.783594;
        double sum = 0.0, worst = 0.0;
        for (int32_t i = 0; i < n; ++i) {
            const double u = 2.0 * i / n - 1.0;
            const double w = std::cyl_bessel_i(0.0, beta * std::sqrt(1.0 - u * u)) /
                             std::cyl_bessel_i(0.0, beta);
            sum += w;
            worst = std::max(worst, std::fabs(fft.window()[i] - w));
        }
        EXPECT_LT(worst, 1e-7);
        EXPECT_NEAR(fft.windowNormalisation() * sum / 2.0, 1.0, 1e-6);

        // Amplitude 1 on a bin centre reads 0 dB; 8 bins away the leakage is below -95 dB.
        const int32_t k = n / 8 + 3;
        std::vector<float> x(static_cast<std::size_t>(n)), magnitudes(x.size() / 2 + 1);
        for (std::size_t i = 0; i < x.size(); ++i)
            x[i] = static_cast<float>(std::sin(kTwoPi * k * static_cast<double>(i) / n + 0.3));
        fft.applyWindow(x.data(), x.data());
        fft.forward(x.data());
        fft.magnitudes(x.data(), magnitudes.data(), fft.windowNormalisation());
        EXPECT_NEAR(20.0 * std::log10(magnitudes[static_cast<std::size_t>(k)]), 0.0, 0.01);
        float leakage = 0.0f;
        for (int32_t j = 0; j <= n / 2; ++j)
            if (std::abs(j - k) > 8)
                leakage = std::max(leakage, magnitudes[static_cast<std::size_t>(j)]);
        EXPECT_LT(leakage, 1.8e-5f);

        // The cosine windows and the sums their normalisation uses.
        fft.setWindow(Window::kHann, 60.0f);
        EXPECT_TRUE(fft.window()[0] == 0.0f && fft.window()[n / 2] == 1.0f);
        EXPECT_FLOAT_EQ(fft.windowNormalisation(), 4.0f / static_cast<float>(n - 1));
        fft.setWindow(Window::kHamming, 60.0f);
        EXPECT_TRUE(std::fabs(fft.window()[0] - 0.08f) < 1e-7f && fft.window()[n / 2] == 1.0f);
        EXPECT_FLOAT_EQ(fft.windowNormalisation(),
                        2.0f / (0.54f * static_cast<float>(n - 1) + 0.08f));
        fft.setWindow(Window::kRectangular, 60.0f);
        EXPECT_FLOAT_EQ(fft.windowNormalisation(), 2.0f / static_cast<float>(n));
        // Out-of-range Kaiser levels still give a finite window.
        for (const float level : {std::numeric_limits<float>::infinity(), std::nanf(""), -5.0f}) {
            fft.setWindow(Window::kKaiser, level);
            EXPECT_TRUE(std::isfinite(fft.windowNormalisation()) && fft.window()[n / 2] == 1.0f)
                << level;
        }
    }
}

TEST(FFT, MultiplyAccumulateIsCircularConvolutionInAnySplit) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE(::testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    for (const int32_t n : {4, 8, 64, 1024}) {
        SCOPED_TRACE(::testing::Message() << "N " << n);
        FFT fft(n);
        std::vector<float> a = noise(n, random), b = noise(n, random);
        std::vector<double> convolution(a.size());
        for (std::size_t i = 0; i < a.size(); ++i)
            for (std::size_t j = 0; j < a.size(); ++j)
                convolution[(i + j) % a.size()] += static_cast<double>(a[i]) * b[j];
        fft.forward(a.data());
        fft.forward(b.data());
        // Whole: overwrite, then add the same product again (twice the convolution).
        std::vector<float> whole(a.size(), std::nanf("")), pieces(a.size(), 1.0f);
        const testing::AllocationScope allocations;
        FFT::multiplyAccumulate(a.data(), b.data(), whole.data(), n, true);
        FFT::multiplyAccumulate(a.data(), b.data(), whole.data(), n, false);
        for (const bool overwrite : {true, false}) {
            std::uniform_int_distribution<int32_t> piece(0, n / 3);
            for (int32_t unit = 0, count = 0; unit < n; unit += count) {
                count = std::min(piece(random), n - unit);
                FFT::multiplyAccumulate(a.data(), b.data(), pieces.data(), n, unit, count,
                                        overwrite);
            }
        }
        EXPECT_EQ(allocations.allocations(), 0u);
        EXPECT_EQ(pieces, whole) << "a split differs from the whole";
        fft.inverse(whole.data());
        double error = 0.0, energy = 0.0;
        for (std::size_t i = 0; i < whole.size(); ++i) {
            error += std::pow(whole[i] - 2.0 * convolution[i], 2.0);
            energy += std::pow(2.0 * convolution[i], 2.0);
        }
        EXPECT_LT(std::sqrt(error / energy), 1e-6);
    }
}

}  // namespace
}  // namespace tessel
