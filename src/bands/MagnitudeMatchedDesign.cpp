#include "bands/MagnitudeMatchedDesign.h"

#include "bands/BilinearTransform.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <numbers>

namespace tessel {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTolerance = 1.1920929e-7;
// The matching point stays clear of Nyquist, where sin^2(w/2) -> 1 and the solve degenerates.
constexpr double kHighestMatchPoint = 0.9 * kPi;
constexpr double kLowestMatchPoint = 1e-5;
constexpr double kMaxPoleRadius = 0.999999999;

// |A(e^jw)|^2 of a0 + a1 z^-1 + a2 z^-2 in terms of phi = sin^2(w/2):
// S^2 (1 - phi) + T^2 phi - 16 a0 a2 phi (1 - phi), S = a0 + a1 + a2, T = a0 - a1 + a2.
double digitalSquared(double s2, double t2, double cross, double phi) {
    return s2 * (1.0 - phi) + t2 * phi + cross * 4.0 * phi * (1.0 - phi);
}

// Numerator b0 + b1 z^-1 + b2 z^-2 with (b0 + b1 + b2)^2 = sumSquared, (b0 - b1 + b2)^2 =
// diffSquared and -4 b0 b2 = cross. b0 and b2 are the roots of x^2 - w x - cross / 4 with
// w = b0 + b2; of the two sign choices for b0 - b1 + b2 the one with real roots is taken.
// Returns false (and leaves the coefficients untouched) when neither has real roots.
bool solveNumerator(double sumSquared, double diffSquared, double cross, BiquadCoefficients& c) {
    const double sumS = std::sqrt(std::max(sumSquared, 0.0));
    const double sumT = std::sqrt(std::max(diffSquared, 0.0));
    for (const double t : {sumT, -sumT}) {
        const double w = 0.5 * (sumS + t);
        const double disc = w * w + cross;
        if (disc < -1e-9 * w * w) continue;
        const double root = std::sqrt(std::max(disc, 0.0));
        c.b0 = 0.5 * (w + (w >= 0.0 ? root : -root));
        c.b2 = w - c.b0;
        c.b1 = 0.5 * (sumS - t);
        return true;
    }
    return false;
}

}  // namespace

namespace {

// Exact pole mapping z = e^(s T) with a numerator matched at 0, Nyquist and one point between.
BiquadCoefficients poleMappedSection(const BiquadPrototype& section, double w0) noexcept {
    const double scale = section.frequencyScale();
    auto analog = [&](double w) { return section.squaredMagnitude(w / (w0 * scale)); };

    // Denominator: the analog poles, times w0, mapped through z = e^s.
    const double d2 = section.d2(), d1 = section.d1(), d0 = section.d0();
    double a1 = 0.0, a2 = 0.0, poleFrequency = 1.0;
    if (std::abs(d2) > kTolerance) {
        const double disc = d1 * d1 - 4.0 * d2 * d0;
        poleFrequency = std::sqrt(std::abs(d0 / d2));
        if (disc < 0.0) {
            const double sigma = -d1 / (2.0 * d2) * w0;
            const double omega = std::min(std::sqrt(-disc) / (2.0 * std::abs(d2)) * w0, kPi);
            const double r = std::min(std::exp(sigma), kMaxPoleRadius);
            a1 = -2.0 * r * std::cos(omega);
            a2 = r * r;
        } else {
            const double root = std::sqrt(disc);
            const double p1 = std::min(std::exp((-d1 + root) / (2.0 * d2) * w0), kMaxPoleRadius);
            const double p2 = std::min(std::exp((-d1 - root) / (2.0 * d2) * w0), kMaxPoleRadius);
            a1 = -(p1 + p2);
            a2 = p1 * p2;
        }
    } else if (std::abs(d1) > kTolerance) {
        poleFrequency = std::abs(d0 / d1);
        a1 = -std::min(std::exp(-d0 / d1 * w0), kMaxPoleRadius);
    }

    // Matching point: the pole frequency, or the geometric mean of pole and zero frequencies
    // when the numerator has a finite non-zero natural frequency (shelves and bells).
    double matchFrequency = poleFrequency;
    const double n2 = section.n2(), n1 = section.n1(), n0 = section.n0();
    if (std::abs(n2) > kTolerance && std::abs(n0) > kTolerance) {
        matchFrequency = std::sqrt(poleFrequency * std::sqrt(std::abs(n0 / n2)));
    } else if (std::abs(n2) <= kTolerance && std::abs(n1) > kTolerance &&
               std::abs(n0) > kTolerance) {
        matchFrequency = std::sqrt(poleFrequency * std::abs(n0 / n1));
    }
    const double wm = std::clamp(matchFrequency * w0, kLowestMatchPoint, kHighestMatchPoint);

    const double h0 = analog(0.0), hPi = analog(kPi), hm = analog(wm);
    BiquadCoefficients c;
    // A section that is flat over the whole band becomes a pure gain.
    const double hQuarter = analog(0.5 * wm), hUpper = analog(0.5 * (wm + kPi));
    const double flatTolerance = 1e-4 * h0;
    if (std::abs(hPi - h0) <= flatTolerance && std::abs(hm - h0) <= flatTolerance &&
        std::abs(hQuarter - h0) <= flatTolerance && std::abs(hUpper - h0) <= flatTolerance) {
        c.b0 = std::sqrt(h0);
        return c;
    }
    c.a1 = a1;
    c.a2 = a2;

    const double s2 = (1.0 + a1 + a2) * (1.0 + a1 + a2);
    const double t2 = (1.0 - a1 + a2) * (1.0 - a1 + a2);
    const double cross = -4.0 * a2;
    const double phiM = std::sin(0.5 * wm) * std::sin(0.5 * wm);
    const double bS2 = h0 * s2;   // (b0 + b1 + b2)^2
    const double bT2 = hPi * t2;  // (b0 - b1 + b2)^2
    const double bCross =
        (hm * digitalSquared(s2, t2, cross, phiM) - bS2 * (1.0 - phiM) - bT2 * phiM) /
        (4.0 * phiM * (1.0 - phiM));  // -4 b0 b2

    // Zeros at DC (high-pass and band-pass sections) are kept exact: a fitted numerator that
    // missed them would turn a 12 dB/oct skirt into 6 dB/oct at low frequencies.
    if (std::abs(n0) <= kTolerance * (std::abs(n1) + std::abs(n2))) {
        const double q = digitalSquared(s2, t2, cross, phiM);  // |A|^2 at the match point
        if (std::abs(n2) <= kTolerance && std::abs(d2) <= kTolerance) {
            // First order: b0 (1 - z^-1), matched at Nyquist.
            c.b0 = std::sqrt(hPi * t2 / 4.0);
            c.b1 = -c.b0;
            return c;
        }
        if (std::abs(n1) <= kTolerance * std::abs(n2)) {
            // b0 (1 - z^-1)^2, |.|^2 = 16 b0^2 phi^2: matched at Nyquist, the pass band.
            c.b0 = std::sqrt(hPi * t2 / 16.0);
            c.b1 = -2.0 * c.b0;
            c.b2 = c.b0;
            return c;
        }
        // (1 - z^-1)(e0 + e1 z^-1), |.|^2 = 4 phi (E0 (1 - phi) + E1 phi), E0 = (e0 + e1)^2,
        // E1 = (e0 - e1)^2: matched at Nyquist and at the match point.
        const double e1Squared = hPi * t2 / 4.0;
        const double e0Squared =
            std::max((hm * q / (4.0 * phiM) - e1Squared * phiM) / (1.0 - phiM), 0.0);
        const double e0 = 0.5 * (std::sqrt(e0Squared) + std::sqrt(e1Squared));
        const double e1 = 0.5 * (std::sqrt(e0Squared) - std::sqrt(e1Squared));
        c.b0 = e0;
        c.b1 = e1 - e0;
        c.b2 = -e1;
        return c;
    }
    if (solveNumerator(bS2, bT2, bCross, c)) return c;

    // No real numerator passes through the three points: the analog section has a sharp
    // extremum (a deep cut) that the points straddle. Match value and slope (in phi) at the
    // extremum instead and leave Nyquist free; this pins the dip where the analog one is.
    const double h = 1e-4 * std::min(phiM, 1.0 - phiM);
    auto target = [&](double phi) {
        return analog(2.0 * std::asin(std::sqrt(phi))) * digitalSquared(s2, t2, cross, phi);
    };
    const double value = target(phiM);
    const double slope = (target(phiM + h) - target(phiM - h)) / (2.0 * h);
    const double slopeCross = (value - bS2 - phiM * slope) / (4.0 * phiM * phiM);
    const double slopeT2 = std::max(slope + bS2 - 4.0 * slopeCross * (1.0 - 2.0 * phiM), 0.0);
    if (solveNumerator(bS2, slopeT2, slopeCross, c)) return c;
    solveNumerator(bS2, bT2, -std::pow(0.5 * (std::sqrt(bS2) + std::sqrt(bT2)), 2.0), c);
    return c;
}

// 3 x 3 determinant, rows r0, r1, r2.
double determinant(const double* r0, const double* r1, const double* r2) {
    return r0[0] * (r1[1] * r2[2] - r1[2] * r2[1]) - r0[1] * (r1[0] * r2[2] - r1[2] * r2[0]) +
           r0[2] * (r1[0] * r2[1] - r1[1] * r2[0]);
}

}  // namespace

BiquadCoefficients rationalFitSection(const BiquadPrototype& section, double w0) noexcept {
    // Both numerator and denominator squared magnitudes are linear in (1 - phi), phi and
    // 4 phi (1 - phi), phi = sin^2(w/2). With the denominator's DC term set to 1, matching the
    // analog squared magnitude at 0, at Nyquist and at three points between is a 3 x 3 linear
    // solve; the denominator is then factored with its roots inside the unit circle. Points:
    // the pole frequency (at most pi/2), the zero frequency or twice the pole frequency (at
    // most 0.75 pi) and 0.9 pi, which bounds the error in the band the bilinear design loses.
    const double scale = section.frequencyScale();
    auto analog = [&](double w) { return section.squaredMagnitude(w / (w0 * scale)); };
    const double d2 = section.d2(), d1 = section.d1(), d0 = section.d0();
    const double n2 = section.n2(), n0 = section.n0();
    double poleFrequency = std::abs(d2) > kTolerance   ? std::sqrt(std::abs(d0 / d2))
                           : std::abs(d1) > kTolerance ? std::abs(d0 / d1)
                                                       : 1.0;
    double second = 2.0 * poleFrequency;
    if (std::abs(n2) > kTolerance && std::abs(n0) > kTolerance)
        second = std::sqrt(std::abs(n0 / n2));
    const double w1 = std::clamp(poleFrequency * w0, kLowestMatchPoint, 0.5 * kPi);
    double w2 = std::clamp(second * w0, kLowestMatchPoint, 0.75 * kPi);
    if (std::abs(w2 - w1) < 0.05 * w1) w2 = std::min(2.0 * w1, 0.75 * kPi);
    const double points[3] = {w1, w2, kHighestMatchPoint};

    const double h0 = analog(0.0), hPi = analog(kPi);
    double rows[3][3], rhs[3];
    for (int32_t i = 0; i < 3; ++i) {
        const double phi = std::sin(0.5 * points[i]) * std::sin(0.5 * points[i]);
        const double q = 4.0 * phi * (1.0 - phi);
        const double h = analog(points[i]);
        rows[i][0] = phi * (hPi - h);
        rows[i][1] = -h * q;
        rows[i][2] = q;
        rhs[i] = (h - h0) * (1.0 - phi);
    }
    const double det = determinant(rows[0], rows[1], rows[2]);
    if (std::abs(det) > 1e-300 && std::isfinite(det)) {
        double solved[3];
        for (int32_t k = 0; k < 3; ++k) {
            double m[3][3];
            for (int32_t i = 0; i < 3; ++i) {
                for (int32_t j = 0; j < 3; ++j)
                    m[i][j] = j == k ? rhs[i] : rows[i][j];
            }
            solved[k] = determinant(m[0], m[1], m[2]) / det;
        }
        const double a1Squared = solved[0], aCross = solved[1], bCross = solved[2];
        const double t = std::sqrt(std::max(a1Squared, 0.0));
        const double w = 0.5 * (1.0 + t);
        const double disc = w * w + aCross;
        BiquadCoefficients c;
        if (a1Squared > 0.0 && disc > 0.0 && solveNumerator(h0, hPi * a1Squared, bCross, c)) {
            const double a0 = 0.5 * (w + std::sqrt(disc));
            c.a1 = 0.5 * (1.0 - t) / a0;
            c.a2 = (w - a0) / a0;
            c.b0 /= a0;
            c.b1 /= a0;
            c.b2 /= a0;
            const bool stable = std::abs(c.a2) < kMaxPoleRadius && std::abs(c.a1) < 1.0 + c.a2;
            if (stable && std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2)) {
                return c;
            }
        }
    }
    return poleMappedSection(section, w0);
}

namespace {

// Largest deviation in dB between the digital and the analog squared magnitudes over a fixed
// set of points up to 0.95 pi, both floored at -60 dB so that deep stop bands do not dominate.
double deviationDb(const BiquadCoefficients& c, const BiquadPrototype& section, double w0) {
    constexpr double kFractions[] = {0.01, 0.03, 0.06, 0.1, 0.15, 0.2, 0.3, 0.4,
                                     0.5,  0.6,  0.7,  0.8, 0.85, 0.9, 0.95};
    constexpr double kFloor = 1e-6;
    const double scale = section.frequencyScale();
    // Plus points around the section's own features, where a dip or peak could hide between
    // the fixed ones: its pole and zero natural frequencies, a third of an octave either side.
    double points[std::size(kFractions) + 6];
    int32_t count = 0;
    for (const double fraction : kFractions)
        points[count++] = fraction * kPi;
    const double features[2] = {
        std::abs(section.d2()) > kTolerance ? std::sqrt(std::abs(section.d0() / section.d2()))
                                            : 0.0,
        std::abs(section.n2()) > kTolerance ? std::sqrt(std::abs(section.n0() / section.n2()))
                                            : 0.0};
    for (const double feature : features) {
        for (const double ratio : {0.8, 1.0, 1.25}) {
            const double w = feature * w0 * ratio;
            if (w > 0.0 && w < 0.97 * kPi) points[count++] = w;
        }
    }
    double worst = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        const double w = points[i];
        const double cosW = std::cos(w), cos2W = std::cos(2.0 * w);
        const double sinW = std::sin(w), sin2W = std::sin(2.0 * w);
        const double nr = c.b0 + c.b1 * cosW + c.b2 * cos2W, ni = c.b1 * sinW + c.b2 * sin2W;
        const double dr = 1.0 + c.a1 * cosW + c.a2 * cos2W, di = c.a1 * sinW + c.a2 * sin2W;
        const double digital = (nr * nr + ni * ni) / (dr * dr + di * di);
        const double analog = section.squaredMagnitude(w / (w0 * scale));
        const double dev =
            std::abs(std::log10(std::max(digital, kFloor)) - std::log10(std::max(analog, kFloor)));
        if (!(dev <= worst)) worst = std::isfinite(dev) ? dev : 1e300;
    }
    return 10.0 * worst;
}

}  // namespace

BiquadCoefficients magnitudeMatchedSection(const BiquadPrototype& section, double w0) noexcept {
    // Three closed-form candidates, each best in a different region (exact pole mapping for
    // poles well below Nyquist, the rational fit for shelves and bells near it, the prewarped
    // bilinear transform for resonances close to Nyquist); the one that deviates least from
    // the analog magnitude over the band is kept. All three are stable by construction.
    const BiquadCoefficients candidates[3] = {
        poleMappedSection(section, w0),
        rationalFitSection(section, w0),
        bilinearTransform(section, std::tan(0.5 * std::min(w0, kMaxAngularFrequency))),
    };
    int32_t best = 0;
    double bestDeviation = deviationDb(candidates[0], section, w0);
    for (int32_t i = 1; i < 3; ++i) {
        const double dev = deviationDb(candidates[i], section, w0);
        if (dev < bestDeviation) {
            bestDeviation = dev;
            best = i;
        }
    }
    return candidates[best];
}

}  // namespace tessel
