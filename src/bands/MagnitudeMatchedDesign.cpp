#include "bands/MagnitudeMatchedDesign.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "bands/BilinearTransform.h"
#include "support/Tolerance.h"

namespace tessel {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTolerance = kFloatTolerance;
constexpr double kMaxPoleRadius = 0.999999999;
constexpr int32_t kRefitRounds = 12;
// Refits stop once no point errs by more than about 0.04 dB.
constexpr double kGoodEnough = 0.01;
constexpr int32_t kLeastSquaresRounds = 2;

// A quadratic p0 + p1 phi + p2 phi^2 in phi = sin^2(w/2): the squared magnitude on the unit
// circle of a polynomial c0 + c1 z^-1 + c2 z^-2, with p0 = (c0 + c1 + c2)^2,
// p0 + p1 + p2 = (c0 - c1 + c2)^2 and p2 = 16 c0 c2.
struct PhiQuadratic {
    double p0 = 1.0, p1 = 0.0, p2 = 0.0;

    static PhiQuadratic of(double c0, double c1, double c2) {
        const double sum = c0 + c1 + c2, diff = c0 - c1 + c2;
        const double p2 = 16.0 * c0 * c2;
        return {sum * sum, diff * diff - sum * sum - p2, p2};
    }
    double at(double phi) const { return p0 + phi * (p1 + phi * p2); }
    double minimumOnUnitInterval() const {
        double m = std::min(p0, at(1.0));
        if (p2 > 0.0) {
            const double vertex = -p1 / (2.0 * p2);
            if (vertex > 0.0 && vertex < 1.0) m = std::min(m, at(vertex));
        }
        return m;
    }
};

// The polynomial c0 + c1 z^-1 + c2 z^-2 whose squared magnitude is q (q >= 0 on the unit
// interval), with its zeros inside or on the unit circle: the minimum-phase factor. False when
// no real factor exists.
bool factor(const PhiQuadratic& q, double& c0, double& c1, double& c2) {
    const double sum = std::sqrt(std::max(q.p0, 0.0));
    const double diffMagnitude = std::sqrt(std::max(q.at(1.0), 0.0));
    const double product = q.p2 / 16.0;  // c0 c2
    bool found = false;
    double bestSpread = 0.0;
    for (const double diff : {diffMagnitude, -diffMagnitude}) {
        const double outer = 0.5 * (sum + diff);  // c0 + c2
        const double disc = outer * outer - 4.0 * product;
        if (disc < -1e-12 * outer * outer) continue;
        const double root = std::sqrt(std::max(disc, 0.0));
        // The larger root leads, which puts complex zeros inside the unit circle.
        const double lead = 0.5 * (outer + (outer >= 0.0 ? root : -root));
        const double trail = outer - lead;
        const double middle = 0.5 * (sum - diff);
        // Both zeros inside: |trail| <= |lead| and |middle| <= |lead + trail|. Of the two sign
        // choices keep the one that violates this least.
        const double spread = std::max(std::abs(trail), std::abs(middle) - std::abs(outer)) /
                              std::max(std::abs(lead), 1e-300);
        if (!found || spread < bestSpread) {
            found = true;
            bestSpread = spread;
            c0 = lead;
            c1 = middle;
            c2 = trail;
        }
    }
    return found;
}

// Denominator 1 + a1 z^-1 + a2 z^-2 with the analog poles mapped exactly by z = e^(s w0), so a
// stable analog section gives a stable digital one.
void mappedPoles(const BiquadPrototype& section, double w0, double& a1, double& a2) {
    const double d2 = section.d2(), d1 = section.d1(), d0 = section.d0();
    a1 = 0.0;
    a2 = 0.0;
    if (std::abs(d2) > kTolerance) {
        const double disc = d1 * d1 - 4.0 * d2 * d0;
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
        a1 = -std::min(std::exp(-d0 / d1 * w0), kMaxPoleRadius);
    }
}

}  // namespace

BiquadCoefficients magnitudeMatchedSection(const BiquadPrototype& section, double w0) noexcept {
    const double scale = section.frequencyScale();
    const BiquadCoefficients fallback =
        bilinearTransform(section, std::tan(0.5 * std::min(w0, kMaxAngularFrequency)));
    if (!(w0 > 0.0) || !std::isfinite(w0) || !(scale > 0.0) || !std::isfinite(scale))
        return fallback;
    auto analog = [&](double w) { return section.squaredMagnitude(w / (w0 * scale)); };

    // Natural frequencies (rad/sample) and relative half-bandwidths of the pole and zero pairs:
    // the fit samples densely around them.
    const double d2 = std::abs(section.d2()), d1 = std::abs(section.d1());
    const double d0 = std::abs(section.d0());
    const double n2 = std::abs(section.n2()), n1 = std::abs(section.n1());
    const double n0 = std::abs(section.n0());
    double features[2] = {0.0, 0.0}, widths[2] = {0.5, 0.5};
    if (d2 > kTolerance) {
        features[0] = std::sqrt(d0 / d2) * w0;
        widths[0] = std::min(0.5, 0.5 * d1 / std::sqrt(d0 * d2));
    } else if (d1 > kTolerance) {
        features[0] = d0 / d1 * w0;
    }
    if (n2 > kTolerance && n0 > kTolerance) {
        features[1] = std::sqrt(n0 / n2) * w0;
        widths[1] = std::min(0.5, 0.5 * n1 / std::sqrt(n0 * n2));
    } else if (n2 <= kTolerance && n1 > kTolerance && n0 > kTolerance) {
        features[1] = n0 / n1 * w0;
    }

    constexpr int32_t kGridPoints = 24;
    constexpr int32_t kMaxPoints = kGridPoints + 6;
    double points[kMaxPoints];
    int32_t count = 0;
    double lowest = kPi;
    for (const double f : features) {
        if (f > 0.0) lowest = std::min(lowest, f);
    }
    lowest = std::clamp(lowest / 8.0, 1e-4, 0.1 * kPi);
    // The fit ends short of Nyquist: matching there too, where the frequency map is steepest,
    // costs accuracy over the whole upper band and buys little (the top 7 % is left free).
    const double highest = 0.93 * kPi;
    const double ratio = std::pow(highest / lowest, 1.0 / (kGridPoints - 1));
    double w = lowest;
    for (int32_t i = 0; i < kGridPoints; ++i, w *= ratio)
        points[count++] = w;
    for (int32_t k = 0; k < 2; ++k) {
        if (!(features[k] > 0.0)) continue;
        for (const double side : {-1.0, 0.0, 1.0}) {
            const double p = features[k] * (1.0 + side * widths[k]);
            if (p > 1e-5 && p < 0.99 * kPi) points[count++] = p;
        }
    }

    double phis[kMaxPoints], targets[kMaxPoints];
    double largest = 0.0;
    for (int32_t i = 0; i < count; ++i) {
        const double sine = std::sin(0.5 * points[i]);
        phis[i] = sine * sine;
        targets[i] = analog(points[i]);
        largest = std::max(largest, targets[i]);
    }
    const double dc = analog(0.0);
    if (!std::isfinite(largest) || !std::isfinite(dc)) return fallback;
    bool flat = true;
    for (int32_t i = 0; i < count; ++i)
        flat = flat && std::abs(targets[i] - dc) <= 1e-4 * dc;
    if (flat) {  // a section flat over the whole band becomes a pure gain
        BiquadCoefficients c;
        c.b0 = std::sqrt(dc);
        return c;
    }

    double a1, a2;
    mappedPoles(section, w0, a1, a2);
    PhiQuadratic den = PhiQuadratic::of(1.0, a1, a2);

    // A zero pair on the imaginary axis (N1 = 0, N2 and N0 of one sign: a notch, as in every
    // band-stop section) stays exact, like the zeros at DC below: the numerator is
    // k (1 - 2 cos(wz) z^-1 + z^-2), whose squared magnitude 16 k^2 (phi - phiz)^2 touches 0 at
    // the notch. A least-squares numerator cannot follow a target that falls to 0 inside the
    // band: its relative-error weights explode there and the fit crosses zero. k^2 keeps DC exact
    // and only the denominator is refitted.
    const double zeroScale = n0 + n1 + n2;
    const bool notch = n1 <= kTolerance * zeroScale && n2 > kTolerance * zeroScale &&
                       n0 > kTolerance * zeroScale && section.n0() * section.n2() > 0.0;
    double notchPhi = 0.0;
    if (notch) {
        const double wz = std::min(features[1], kMaxAngularFrequency);
        const double sine = std::sin(0.5 * wz);
        notchPhi = sine * sine;
    }

    // Numerator P(phi) by least squares on the relative error (P - F Q) / (F Q) over the points,
    // with F floored 80 dB below the section's peak (deeper, its error no longer matters next to
    // its attenuation). Zeros at DC stay exact: a fitted numerator that missed them would turn a
    // 12 dB/oct skirt into 6 dB/oct at low frequencies. Unknowns by DC zero multiplicity:
    // none: P = F(0) Q(0) + p1 phi + p2 phi^2; one: P = p1 phi + p2 phi^2; two: P = p2 phi^2.
    const int32_t dcZeros = n0 > kTolerance * zeroScale ? 0 : n1 > kTolerance * zeroScale ? 1 : 2;
    const double floor = std::max(largest, dc) * 1e-8;
    // Per point: phi^2, 1 / max(F, floor), 1 / Q(phi) for the current denominator, and the row
    // weight, which Lawson's iteration raises where the last fit erred most: that moves the
    // least-squares fit towards the smallest worst-case error. Plain loops over fixed arrays, no
    // division inside a round but the one per point that a new denominator needs.
    double phiSquared[kMaxPoints], inverseTarget[kMaxPoints], inverseDen[kMaxPoints];
    double rowWeight[kMaxPoints];
    for (int32_t i = 0; i < count; ++i) {
        phiSquared[i] = phis[i] * phis[i];
        inverseTarget[i] = 1.0 / std::max(targets[i], floor);
        rowWeight[i] = 1.0;
    }
    auto denominatorChanged = [&]() {
        for (int32_t i = 0; i < count; ++i)
            inverseDen[i] = 1.0 / (den.p0 + den.p1 * phis[i] + den.p2 * phiSquared[i]);
    };
    // Least squares over rows (a_i, b_i) and right-hand sides r_i: the 2 x 2 normal equations.
    struct Normal {
        double aa = 0.0, ab = 0.0, bb = 0.0, ar = 0.0, br = 0.0;
        void add(double a, double b, double r) {
            aa += a * a;
            ab += a * b;
            bb += b * b;
            ar += a * r;
            br += b * r;
        }
        bool solve(double& x, double& y) const {
            const double det = aa * bb - ab * ab;
            if (!(std::abs(det) > 1e-300 * (aa * bb))) return false;
            x = (ar * bb - br * ab) / det;
            y = (aa * br - ab * ar) / det;
            return std::isfinite(x) && std::isfinite(y);
        }
    };
    PhiQuadratic num;
    auto fitNumerator = [&]() {
        if (notch) {  // 16 k^2 (phi - phiz)^2 with P(0) = F(0) Q(0)
            const double k2 = dc * den.p0 / (notchPhi * notchPhi);
            num = {k2 * notchPhi * notchPhi, -2.0 * k2 * notchPhi, k2};
            return std::isfinite(k2);
        }
        const double fixed = dcZeros == 0 ? dc * den.p0 : 0.0;
        Normal n;
        for (int32_t i = 0; i < count; ++i) {
            const double w = rowWeight[i] * inverseTarget[i] * inverseDen[i];
            n.add(phis[i] * w, phiSquared[i] * w,
                  (targets[i] - fixed * inverseDen[i]) * rowWeight[i] * inverseTarget[i]);
        }
        double p1 = 0.0, p2 = 0.0;
        if (dcZeros == 2) {  // P = p2 phi^2 alone
            if (!(n.bb > 0.0)) return false;
            p2 = n.br / n.bb;
        } else if (!n.solve(p1, p2)) {
            return false;
        }
        num = {fixed, p1, p2};
        return std::isfinite(p2);
    };
    // Then the denominator's phi and phi^2 terms with the numerator held, the same way, and the
    // numerator once more: the mapped poles are exact in the s plane but not the best fit of the
    // magnitude near Nyquist. A refit that would put a pole on the unit circle is dropped.
    auto refitDenominator = [&]() {
        Normal n;
        for (int32_t i = 0; i < count; ++i) {
            const double w = rowWeight[i] * inverseTarget[i] * inverseDen[i];
            const double fw = targets[i] * w;
            n.add(phis[i] * fw, phiSquared[i] * fw,
                  (num.p0 + num.p1 * phis[i] + num.p2 * phiSquared[i] - targets[i] * den.p0) * w);
        }
        PhiQuadratic next{den.p0, 0.0, 0.0};
        if (!n.solve(next.p1, next.p2)) return false;
        if (!(next.minimumOnUnitInterval() > 1e-12 * den.p0)) return false;
        den = next;
        denominatorChanged();
        return true;
    };
    // Reweights the rows by the last fit's errors |r - 1/r| / 2, r the ratio of fitted to target
    // squared magnitude (|ln r| to first order, alike for misses up and down); returns the
    // largest.
    auto emphasiseErrors = [&]() {
        double total = 0.0, worst = 0.0;
        for (int32_t i = 0; i < count; ++i) {
            const double fitted =
                (num.p0 + num.p1 * phis[i] + num.p2 * phiSquared[i]) * inverseDen[i];
            const double r = std::max(fitted, floor) * inverseTarget[i];
            const double error = 0.5 * std::abs(r - 1.0 / r);
            rowWeight[i] *= error + 1e-9;  // a damped Lawson step: the weight, not its square
            total += rowWeight[i];
            worst = std::max(worst, error);
        }
        const double normalise = static_cast<double>(count) / total;
        for (int32_t i = 0; i < count; ++i)
            rowWeight[i] = std::sqrt(rowWeight[i] * normalise);
        return worst;
    };
    if (!(den.minimumOnUnitInterval() > 0.0)) return fallback;
    denominatorChanged();
    if (!fitNumerator()) return fallback;
    for (int32_t round = 0; round < kRefitRounds; ++round) {
        if (round >= kLeastSquaresRounds && emphasiseErrors() < kGoodEnough) break;
        if (!refitDenominator()) break;
        if (!fitNumerator()) return fallback;
    }
    double d0c = 1.0, d1c = a1, d2c = a2;
    if (!factor(den, d0c, d1c, d2c)) return fallback;
    double b0 = 0.0, b1 = 0.0, b2 = 0.0;
    if (notch) {
        // The notch's numerator directly, scaled so that the gain at DC is the analog one.
        const double k = 0.25 * std::sqrt(num.p2);
        b0 = k;
        b1 = -2.0 * k * (1.0 - 2.0 * notchPhi);  // -2 k cos(wz)
        b2 = k;
    } else {
        // A numerator that dips below zero between the points is lifted to touch zero there.
        const double dip = num.minimumOnUnitInterval();
        if (dip < 0.0) num.p0 -= dip;
        if (!factor(num, b0, b1, b2)) return fallback;
    }
    const BiquadCoefficients c{b0 / d0c, b1 / d0c, b2 / d0c, d1c / d0c, d2c / d0c};
    const bool stable = std::abs(c.a2) < kMaxPoleRadius && std::abs(c.a1) < 1.0 + c.a2;
    if (!stable || !std::isfinite(c.b0) || !std::isfinite(c.b1) || !std::isfinite(c.b2))
        return fallback;
    return c;
}

}  // namespace tessel
