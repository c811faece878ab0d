#pragma once

#include <complex>
#include <cstdint>

namespace tessel {

/// Common face of an analog filter, evaluated analytically for drawing curves and for checking
/// digital designs. Frequencies passed in are in the caller's unit (typically hertz or rad/s);
/// each prototype multiplies them by its frequency scale, the reciprocal of the frequency at
/// which its normalised variable s equals j. Evaluation never allocates and may run on any
/// thread that owns the object; set frequency is a write and must not race with evaluation.
class AnalogFilterPrototypeBase {
public:
    virtual ~AnalogFilterPrototypeBase() = default;

    /// H(j w) at frequency w.
    virtual std::complex<double> response(double w) const noexcept = 0;
    /// Multiplies magnitudes[i] by |H(j frequencies[i])|^2, flooring each result at 0.
    virtual void multiplySquaredMagnitude(const float* frequencies, float* magnitudes,
                                          int32_t count) const noexcept = 0;
    /// |H(j w)|^2, floored at 0.
    virtual double squaredMagnitude(double w) const noexcept = 0;
    /// Phase of H at each frequency in radians, wrapped into -pi..pi.
    virtual void phase(const float* frequencies, float* phases, int32_t count) const noexcept = 0;
    /// Sets the frequency that maps to s = j; stores its reciprocal as the frequency scale.
    virtual void setFrequency(double frequency) noexcept = 0;
};

}  // namespace tessel
