#include "bands/AnalogFilterPrototype.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "bands/BilinearTransform.h"
#include "bands/MagnitudeMatchedDesign.h"
#include "support/Tolerance.h"

namespace tessel {
namespace {

using Complex = std::complex<double>;
constexpr double kPi = std::numbers::pi;
constexpr double kTolerance = kFloatTolerance;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kMinGain = 0.031622776601683794;  // -30 dB
constexpr double kMaxGain = 31.622776601683793;    // +30 dB
constexpr double kMinQ = 0.025;
constexpr double kMaxQ = 40.0;
constexpr double kMinDampingFactor = 0.035355339;

// --- Elliptic functions (descending Landen transformation and the nome series) ---------------

constexpr int32_t kMaxLandenSteps = 16;

// Descending Landen moduli k_1 > k_2 > ...; each step roughly squares the modulus.
int32_t landenModuli(double k, double* moduli) {
    int32_t count = 0;
    while (count < kMaxLandenSteps && k > 1e-16) {
        const double kPrime = std::sqrt((1.0 - k) * (1.0 + k));
        k = (k / (1.0 + kPrime)) * (k / (1.0 + kPrime));
        moduli[count++] = k;
    }
    return count;
}

// cd(u K, k) and sn(u K, k) for complex u through the ascending recursion over the Landen moduli.
Complex ascend(Complex w, const double* moduli, int32_t count) {
    for (int32_t n = count - 1; n >= 0; --n) {
        w = (1.0 + moduli[n]) * w / (1.0 + moduli[n] * w * w);
    }
    return w;
}

Complex cdNormalised(Complex u, double k) {
    double moduli[kMaxLandenSteps];
    const int32_t count = landenModuli(k, moduli);
    return ascend(std::cos(u * (0.5 * kPi)), moduli, count);
}

Complex snNormalised(Complex u, double k) {
    double moduli[kMaxLandenSteps];
    const int32_t count = landenModuli(k, moduli);
    return ascend(std::sin(u * (0.5 * kPi)), moduli, count);
}

// Inverse of snNormalised: u with sn(u K, k) = w.
Complex asnNormalised(Complex w, double k) {
    double moduli[kMaxLandenSteps];
    const int32_t count = landenModuli(k, moduli);
    double previous = k;
    for (int32_t n = 0; n < count; ++n) {
        w = w / (1.0 + std::sqrt(1.0 - w * w * previous * previous)) * 2.0 / (1.0 + moduli[n]);
        previous = moduli[n];
    }
    return std::asin(w) * (2.0 / kPi);
}

double arithmeticGeometricMean(double a, double b) {
    for (int32_t i = 0; i < 64 && std::abs(a - b) > 1e-15 * a; ++i) {
        const double next = 0.5 * (a + b);
        b = std::sqrt(a * b);
        a = next;
    }
    return a;
}

// Complete elliptic integral K(k) and its complement K'(k) = K(sqrt(1 - k^2)).
double completeIntegral(double k) {
    return 0.5 * kPi / arithmeticGeometricMean(1.0, std::sqrt((1.0 - k) * (1.0 + k)));
}
double complementaryIntegral(double k) {
    return 0.5 * kPi / arithmeticGeometricMean(1.0, k);
}

// Selectivity modulus k of an order-n elliptic filter with discrimination k1, from the degree
// equation n K'(k) / K(k) = K'(k1) / K(k1) through the nome q = q1^(1/n) (6-term theta series).
double solveDegreeEquation(int32_t n, double k1) {
    const double q1 = std::exp(-kPi * complementaryIntegral(k1) / completeIntegral(k1));
    const double q = std::pow(q1, 1.0 / n);
    double numerator = 0.0, denominator = 1.0;
    for (int32_t m = 0; m < 6; ++m) {
        numerator += std::pow(q, m * (m + 1.0));
        if (m > 0) denominator += 2.0 * std::pow(q, double(m) * m);
    }
    const double ratio = numerator / denominator;
    return 4.0 * std::sqrt(q) * ratio * ratio;
}

// --- Band substitution -------------------------------------------------------------------

struct Quadratic {
    double c2 = 0.0, c1 = 0.0, c0 = 0.0;
};

// The polynomial c2 S^2 + c1 S + c0 of a section of order m, with S = (s^2 + 1) / (B s) and the
// result multiplied by (B s)^m, split into m real quadratics in s (their product).
int32_t bandFactors(double c2, double c1, double c0, int32_t m, double b, Quadratic* out) {
    if (m == 1) {
        out[0] = {c1, c0 * b, c1};
        return 1;
    }
    if (std::abs(c2) > kTolerance) {
        const double disc = c1 * c1 - 4.0 * c2 * c0;
        if (disc < 0.0) {
            // Root pair r, r*: each S - r gives s^2 - r B s + 1 with roots t1, t2 (t1 t2 = 1);
            // together with the conjugates they form two real quadratics.
            const Complex r(-c1 / (2.0 * c2), std::sqrt(-disc) / (2.0 * std::abs(c2)));
            const Complex root = std::sqrt(r * r * b * b - 4.0);
            const Complex t1 = 0.5 * (r * b + root), t2 = 0.5 * (r * b - root);
            out[0] = {1.0, -2.0 * t1.real(), std::norm(t1)};
            out[1] = {1.0, -2.0 * t2.real(), std::norm(t2)};
        } else {
            const double r1 = (-c1 + std::sqrt(disc)) / (2.0 * c2);
            const double r2 = (-c1 - std::sqrt(disc)) / (2.0 * c2);
            out[0] = {1.0, -r1 * b, 1.0};
            out[1] = {1.0, -r2 * b, 1.0};
        }
        // Lower natural frequency first, so numerator and denominator factors pair by
        // frequency (each section then stays close to flat away from its own band).
        if (out[0].c0 > out[1].c0) std::swap(out[0], out[1]);
        out[0].c2 *= c2, out[0].c1 *= c2, out[0].c0 *= c2;
        return 2;
    }
    if (std::abs(c1) > kTolerance) {
        out[0] = {0.0, c1 * b, 0.0};
        out[1] = {1.0, c0 / c1 * b, 1.0};
        return 2;
    }
    out[0] = {0.0, c0 * b, 0.0};
    out[1] = {0.0, b, 0.0};
    return 2;
}

// --- Magnitude envelope of a matched cascade -------------------------------------------------

// |c0 + c1 z^-1 + c2 z^-2|^2 on the unit circle as p0 + phi (p1 + phi p2), phi = sin^2(w/2).
struct SquaredMagnitude {
    double p0 = 1.0, p1 = 0.0, p2 = 0.0;
    SquaredMagnitude() = default;
    SquaredMagnitude(double c0, double c1, double c2) {
        const double sum = c0 + c1 + c2, diff = c0 - c1 + c2;
        p0 = sum * sum;
        p2 = 16.0 * c0 * c2;
        p1 = diff * diff - p0 - p2;
    }
    double at(double phi) const { return p0 + phi * (p1 + phi * p2); }
};

constexpr int32_t kEnvelopeLogGrid = 16;
constexpr int32_t kEnvelopeLinearGrid = 24;
constexpr int32_t kEnvelopePoints =
    kEnvelopeLogGrid + kEnvelopeLinearGrid + 2 * AnalogFilterPrototype::kMaxSections + 1;
// How far (0.75 dB) a matched cascade may rise above the analog response's largest magnitude:
// about the accuracy of the fits, which the grid below resolves to within a quarter decibel.
constexpr double kEnvelopeMargin = 1.0901844923851276;

// True when the digital cascade stays below the largest magnitude of the analog one (times
// kEnvelopeMargin) everywhere up to Nyquist. Each matched section is fitted only up to 0.93 pi
// and cannot represent features beyond Nyquist; a cascade that rises there, or that misses a
// deep, narrow feature badly, is caught here. Checked at every section's design frequency and
// pole angle and on a grid, logarithmic up to half Nyquist and linear above, where the fits are
// free; the analog maximum also counts points beyond Nyquist (the bilinear transform brings them
// in). w0[i] is section i's design frequency in radians per sample. Bounded work, no allocation.
bool withinAnalogEnvelope(const BiquadPrototype* sections, const double* w0, int32_t count,
                          const BiquadCoefficients* digital) {
    constexpr int32_t kMax = AnalogFilterPrototype::kMaxSections;
    SquaredMagnitude num[kMax], den[kMax];
    double analogScale[kMax], points[kEnvelopePoints], lowest = kPi;
    int32_t n = 0;
    for (int32_t i = 0; i < count; ++i) {
        const BiquadCoefficients& c = digital[i];
        num[i] = SquaredMagnitude(c.b0, c.b1, c.b2);
        den[i] = SquaredMagnitude(1.0, c.a1, c.a2);
        analogScale[i] = 1.0 / (w0[i] * sections[i].frequencyScale());
        lowest = std::min(lowest, w0[i]);
        points[n++] = std::min(w0[i], kPi);
        if (c.a2 > 0.0) {  // complex poles: the section peaks near their angle
            const double cosine = -c.a1 / (2.0 * std::sqrt(c.a2));
            if (std::abs(cosine) < 1.0) points[n++] = std::acos(cosine);
        }
    }
    const double low = std::clamp(lowest / 32.0, 1e-5, 0.01);
    const double ratio = std::pow(0.5 * kPi / low, 1.0 / (kEnvelopeLogGrid - 1));
    double w = low;
    for (int32_t k = 0; k < kEnvelopeLogGrid; ++k, w *= ratio)
        points[n++] = w;
    for (int32_t k = 1; k <= kEnvelopeLinearGrid; ++k)
        points[n++] = kPi * (0.5 + 0.5 * k / kEnvelopeLinearGrid);
    points[n++] = 0.0;

    auto analog = [&](double at) {
        double m = 1.0;
        for (int32_t i = 0; i < count; ++i)
            m *= sections[i].squaredMagnitude(at * analogScale[i]);
        return m;
    };
    double analogMax = 0.0, digitalMax = 0.0;
    for (int32_t k = 0; k < n; ++k) {
        const double sine = std::sin(0.5 * points[k]);
        const double phi = sine * sine;
        double numerator = 1.0, denominator = 1.0;
        for (int32_t i = 0; i < count; ++i) {
            numerator *= num[i].at(phi);
            denominator *= den[i].at(phi);
        }
        digitalMax = std::max(digitalMax, numerator / denominator);
        analogMax = std::max(analogMax, analog(points[k]));
    }
    for (double beyond = 2.0 * kPi; beyond < 1e4 * kPi; beyond *= 2.0)
        analogMax = std::max(analogMax, analog(beyond));
    return digitalMax <= analogMax * (kEnvelopeMargin * kEnvelopeMargin) &&
           std::isfinite(digitalMax);
}

}  // namespace

double AnalogFilterPrototype::compositePartGainDb(double gainDb) noexcept {
    // Every part is monotonic between 0 dB and its far-end gain (the tilt between -g and +g),
    // so the cascade never exceeds the sum of the three parts' gains in decibels.
    const double total = 3.0 * std::abs(gainDb);
    return total > kCompositeLimitDb ? gainDb * kCompositeLimitDb / total : gainDb;
}

AnalogFilterPrototype::Family AnalogFilterPrototype::designPrototype(Family family,
                                                                     int32_t n) noexcept {
    recordCount_ = (n + 1) / 2;
    const bool even = (n % 2) == 0;
    const double rippleEpsilon = std::sqrt(std::pow(10.0, 0.1 * kRippleDb) - 1.0);
    switch (family) {
        case kChebyshevI:
        case kChebyshevII: {
            const double epsilon = family == kChebyshevI ? rippleEpsilon : kChebyshevIIEpsilon;
            const double v = std::asinh(1.0 / epsilon) / n;
            for (int32_t k = 0; k < recordCount_; ++k) {
                const double theta = k * kPi / n + kPi / (2.0 * n);
                Complex pole(-std::sin(theta) * std::sinh(v), std::cos(theta) * std::cosh(v));
                PoleZero& r = records_[k];
                if (family == kChebyshevI) {
                    r = {pole.real(), pole.imag(), kInfinity, 0.0, std::abs(pole)};
                    if (std::abs(pole.imag()) > kTolerance) r.gain = std::norm(pole);
                } else {
                    pole = 1.0 / pole;
                    const double c = std::cos(theta);
                    if (std::abs(c) > kTolerance) {
                        r = {pole.real(), pole.imag(), 0.0, 1.0 / c, std::norm(pole) * c * c};
                    } else {
                        r = {pole.real(), 0.0, kInfinity, 0.0, std::abs(pole)};
                    }
                }
            }
            // Even Chebyshev I orders start the ripple at its bottom so the peak is 0 dB.
            if (family == kChebyshevI && even) {
                records_[0].gain /= std::sqrt(1.0 + rippleEpsilon * rippleEpsilon);
            }
            break;
        }
        case kElliptic: {
            const double stopEpsilon = std::sqrt(std::pow(10.0, 0.1 * kEllipticStopBandDb) - 1.0);
            const double k1 = rippleEpsilon / stopEpsilon;
            const double k = solveDegreeEquation(n, k1);
            const double v0 =
                (asnNormalised(Complex(0.0, 1.0 / rippleEpsilon), k1) / double(n)).imag();
            for (int32_t i = 0; i < n / 2; ++i) {
                const double u = (2.0 * i + 1.0) / n;
                const double zeta = cdNormalised(Complex(u, 0.0), k).real();
                const double zeroImag = 1.0 / (k * zeta);
                const Complex pole = Complex(0.0, 1.0) * cdNormalised(Complex(u, -v0), k);
                records_[i] = {pole.real(), std::abs(pole.imag()), 0.0, zeroImag,
                               std::norm(pole) / (zeroImag * zeroImag)};
            }
            if (!even) {
                const double real = (Complex(0.0, 1.0) * snNormalised(Complex(0.0, v0), k)).real();
                records_[n / 2] = {real, 0.0, kInfinity, 0.0, -real};
            } else {
                records_[0].gain /= std::sqrt(1.0 + rippleEpsilon * rippleEpsilon);
            }
            break;
        }
        default:
            family = kButterworth;
            for (int32_t k = 0; k < recordCount_; ++k) {
                const double theta = k * kPi / n + kPi / (2.0 * n);
                double imag = std::cos(theta);
                if (std::abs(imag) <= kTolerance) imag = 0.0;
                records_[k] = {-std::sin(theta), imag, kInfinity, 0.0, 1.0};
            }
            break;
    }
    return family;
}

void AnalogFilterPrototype::applyShapeGain(Shape shape, int32_t n, double gainLinear) noexcept {
    if (!takesGain(shape) || shape == kComposite) return;  // the composite's parts take it
    const bool centred = shape == kLowShelfCentred || shape == kHighShelfCentred ||
                         shape == kTilt || shape == kBandGain;
    const double g0 = shape == kTilt ? gainLinear * gainLinear : gainLinear;
    const double g =
        std::abs(gainLinear - 1.0) > kTolerance ? std::pow(g0, (centred ? 0.5 : 1.0) / n) : 1.0;
    for (int32_t i = 0; i < recordCount_; ++i) {
        PoleZero& r = records_[i];
        r.zeroReal = r.poleReal * g;
        r.zeroImag = r.poleImag * g;
        if (centred) {
            r.poleReal /= g;
            r.poleImag /= g;
        }
        r.gain = shape == kTilt ? (r.poleImag == 0.0 ? 1.0 / g : 1.0 / (g * g)) : 1.0;
    }
}

int32_t AnalogFilterPrototype::realiseSections(Shape shape, double q,
                                               BiquadPrototype* out) const noexcept {
    int32_t count = 0;
    for (int32_t i = 0; i < recordCount_; ++i) {
        const PoleZero& r = records_[i];
        BiquadPrototype s;
        s.setFromPoleZero({r.poleReal, r.poleImag}, {r.zeroReal, r.zeroImag},
                          std::isinf(r.zeroReal), r.gain);
        if (shape == kAllPass) {
            // Numerator = denominator with its odd coefficient negated: |H| = 1.
            s.set(s.d2(), -s.d1(), s.d0(), s.d2(), s.d1(), s.d0(), 1.0);
        }
        if (isHighPassShape(shape) || shape == kBandStop) s.substituteReciprocal();
        if (!isBandShape(shape)) {
            out[count++] = s;
            continue;
        }
        // Band-stop is the band-pass substitution applied to the high-pass section.
        const double b = 1.0 / q;
        Quadratic num[2], den[2];
        const int32_t m = s.order();
        const int32_t parts = bandFactors(s.n2(), s.n1(), s.n0(), m, b, num);
        bandFactors(s.d2(), s.d1(), s.d0(), m, b, den);
        for (int32_t p = 0; p < parts; ++p) {
            out[count++].set(num[p].c2, num[p].c1, num[p].c0, den[p].c2, den[p].c1, den[p].c0,
                             p == 0 ? s.gain() : 1.0);
        }
    }
    return count;
}

int32_t AnalogFilterPrototype::designSingle(Family family, Shape shape, int32_t order,
                                            double gainLinear, double frequencyScale, double q,
                                            BiquadPrototype* out) noexcept {
    const int32_t prototypeOrder = isBandShape(shape) ? order / 2 : order;
    family_ = designPrototype(family, prototypeOrder);
    applyShapeGain(shape, prototypeOrder, gainLinear);
    const int32_t count = realiseSections(shape, q, out);
    for (int32_t i = 0; i < count; ++i)
        out[i].setFrequencyScale(frequencyScale);
    return count;
}

int32_t AnalogFilterPrototype::design(Family family, Shape shape, int32_t order, double gainLinear,
                                      double frequencyScale, double q) noexcept {
    if (family < kButterworth || family > kElliptic) family = kButterworth;
    if (shape < kLowPass || shape > kComposite) shape = kLowPass;
    order = std::clamp(order, 1, kMaxOrder);
    if (isBandShape(shape)) order = std::max(order + (order & 1), 2);
    if (shape == kComposite) order = 6;
    gainLinear = std::isnan(gainLinear) ? 1.0 : std::clamp(gainLinear, kMinGain, kMaxGain);
    if (!(frequencyScale > 0.0) || !std::isfinite(frequencyScale)) frequencyScale = 1.0;
    q = std::isnan(q) ? kDefaultQ : std::clamp(q, kMinQ, kMaxQ);

    shape_ = shape;
    order_ = order;
    gain_ = static_cast<float>(gainLinear);
    frequencyScale_ = static_cast<float>(frequencyScale);
    designScale_ = frequencyScale;

    if (shape == kComposite) {
        const double partGain =
            std::exp(compositePartGainDb(20.0 * std::log10(gainLinear)) * 0.1151292546497023);
        const Shape partShapes[3] = {kLowShelfCentred, kTilt, kHighShelfCentred};
        for (int32_t i = 0; i < 3; ++i) {
            designSingle(kButterworth, partShapes[i], 2, partGain, frequencyScale, kDefaultQ,
                         &composite_[i]);
            sections_[i] = composite_[i];
        }
        sectionCount_ = 3;
        return sectionCount_;
    }

    sectionCount_ =
        designSingle(family, shape, order, gainLinear, frequencyScale, q, sections_.data());
    if (shape == kBandPassScaled) {
        const double factor = std::pow(q / kDefaultQ, 1.0 / sectionCount_);
        for (int32_t i = 0; i < sectionCount_; ++i) {
            sections_[i].setFrequencyScale(sections_[i].frequencyScale() * factor);
            sections_[i].setGain(sections_[i].gain() * factor);
        }
    } else if (!isBandShape(shape) && std::abs(q - kDefaultQ) > kTolerance) {
        const double factor = std::max(kDefaultQ / q, kMinDampingFactor);
        sections_[0].scaleDamping(factor);
        sections_[0].setWeight(static_cast<float>(factor));
    }
    return sectionCount_;
}

int32_t AnalogFilterPrototype::digitalCoefficients(double frequencyHz, double sampleRateHz,
                                                   CoefficientMethod method,
                                                   BiquadCoefficients* out) const noexcept {
    const bool matched = method == CoefficientMethod::kMagnitudeMatched &&
                         family_ == kButterworth && shape_ != kAllPass;
    // A section rescaled after design reaches s = j at a frequency of its own.
    auto sectionHz = [&](int32_t i) {
        return frequencyHz * (designScale_ / sections_[i].frequencyScale());
    };
    if (matched) {
        double w0[kMaxSections];
        for (int32_t i = 0; i < sectionCount_; ++i) {
            w0[i] = clampedAngularFrequency(sectionHz(i), sampleRateHz);
            out[i] = magnitudeMatchedSection(sections_[i], w0[i]);
        }
        // The bilinear transform never rises above the analog response; it takes over when the
        // matched cascade would.
        if (withinAnalogEnvelope(sections_.data(), w0, sectionCount_, out)) return sectionCount_;
    }
    for (int32_t i = 0; i < sectionCount_; ++i)
        out[i] = bilinearTransform(sections_[i], prewarpedTangent(sectionHz(i), sampleRateHz));
    return sectionCount_;
}

std::complex<double> AnalogFilterPrototype::response(double w) const noexcept {
    Complex h(1.0, 0.0);
    for (int32_t i = 0; i < sectionCount_; ++i)
        h *= sections_[i].response(w);
    return h;
}

double AnalogFilterPrototype::squaredMagnitude(double w) const noexcept {
    double m = 1.0;
    for (int32_t i = 0; i < sectionCount_; ++i)
        m *= sections_[i].squaredMagnitude(w);
    return m;
}

void AnalogFilterPrototype::multiplySquaredMagnitude(const float* frequencies, float* magnitudes,
                                                     int32_t count) const noexcept {
    for (int32_t i = 0; i < sectionCount_; ++i) {
        sections_[i].multiplySquaredMagnitude(frequencies, magnitudes, count);
    }
}

void AnalogFilterPrototype::phase(const float* frequencies, float* phases,
                                  int32_t count) const noexcept {
    for (int32_t i = 0; i < count; ++i) {
        phases[i] = static_cast<float>(std::arg(response(frequencies[i])));
    }
}

void AnalogFilterPrototype::setFrequency(double frequency) noexcept {
    if (!(frequency > 0.0) || !std::isfinite(frequency)) return;  // keeps the last frequency
    // Moves every section by the same ratio so rescaled sections keep their offsets.
    const double scale = 1.0 / frequency;
    for (int32_t i = 0; i < sectionCount_; ++i) {
        sections_[i].setFrequencyScale(sections_[i].frequencyScale() * (scale / designScale_));
    }
    designScale_ = scale;
    frequencyScale_ = static_cast<float>(scale);
}

}  // namespace tessel
