#pragma once

// Frequency-domain measurements of impulse responses rendered through a graph.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

namespace tessel::testing {

/// A unit impulse followed by silence.
inline std::vector<float> impulse(int32_t length) {
    std::vector<float> v(static_cast<std::size_t>(length), 0.0f);
    v[0] = 1.0f;
    return v;
}

/// Response of the impulse response h at one frequency: a single DFT term.
template <typename T>
std::complex<double> responseAt(const std::vector<T>& h, double frequencyHz, double sampleRateHz) {
    std::complex<double> sum;
    const double w = 2.0 * std::numbers::pi * frequencyHz / sampleRateHz;
    for (std::size_t n = 0; n < h.size(); ++n)
        sum += static_cast<double>(h[n]) * std::polar(1.0, -w * static_cast<double>(n));
    return sum;
}

inline double db(std::complex<double> x) {
    return 20.0 * std::log10(std::abs(x));
}

/// Spectrum of h by an in-place radix-2 FFT (the size of h must be a power of two).
template <typename T>
std::vector<std::complex<double>> spectrum(const std::vector<T>& h) {
    std::vector<std::complex<double>> x(h.begin(), h.end());
    const std::size_t n = x.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step =
            std::polar(1.0, -2.0 * std::numbers::pi / static_cast<double>(len));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (std::size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = x[i + k];
                const std::complex<double> v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
    return x;
}

/// Flatness: the largest |magnitude in dB| of h over the FFT bins from `fromHz` to Nyquist.
template <typename T>
double largestDeviationDb(const std::vector<T>& h, double sampleRateHz, double fromHz = 10.0) {
    const std::vector<std::complex<double>> x = spectrum(h);
    const auto first =
        static_cast<std::size_t>(fromHz * static_cast<double>(x.size()) / sampleRateHz) + 1;
    double worst = 0.0;
    for (std::size_t k = first; k <= x.size() / 2; ++k)
        worst = std::max(worst, std::fabs(db(x[k])));
    return worst;
}

}  // namespace tessel::testing
