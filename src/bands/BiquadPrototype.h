#pragma once

#include <complex>
#include <cstdint>

#include "bands/AnalogFilterPrototypeBase.h"
#include "support/Tolerance.h"

namespace tessel {

/// One analog section H(s) = gain * (N2 s^2 + N1 s + N0) / (D2 s^2 + D1 s + D0) in the
/// normalised variable s (cut-off 1 rad/s), evaluated at s = j * w * frequencyScale.
/// Order 1 is recognised when both quadratic coefficients are within 1.1920929e-7 of zero;
/// order -1 means not yet designed. The squared-magnitude form (|N|^2 and |D|^2 as polynomials
/// in w^2) is cached and rebuilt lazily after any change, so evaluation is cheap but the object
/// is not safe to evaluate from two threads while it is being changed. Never allocates.
class BiquadPrototype final : public AnalogFilterPrototypeBase {
public:
    static constexpr double kOrderTolerance = kFloatTolerance;

    /// Sets both polynomials and the section gain; the order follows from the coefficients.
    void set(double n2, double n1, double n0, double d2, double d1, double d0,
             double gain) noexcept;
    /// Sets a section from its pole and zero: D(s) = s^2 - 2 Re(p) s + |p|^2, or s - Re(p) for a
    /// real pole; N built the same way from the zero, or 1 when zeroIsInfinite.
    void setFromPoleZero(std::complex<double> pole, std::complex<double> zero, bool zeroIsInfinite,
                         double gain) noexcept;

    /// Low-pass to high-pass substitution s -> 1/s: reverses both coefficient orders.
    void substituteReciprocal() noexcept;
    /// Multiplies the s coefficients of numerator and denominator (the damping terms).
    void scaleDamping(double factor) noexcept;

    double n2() const noexcept { return n2_; }
    double n1() const noexcept { return n1_; }
    double n0() const noexcept { return n0_; }
    double d2() const noexcept { return d2_; }
    double d1() const noexcept { return d1_; }
    double d0() const noexcept { return d0_; }
    double gain() const noexcept { return gain_; }
    void setGain(double gain) noexcept;
    double frequencyScale() const noexcept { return frequencyScale_; }
    void setFrequencyScale(double scale) noexcept;
    /// 1 or 2; -1 before the first design.
    int32_t order() const noexcept { return order_; }
    /// Wet share with which the section's run is mixed with its input (1 = fully filtered).
    float weight() const noexcept { return weight_; }
    void setWeight(float weight) noexcept { weight_ = weight; }

    std::complex<double> response(double w) const noexcept override;
    void multiplySquaredMagnitude(const float* frequencies, float* magnitudes,
                                  int32_t count) const noexcept override;
    double squaredMagnitude(double w) const noexcept override;
    void phase(const float* frequencies, float* phases, int32_t count) const noexcept override;
    void setFrequency(double frequency) noexcept override;

private:
    void updateOrder() noexcept;
    void buildCache() const noexcept;

    double n2_ = 0.0, n1_ = 0.0, n0_ = 1.0;
    double d2_ = 0.0, d1_ = 0.0, d0_ = 1.0;
    double frequencyScale_ = 1.0;
    double gain_ = 1.0;
    // |N(jw)|^2 = c[0] + c[1] u + c[2] u^2 and |D(jw)|^2 = c[3] + c[4] u + c[5] u^2, u = (w
    // scale)^2; the gain squared is folded into the numerator terms.
    mutable double cache_[6] = {};
    mutable bool cacheValid_ = false;
    int32_t order_ = -1;
    float weight_ = 1.0f;
};

}  // namespace tessel
