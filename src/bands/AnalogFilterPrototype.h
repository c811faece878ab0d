#pragma once

#include <array>
#include <complex>
#include <cstdint>

#include "bands/AnalogFilterPrototypeBase.h"
#include "bands/BiquadCoefficients.h"
#include "bands/BiquadPrototype.h"

namespace tessel {

/// An analog filter of up to 8 sections designed from a normalised low-pass prototype
/// (Butterworth, Chebyshev I and II, or elliptic) and one of thirteen shapes, and its digital
/// realisation. Gains are linear and limited to +-30 dB, orders to 1..16 (the band shapes 7..10
/// use half the order for the prototype and double it back through the band substitution);
/// NaN or infinite arguments fall back to neutral values. Design and digital coefficients are
/// computed in double precision off the per-sample path and never allocate; the object is not
/// shared between threads while it is being designed.
class AnalogFilterPrototype final : public AnalogFilterPrototypeBase {
public:
    // Scoped, with their names also reachable as AnalogFilterPrototype::kLowPass and so on.
    enum class Family : int32_t {
        kButterworth = 0,
        kChebyshevI = 1,
        kChebyshevII = 2,
        kElliptic = 3
    };
    using enum Family;
    static constexpr int32_t kFamilyCount = 4;

    enum class Shape : int32_t {
        kLowPass = 0,
        kLowShelf = 1,         // gain at low frequencies, transition above the frequency
        kLowShelfCentred = 2,  // as 1, transition centred on the frequency
        kHighPass = 3,
        kHighShelf = 4,
        kHighShelfCentred = 5,
        kTilt = 6,      // 1/gain at low frequencies, gain at high frequencies
        kBandGain = 7,  // bell with gain at the frequency
        kBandPass = 8,
        kBandPassScaled = 9,  // band-pass whose peak gain grows with Q
        kBandStop = 10,
        kAllPass = 11,
        kComposite = 12,  // low shelf, tilt and high shelf joined into 3 sections
    };
    using enum Shape;
    static constexpr int32_t kShapeCount = 13;

    enum class CoefficientMethod : int32_t { kBilinear, kMagnitudeMatched };

    /// Shapes whose design takes a gain (the shelves, the tilt, the bell, the composite).
    static constexpr bool takesGain(Shape shape) noexcept {
        return shape == kLowShelf || shape == kLowShelfCentred || shape == kHighShelf ||
               shape == kHighShelfCentred || shape == kTilt || shape == kBandGain ||
               shape == kComposite;
    }
    /// Shapes made by the low-pass to band substitution (even order, bandwidth from Q).
    static constexpr bool isBandShape(Shape shape) noexcept {
        return shape >= kBandGain && shape <= kBandStop;
    }
    /// Shapes made by the low-pass to high-pass substitution.
    static constexpr bool isHighPassShape(Shape shape) noexcept {
        return shape >= kHighPass && shape <= kTilt;
    }

    static constexpr int32_t kMaxSections = 8;
    static constexpr int32_t kMaxOrder = 16;
    static constexpr double kDefaultQ = 0.70710678118654752;
    /// Pass-band ripple of the Chebyshev I and elliptic families, stop-band depth of the
    /// elliptic family, and the stop-band epsilon of Chebyshev II (60 dB down at w = 1).
    static constexpr double kRippleDb = 0.1;
    static constexpr double kEllipticStopBandDb = 90.0;
    static constexpr double kChebyshevIIEpsilon = 0.0010000005;
    /// Largest total gain of the composite shape, the sum of its three parts' far-end gains.
    static constexpr double kCompositeLimitDb = 30.0;

    /// Designs the filter and returns its number of sections. frequencyScale is the
    /// reciprocal of the design frequency (in the unit later passed to the response calls).
    /// q sets the bandwidth of the band shapes 7..10 (relative bandwidth 1/q) and, for the
    /// other shapes, the damping of the first section (0.70710678 leaves it unchanged).
    int32_t design(Family family, Shape shape, int32_t order, double gainLinear,
                   double frequencyScale, double q = kDefaultQ) noexcept;

    /// Digital cascade for the design frequency frequencyHz at sampleRateHz; writes
    /// sectionCount() sets into out and returns that count. The magnitude-matched method is
    /// used only for the Butterworth family and not for the all-pass shape (whose purpose is
    /// its phase); everything else uses the prewarped bilinear transform, and so does a matched
    /// cascade that would rise more than 0.75 dB above the analog response's largest magnitude
    /// (near Nyquist, where the matched sections are not fitted, or past a feature they cannot
    /// follow): the bilinear transform never exceeds the analog response. Bounded work, a few
    /// microseconds per section; never allocates.
    int32_t digitalCoefficients(double frequencyHz, double sampleRateHz, CoefficientMethod method,
                                BiquadCoefficients* out) const noexcept;

    int32_t sectionCount() const noexcept { return sectionCount_; }
    const BiquadPrototype& section(int32_t index) const noexcept { return sections_[index]; }
    Family family() const noexcept { return family_; }
    Shape shape() const noexcept { return shape_; }
    int32_t order() const noexcept { return order_; }
    float gain() const noexcept { return gain_; }
    float frequencyScale() const noexcept { return frequencyScale_; }

    std::complex<double> response(double w) const noexcept override;
    void multiplySquaredMagnitude(const float* frequencies, float* magnitudes,
                                  int32_t count) const noexcept override;
    double squaredMagnitude(double w) const noexcept override;
    void phase(const float* frequencies, float* phases, int32_t count) const noexcept override;
    void setFrequency(double frequency) noexcept override;

    /// Gain of the composite shape after its limit: each of its three parts gets this gain.
    static double compositePartGainDb(double gainDb) noexcept;

private:
    struct PoleZero {
        double poleReal = 0.0;
        double poleImag = 0.0;
        double zeroReal = 0.0;  // infinite for a zero at infinity
        double zeroImag = 0.0;
        double gain = 1.0;
    };

    Family designPrototype(Family family, int32_t order) noexcept;
    void applyShapeGain(Shape shape, int32_t prototypeOrder, double gainLinear) noexcept;
    int32_t realiseSections(Shape shape, double q, BiquadPrototype* out) const noexcept;
    int32_t designSingle(Family family, Shape shape, int32_t order, double gainLinear,
                         double frequencyScale, double q, BiquadPrototype* out) noexcept;

    std::array<BiquadPrototype, kMaxSections> sections_{};
    int32_t sectionCount_ = 0;
    Family family_ = kButterworth;
    Shape shape_ = kLowPass;
    int32_t order_ = -1;
    float gain_ = 1.0f;
    float frequencyScale_ = 1.0f;
    double designScale_ = 1.0;  // the frequency scale at full precision
    std::array<BiquadPrototype, 3> composite_{};
    std::array<PoleZero, kMaxSections> records_{};
    int32_t recordCount_ = 0;
};

}  // namespace tessel
