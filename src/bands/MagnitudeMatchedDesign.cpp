#include "bands/MagnitudeMatchedDesign.h"

#include <algorithm>
#include <cmath>
#include <complex>
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

// --- Band-stop sections ---------------------------------------------------------------------

// The band substitution turns each pole pair of a Butterworth low-pass prototype, at angle theta
// from the imaginary axis, into two band-stop sections n (s^2 + 1) / D(s) whose poles t and 1/t
// solve t^2 - r B t + 1 = 0, with r on the unit circle, Re(r) = -sin(theta) and B the relative
// bandwidth: u = t + 1/t gives B = |u| and sin(theta) = -Re(u) / B. The lower section (|t| < 1)
// and the upper one are mirrors; a real prototype pole gives a single section s^2 + B s + 1.
// Away from the notch the cascade's response depends on X = B / |x - 1/x| (x = w / w0): it is
// -3 dB at X = 1 and falls by 20 N dB per decade of X beyond, N the prototype order.
struct BandStopShape {
    double bandwidth = 0.0;   // B
    double theta = 0.0;       // of the prototype pole, radians
    bool pair = false;        // false: the single section of a real prototype pole
    bool lower = false;       // of a pair: the section whose poles lie below the notch
    double a = 0.0, b = 1.0;  // the lower section's denominator s^2 + a s + b (b <= 1)
};

// Recognises a band-stop section by its notch at the design frequency (numerator n (s^2 + 1)),
// which only the band substitution produces among the designs matched here.
bool describeBandStop(const BiquadPrototype& s, BandStopShape& shape) {
    const double n2 = s.n2(), n0 = s.n0();
    const bool notchAtCentre = std::abs(s.n1()) <= kTolerance * std::abs(n2) && n0 * n2 > 0.0 &&
                               std::abs(n0 - n2) <= kTolerance * std::abs(n2);
    const double d2 = std::abs(s.d2()), d1 = s.d1() * (s.d2() < 0.0 ? -1.0 : 1.0);
    const double d0 = s.d0() * (s.d2() < 0.0 ? -1.0 : 1.0);
    if (!notchAtCentre || !(d2 > 0.0 && d1 > 0.0 && d0 > 0.0) || !std::isfinite(d0 + d1 + d2))
        return false;
    if (std::abs(d0 - d2) <= 1e-9 * d2) {
        shape = {d1 / d2, 0.5 * kPi, false, false, d1 / d2, 1.0};
        return std::isfinite(shape.bandwidth);
    }
    // Both mirrors describe the pair by the lower one, so that they fit the same target.
    const bool lower = d0 < d2;
    const double a = lower ? d1 / d2 : d1 / d0, b = lower ? d0 / d2 : d2 / d0;
    if (!(a * a < 4.0 * b)) return false;
    const std::complex<double> t(-0.5 * a, 0.5 * std::sqrt(4.0 * b - a * a));
    const std::complex<double> u = t + 1.0 / t;
    const double bandwidth = std::abs(u);
    if (!(bandwidth > 0.0) || !std::isfinite(bandwidth)) return false;
    shape = {bandwidth, std::asin(std::clamp(-u.real() / bandwidth, 0.0, 1.0)), true, lower, a, b};
    return true;
}

// Fit points of a band-stop section, in radians per sample: DC, a span up to the top of the
// fitted range, points through both band edges uniform in log X up to the range that matters,
// guards beyond it towards the notch, and Nyquist.
constexpr int32_t kSpanPoints = 10;
constexpr int32_t kEdgePoints = 10;  // per side
constexpr int32_t kGuardPoints = 3;  // per side
constexpr int32_t kBandStopPoints = 2 + kSpanPoints + 2 * (kEdgePoints + kGuardPoints);
constexpr double kBandStopTop = 0.9 * kPi;
// Where the cascade is at least this far down, its shape no longer matters: points there only
// keep the fit from rising above the analog response (guards).
constexpr double kNegligibleDb = 40.0;
constexpr double kGuardWeight = 0.3;
// DC is held: a row weight no reweighting touches.
constexpr double kDcWeight = 1e4;
constexpr int32_t kBandStopRounds = 4;

// Roots of the monic quartic x^4 + c[3] x^3 + c[2] x^2 + c[1] x + c[0] (Durand-Kerner; a
// bounded number of steps, converged long before the bound).
void quarticRoots(const double* c, std::complex<double>* roots) {
    using Complex = std::complex<double>;
    const double radius = std::max(std::pow(std::abs(c[0]), 0.25), 1e-12);
    for (int32_t k = 0; k < 4; ++k)
        roots[k] = std::polar(radius, 0.4 + 0.5 * kPi * k);
    for (int32_t step = 0; step < 200; ++step) {
        double change = 0.0;
        for (int32_t k = 0; k < 4; ++k) {
            const Complex x = roots[k];
            Complex product(1.0, 0.0);
            for (int32_t j = 0; j < 4; ++j)
                if (j != k) product *= x - roots[j];
            const Complex delta = ((((x + c[3]) * x + c[2]) * x + c[1]) * x + c[0]) / product;
            if (!std::isfinite(delta.real()) || !std::isfinite(delta.imag())) continue;
            roots[k] = x - delta;
            change = std::max(change, std::norm(delta) / (std::norm(roots[k]) + 1e-300));
        }
        if (change < 1e-30) break;
    }
}

// The root inside the unit circle of z + 1/z = 2 - 4 phi: the pole whose squared-magnitude
// factor on the unit circle vanishes at phi = sin^2(w/2).
std::complex<double> poleAt(std::complex<double> phi) {
    const std::complex<double> c = 1.0 - 2.0 * phi;
    const std::complex<double> root = 2.0 * std::sqrt(-phi * (1.0 - phi));  // sqrt(c^2 - 1)
    const std::complex<double> z = c - root;
    return std::abs(z) <= 1.0 ? z : c + root;
}

// A band-stop section fitted together with its mirror: the pair's squared magnitude
// k (phi - phiz)^4 / D(phi), the numerator exact on the notch, D of degree 4 by least squares on
// the relative error where the cascade is within kNegligibleDb of its pass band; the section
// keeps the half of D's roots nearer its own poles. Each mirror fits the same target on its own
// and keeps the other half. False when the fit fails.
bool bandStopSection(const BiquadPrototype& section, const BandStopShape& shape, double w0,
                     BiquadCoefficients& out) {
    const int32_t degree = shape.pair ? 4 : 2;
    const double bw = shape.bandwidth, a = shape.a, b = shape.b;
    // A prototype pole at angle theta belongs to an order of at least pi / (2 theta), so the
    // cascade is kNegligibleDb down wherever X exceeds this.
    const double negligibleX = std::pow(10.0, kNegligibleDb * shape.theta / (10.0 * kPi));

    double ws[kBandStopPoints];
    bool guard[kBandStopPoints];
    int32_t count = 0;
    auto add = [&](double w, bool isGuard) {
        if (!(w >= 0.0 && w <= kPi) || count == kBandStopPoints) return;
        const double x = w / w0;
        ws[count] = w;
        guard[count++] = w > 0.0 && (isGuard || std::abs(x - 1.0 / x) * negligibleX < bw);
    };
    auto atXi = [&](double xi) { return w0 * 0.5 * (xi + std::sqrt(xi * xi + 4.0)); };
    add(0.0, false);
    const double low = std::min(w0, 1.0) / 32.0;
    for (int32_t i = 0; i < kSpanPoints; ++i)
        add(low * std::pow(kBandStopTop / low, i / (kSpanPoints - 1.0)), false);
    for (const double side : {-1.0, 1.0}) {
        for (int32_t i = 0; i < kEdgePoints; ++i) {
            const double x = 0.25 * std::pow(4.0 * negligibleX, i / (kEdgePoints - 1.0));
            const double w = atXi(side * bw / x);
            add(w, w > kBandStopTop);
        }
        for (int32_t i = 1; i <= kGuardPoints; ++i)
            add(atXi(side * bw / (negligibleX * std::pow(30.0, double(i) / kGuardPoints))), true);
    }
    add(kPi, true);

    // Targets: (phi - phiz)^degree / |H|^2 of the analog pair relative to DC, the notch factors of
    // both cancelled analytically, with phi - phiz = sin((w - w0)/2) sin((w + w0)/2) (from the
    // half-angle sines and cosines) accurate next to the notch. D is fitted in powers of y = phi -
    // centre, centred on the lower section's poles: a basis centred elsewhere loses their roots to
    // cancellation when they sit far below the notch (wide bands) or next to it (narrow ones).
    const double halfSine = std::sin(0.5 * w0), halfCosine = std::cos(0.5 * w0);
    auto target = [&](double w, double sine, double cosine) {
        const double x = w / w0, xx = x * x, notch = (1.0 - x) * (1.0 + x);
        const double ratio = std::abs(notch) > 1e-12
                                 ? (sine * halfCosine - cosine * halfSine) *
                                       (sine * halfCosine + cosine * halfSine) / notch
                                 : -0.25 * w0 * std::sin(w0);
        double t = ratio * ratio * ((b - xx) * (b - xx) + a * a * xx);
        if (shape.pair) t *= ratio * ratio * ((1.0 - b * xx) * (1.0 - b * xx) + a * a * xx);
        return t;
    };
    const double centreSine = std::sin(0.5 * w0 * std::sqrt(b));
    const double centre = centreSine * centreSine;
    const double t0 = target(0.0, 0.0, 1.0);
    // Per point: 1 / T, y^0..y^(2 degree) and the row weight.
    double inverseTargets[kBandStopPoints], powers[kBandStopPoints][9], weight[kBandStopPoints];
    for (int32_t i = 0; i < count; ++i) {
        const double sine = std::sin(0.5 * ws[i]), cosine = std::cos(0.5 * ws[i]);
        inverseTargets[i] = t0 / target(ws[i], sine, cosine);
        if (!std::isfinite(inverseTargets[i]) || !(inverseTargets[i] > 0.0)) return false;
        powers[i][0] = 1.0;
        for (int32_t p = 1; p <= 2 * degree; ++p)
            powers[i][p] = powers[i][p - 1] * (sine * sine - centre);
        weight[i] = ws[i] == 0.0 ? kDcWeight : guard[i] ? kGuardWeight : 1.0;
    }

    // D(y) = e0 + e1 y + ... by least squares on D / T - 1, the columns scaled to a unit
    // diagonal and solved by Gauss-Jordan elimination with partial pivots. Lawson's reweighting
    // towards the worst errors follows; a guard counts only while the fit rises above the analog
    // response there (D < T).
    const int32_t n = degree + 1;
    double e[5] = {};
    for (int32_t round = 0; round < kBandStopRounds; ++round) {
        // The normal matrix is a Hankel matrix of the moments sum(w T^-2 y^p).
        double moments[9] = {}, rhs[5] = {};
        for (int32_t i = 0; i < count; ++i) {
            const double wt = weight[i] * inverseTargets[i], wtt = wt * inverseTargets[i];
            for (int32_t p = 0; p <= 2 * degree; ++p)
                moments[p] += wtt * powers[i][p];
            for (int32_t j = 0; j < n; ++j)
                rhs[j] += wt * powers[i][j];
        }
        double m[5][6];
        for (int32_t j = 0; j < n; ++j) {
            for (int32_t k = 0; k < n; ++k)
                m[j][k] = moments[j + k];
            m[j][5] = rhs[j];
        }
        double scale[5];
        for (int32_t j = 0; j < n; ++j)
            scale[j] = m[j][j] > 0.0 ? 1.0 / std::sqrt(m[j][j]) : 1.0;
        for (int32_t j = 0; j < n; ++j) {
            for (int32_t k = 0; k < n; ++k)
                m[j][k] *= scale[j] * scale[k];
            m[j][5] *= scale[j];
        }
        for (int32_t k = 0; k < n; ++k) {
            int32_t pivot = k;
            for (int32_t j = k + 1; j < n; ++j)
                if (std::abs(m[j][k]) > std::abs(m[pivot][k])) pivot = j;
            if (!(std::abs(m[pivot][k]) > 1e-300)) return false;
            for (int32_t col = 0; col < 6; ++col)
                std::swap(m[k][col], m[pivot][col]);
            for (int32_t j = 0; j < n; ++j) {
                const double f = m[j][k] / m[k][k];
                for (int32_t col = k; col < 6 && j != k; ++col)
                    m[j][col] -= f * m[k][col];
            }
        }
        for (int32_t j = 0; j < n; ++j)
            e[j] = m[j][5] / m[j][j] * scale[j];

        double total = 0.0;
        for (int32_t i = 1; i < count; ++i) {  // point 0 is DC
            double value = 0.0;
            for (int32_t j = 0; j < n; ++j)
                value += e[j] * powers[i][j];
            const double r = std::max(value * inverseTargets[i], 1e-150);
            double error = 0.5 * std::abs(r - 1.0 / r);  // |ln r| to first order
            if (guard[i]) error *= kGuardWeight * (r < 1.0 ? 1.0 : 0.01);
            weight[i] *= error + 1e-9;
            total += weight[i];
        }
        const double normalise = (count - 1) / total;
        for (int32_t i = 1; i < count; ++i)
            weight[i] = std::sqrt(weight[i] * normalise);
    }
    if (!(std::abs(e[degree]) > 0.0) || !std::isfinite(e[0] + e[1] + e[2] + e[3] + e[4]))
        return false;

    // D's roots as phi; of a pair's four, the section keeps the conjugate pair (or two real
    // roots) nearer DC if it is the lower mirror, the others if it is the upper one.
    std::complex<double> roots[4], own[2];
    if (degree == 2) {
        const double disc = e[1] * e[1] - 4.0 * e[2] * e[0];
        const std::complex<double> root = std::sqrt(std::complex<double>(disc));
        const std::complex<double> q = -0.5 * (e[1] >= 0.0 ? e[1] + root : e[1] - root);
        own[0] = q / e[2] + centre;
        own[1] = e[0] / q + centre;
    } else {
        const double monic[4] = {e[0] / e[4], e[1] / e[4], e[2] / e[4], e[3] / e[4]};
        quarticRoots(monic, roots);
        for (auto& root : roots)
            root += centre;
        std::sort(roots, roots + 4, [](auto p, auto q) { return p.imag() > q.imag(); });
        auto complex = [](std::complex<double> p) { return p.imag() > 1e-9 * std::abs(p); };
        std::complex<double> halves[2][2];
        if (complex(roots[1])) {  // two conjugate pairs
            halves[0][0] = roots[0], halves[0][1] = std::conj(roots[0]);
            halves[1][0] = roots[1], halves[1][1] = std::conj(roots[1]);
        } else if (complex(roots[0])) {  // a conjugate pair and two real roots
            halves[0][0] = roots[0], halves[0][1] = std::conj(roots[0]);
            halves[1][0] = roots[1].real(), halves[1][1] = roots[2].real();
        } else {  // four real roots, paired by size
            double x[4] = {roots[0].real(), roots[1].real(), roots[2].real(), roots[3].real()};
            std::sort(x, x + 4, [](double p, double q) { return std::abs(p) < std::abs(q); });
            halves[0][0] = x[0], halves[0][1] = x[1], halves[1][0] = x[2], halves[1][1] = x[3];
        }
        const bool firstLower =
            std::abs(halves[0][0] * halves[0][1]) < std::abs(halves[1][0] * halves[1][1]);
        std::copy_n(halves[firstLower == shape.lower ? 0 : 1], 2, own);
    }
    const std::complex<double> z1 = poleAt(own[0]), z2 = poleAt(own[1]);
    if (!(std::abs(z1) < kMaxPoleRadius && std::abs(z2) < kMaxPoleRadius)) return false;
    const double a1 = -(z1 + z2).real(), a2 = (z1 * z2).real();
    // The notch numerator, scaled to the analog section's gain at DC: |1 + a1 + a2| is
    // |(1 - z1)(1 - z2)|, formed from the poles to keep its precision for poles next to DC.
    const double sine = std::sin(0.5 * w0);
    const double k = std::sqrt(section.squaredMagnitude(0.0)) * std::abs((1.0 - z1) * (1.0 - z2)) /
                     (4.0 * sine * sine);
    out = {k, -2.0 * k * std::cos(w0), k, a1, a2};
    return std::isfinite(k) && k > 0.0 && std::abs(a1) < 1.0 + a2;
}

}  // namespace

BiquadCoefficients magnitudeMatchedSection(const BiquadPrototype& section, double w0) noexcept {
    const double scale = section.frequencyScale();
    const BiquadCoefficients fallback =
        bilinearTransform(section, std::tan(0.5 * std::min(w0, kMaxAngularFrequency)));
    if (!(w0 > 0.0) || !std::isfinite(w0) || !(scale > 0.0) || !std::isfinite(scale))
        return fallback;
    BandStopShape bandStop;
    BiquadCoefficients bandStopCoefficients;
    if (describeBandStop(section, bandStop) &&
        bandStopSection(section, bandStop, w0, bandStopCoefficients))
        return bandStopCoefficients;
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
