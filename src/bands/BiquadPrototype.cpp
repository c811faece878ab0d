#include "bands/BiquadPrototype.h"

#include <cmath>
#include <utility>

namespace tessel {

void BiquadPrototype::set(double n2, double n1, double n0, double d2, double d1, double d0,
                          double gain) noexcept {
    n2_ = n2;
    n1_ = n1;
    n0_ = n0;
    d2_ = d2;
    d1_ = d1;
    d0_ = d0;
    gain_ = gain;
    updateOrder();
}

void BiquadPrototype::setFromPoleZero(std::complex<double> pole, std::complex<double> zero,
                                      bool zeroIsInfinite, double gain) noexcept {
    const bool realPole = std::abs(pole.imag()) <= kOrderTolerance;
    double n2 = 0.0, n1 = 0.0, n0 = 1.0;
    if (!zeroIsInfinite) {
        if (std::abs(zero.imag()) <= kOrderTolerance && realPole) {
            n1 = 1.0;
            n0 = -zero.real();
        } else {
            n2 = 1.0;
            n1 = -2.0 * zero.real();
            n0 = std::norm(zero);
        }
    }
    if (realPole) {
        set(n2, n1, n0, 0.0, 1.0, -pole.real(), gain);
    } else {
        set(n2, n1, n0, 1.0, -2.0 * pole.real(), std::norm(pole), gain);
    }
}

void BiquadPrototype::substituteReciprocal() noexcept {
    // N(1/s) / D(1/s): multiplying both by s^order turns (a2, a1, a0) into (a0, a1, a2) for a
    // second-order section and (a1, a0) into (a0, a1) for a first-order one.
    if (order_ == 1) {
        std::swap(n1_, n0_);
        std::swap(d1_, d0_);
    } else {
        std::swap(n2_, n0_);
        std::swap(d2_, d0_);
    }
    updateOrder();
}

void BiquadPrototype::scaleDamping(double factor) noexcept {
    n1_ *= factor;
    d1_ *= factor;
    cacheValid_ = false;
}

void BiquadPrototype::setGain(double gain) noexcept {
    gain_ = gain;
    cacheValid_ = false;
}

void BiquadPrototype::setFrequencyScale(double scale) noexcept {
    frequencyScale_ = scale;
    cacheValid_ = false;
}

void BiquadPrototype::setFrequency(double frequency) noexcept {
    if (!(frequency > 0.0) || !std::isfinite(frequency)) return;  // keeps the last frequency
    setFrequencyScale(1.0 / frequency);
}

void BiquadPrototype::updateOrder() noexcept {
    order_ = (std::abs(d2_) <= kOrderTolerance && std::abs(n2_) <= kOrderTolerance) ? 1 : 2;
    cacheValid_ = false;
}

void BiquadPrototype::buildCache() const noexcept {
    // |A(jw)|^2 = (A0 - A2 w^2)^2 + A1^2 w^2 = A0^2 + (A1^2 - 2 A0 A2) w^2 + A2^2 w^4.
    const double g2 = gain_ * gain_;
    cache_[0] = g2 * n0_ * n0_;
    cache_[1] = g2 * (n1_ * n1_ - 2.0 * n0_ * n2_);
    cache_[2] = g2 * n2_ * n2_;
    cache_[3] = d0_ * d0_;
    cache_[4] = d1_ * d1_ - 2.0 * d0_ * d2_;
    cache_[5] = d2_ * d2_;
    cacheValid_ = true;
}

std::complex<double> BiquadPrototype::response(double w) const noexcept {
    const double x = w * frequencyScale_;
    const std::complex<double> num(n0_ - n2_ * x * x, n1_ * x);
    const std::complex<double> den(d0_ - d2_ * x * x, d1_ * x);
    return gain_ * num / den;
}

double BiquadPrototype::squaredMagnitude(double w) const noexcept {
    if (!cacheValid_) buildCache();
    const double x = w * frequencyScale_;
    const double u = x * x;
    const double num = cache_[0] + u * (cache_[1] + u * cache_[2]);
    const double den = cache_[3] + u * (cache_[4] + u * cache_[5]);
    const double r = num / den;
    return r > 0.0 ? r : 0.0;  // also maps NaN (0/0) to 0
}

void BiquadPrototype::multiplySquaredMagnitude(const float* frequencies, float* magnitudes,
                                               int32_t count) const noexcept {
    if (!cacheValid_) buildCache();
    float c[6];
    for (int32_t k = 0; k < 6; ++k)
        c[k] = static_cast<float>(cache_[k]);
    const float scale = static_cast<float>(frequencyScale_);
    // Four frequencies per step in single precision: a plain fixed-width inner loop that the
    // compiler turns into one SSE vector; the tail runs the same body one at a time.
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (int32_t j = 0; j < 4; ++j) {
            const float x = frequencies[i + j] * scale;
            const float u = x * x;
            const float num = c[0] + u * (c[1] + u * c[2]);
            const float den = c[3] + u * (c[4] + u * c[5]);
            const float r = magnitudes[i + j] * (num / den);
            magnitudes[i + j] = r > 0.0f ? r : 0.0f;
        }
    }
    for (; i < count; ++i) {
        const float x = frequencies[i] * scale;
        const float u = x * x;
        const float r =
            magnitudes[i] * ((c[0] + u * (c[1] + u * c[2])) / (c[3] + u * (c[4] + u * c[5])));
        magnitudes[i] = r > 0.0f ? r : 0.0f;
    }
}

void BiquadPrototype::phase(const float* frequencies, float* phases, int32_t count) const noexcept {
    for (int32_t i = 0; i < count; ++i) {
        phases[i] = static_cast<float>(std::arg(response(frequencies[i])));
    }
}

}  // namespace tessel
