// Filter design: prototypes vs closed forms, matched designs vs analog, every EQ design stable.

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <limits>
#include <string>

#include "BandsTestRig.h"
#include "bands/AnalogFilterPrototype.h"
#include "bands/EQFilter.h"

namespace tessel {
namespace {

using namespace testing;  // tessel::testing
using Proto = AnalogFilterPrototype;
constexpr double kQ = Proto::kDefaultQ;

// Designs and their squared magnitudes in closed form at the normalised frequency w.
TEST(FilterPrototype, ResponsesFollowTheirClosedForms) {
    const auto check = [](Proto::Shape shape, int32_t order, double gain, double q,
                          const std::function<double(double)>& squared,
                          Proto::Family family = Proto::kButterworth) {
        Proto p;
        p.design(family, shape, order, gain, 1.0, q);
        for (const double w : {1e-5, 0.05, 0.3, 0.9, 1.0, 1.1, 3.0, 20.0, 1e5})
            EXPECT_NEAR(toDb(p.squaredMagnitude(w)), toDb(squared(w)), 1e-6)
                << int(shape) << " " << int(family) << " " << order << " " << q << " " << gain
                << " " << w;
    };
    const auto pw = [](double w, int32_t n) { return std::pow(w, 2 * n); };
    for (const int32_t n : {1, 2, 3, 4, 6, 8}) {  // maximally flat: 1 / (1 + w^2N), and mirrored
        check(Proto::kLowPass, n, 1, kQ, [=](double w) { return 1 / (1 + pw(w, n)); });
        check(Proto::kHighPass, n, 1, kQ, [=](double w) { return 1 / (1 + pw(1 / w, n)); });
    }
    for (const int32_t order : {2, 3, 8, 16}) {  // the band substitution of half the order
        for (const double q : {0.3, 4.0, 40.0}) {
            const int32_t n = (order + (order & 1)) / 2;
            const auto x = [q](double w) { return (w * w - 1.0) * q / w; };
            check(Proto::kBandPass, order, 1, q, [=](double w) { return 1 / (1 + pw(x(w), n)); });
            check(Proto::kBandStop, order, 1, q,
                  [=](double w) { return 1 / (1 + pw(1 / x(w), n)); });
        }
    }
    const double e1 = std::pow(10.0, Proto::kRippleDb / 10.0) - 1.0;  // epsilon^2
    const double e2 = Proto::kChebyshevIIEpsilon * Proto::kChebyshevIIEpsilon;
    for (const int32_t n : {2, 3, 5, 8}) {
        const auto tt = [n](double x) {  // T_N(x)^2, T_N the Chebyshev polynomial
            const double t = x <= 1.0 ? std::cos(n * std::acos(x)) : std::cosh(n * std::acosh(x));
            return t * t;
        };
        check(
            Proto::kLowPass, n, 1, kQ, [=](double w) { return 1 / (1 + e1 * tt(w)); },
            Proto::kChebyshevI);
        check(
            Proto::kLowPass, n, 1, kQ,
            [=](double w) { return e2 * tt(1 / w) / (1 + e2 * tt(1 / w)); }, Proto::kChebyshevII);
    }
    // Gain shapes: (G^2 + w^2N) / (1 + w^2N); centred ones G^2 (1 + w^2N / G) / (1 + w^2N G).
    const auto shelf = [=](double g, int32_t n, double w) {
        return (g * g + pw(w, n)) / (1 + pw(w, n));
    };
    const auto centred = [=](double g, int32_t n, double w) {
        return g * g * (1 + pw(w, n) / g) / (1 + pw(w, n) * g);
    };
    const double g = std::pow(10.0, 12.0 / 20.0), limit = std::pow(10.0, 1.5);
    for (const int32_t n : {1, 2, 3, 8}) {
        check(Proto::kLowShelf, n, g, kQ, [=](double w) { return shelf(g, n, w); });
        check(Proto::kLowShelfCentred, n, g, kQ, [=](double w) { return centred(g, n, w); });
        check(Proto::kHighShelf, n, g, kQ, [=](double w) { return shelf(g, n, 1 / w); });
        check(Proto::kHighShelfCentred, n, g, kQ, [=](double w) { return centred(g, n, 1 / w); });
        check(Proto::kTilt, n, g, kQ, [=](double w) { return centred(g * g, n, 1 / w) / (g * g); });
        check(Proto::kBandGain, 2 * n, g, 3.0,
              [=](double w) { return centred(g, n, (w * w - 1) * 3 / w); });
    }
    // Gains beyond +-30 dB act as +-30 dB, NaN as 0 dB; the all-pass is flat.
    check(Proto::kLowShelf, 2, 1e6, kQ, [=](double w) { return shelf(limit, 2, w); });
    check(Proto::kHighShelf, 2, 0.0, kQ, [=](double w) { return shelf(1 / limit, 2, 1 / w); });
    check(Proto::kLowShelf, 2, std::nan(""), kQ, [](double) { return 1.0; });
    check(Proto::kAllPass, 3, 1, kQ, [](double) { return 1.0; });
}

// The largest f over [low, high]: a log grid, each local maximum refined by golden-section search.
double largest(const std::function<double(double)>& f, double low, double high, int32_t points) {
    const double step = std::log(high / low) / (points - 1);
    const auto at = [&](double t) { return f(std::exp(t)); };
    std::vector<double> v(static_cast<std::size_t>(points));
    for (int32_t i = 0; i < points; ++i)
        v[i] = at(std::log(low) + step * i);
    double best = *std::max_element(v.begin(), v.end());
    for (int32_t i = 1; i + 1 < points; ++i) {
        if (!(v[i] >= v[i - 1] && v[i] >= v[i + 1])) continue;
        double a = std::log(low) + step * (i - 1), b = a + 2.0 * step;
        double c = b - 0.618034 * (b - a), d = a + 0.618034 * (b - a), fc = at(c), fd = at(d);
        for (int32_t k = 0; k < 24; ++k) {
            if (fc > fd) {
                b = d, d = c, fd = fc, c = b - 0.618034 * (b - a), fc = at(c);
            } else {
                a = c, c = d, fc = fd, d = a + 0.618034 * (b - a), fd = at(d);
            }
        }
        best = std::max({best, fc, fd});
    }
    return best;
}

// Composite within 30 dB (2 x small gains at the top); scaled band-pass peaks at Q / 0.7071;
// 12th-order elliptic cuts hold ripple and stop band.
TEST(FilterPrototype, CompositeScaledBandPassAndEllipticCutsKeepTheirLimits) {
    for (const double gainDb : {-30.0, -12.0, 6.0, 30.0}) {
        Proto p;
        p.design(Proto::kButterworth, Proto::kComposite, 2, std::pow(10, gainDb / 20), 1);
        const auto level = [&](double w) { return toDb(p.squaredMagnitude(w)); };
        EXPECT_LE(largest([&](double w) { return std::abs(level(w)); }, 1e-4, 1e4, 200), 30 + 1e-6);
        EXPECT_TRUE(std::abs(gainDb) > 10.0 || std::fabs(level(1e5) - 2.0 * gainDb) < 1e-3);
    }
    for (const double q : {kQ, 2.0, 10.0}) {
        Proto p;
        p.design(Proto::kButterworth, Proto::kBandPassScaled, 4, 1.0, 1.0, q);
        const double peak = largest([&](double w) { return p.squaredMagnitude(w); }, 1e-3, 1e3, 99);
        EXPECT_NEAR(std::sqrt(peak), q / kQ, 1e-3 * q) << q;
    }
    for (const Proto::Shape shape : {Proto::kLowPass, Proto::kHighPass}) {
        Proto e;
        ASSERT_EQ(e.design(Proto::kElliptic, shape, 12, 1.0, 1.0), 6);
        const auto at = [&](double w) {
            return toDb(e.squaredMagnitude(shape == Proto::kLowPass ? w : 1.0 / w));
        };
        for (double w = 1e-3; w <= 1.0; w *= 1.0005)
            ASSERT_TRUE(at(w) >= -Proto::kRippleDb - 1e-6 && at(w) <= 1e-6) << w;
        for (double w = 1.6; w < 1e3; w *= 1.0005)  // 12 poles cut within 0.7 octave
            ASSERT_LE(at(w), -Proto::kEllipticStopBandDb + 1e-3) << w;
        EXPECT_NEAR(at(1.0), -Proto::kRippleDb, 1e-6);
    }
}

// Block and phase evaluation agree with the point evaluation; the all-pass has twice the LP phase.
TEST(FilterPrototype, BlockAndPhaseEvaluationAgreeWithPointEvaluation) {
    Proto p, lp, ap;
    p.design(Proto::kButterworth, Proto::kBandGain, 6, 4.0, 1.0 / 1000.0, 3.0);
    lp.design(Proto::kButterworth, Proto::kLowPass, 3, 1.0, 1.0);
    ap.design(Proto::kButterworth, Proto::kAllPass, 3, 1.0, 1.0);
    std::vector<float> freqs, mags(13, 2.0f), phases(13);
    for (int32_t i = 0; i < 13; ++i)
        freqs.push_back(100.0f * static_cast<float>(i + 1));
    p.multiplySquaredMagnitude(freqs.data(), mags.data(), 13);
    p.phase(freqs.data(), phases.data(), 13);
    for (int32_t i = 0; i < 13; ++i) {
        const double w = freqs[i], m = p.squaredMagnitude(w), lw = w / 1000.0;
        EXPECT_NEAR(mags[i], 2.0 * m, 2e-4 * m);
        EXPECT_NEAR(m, std::norm(p.response(w)), 1e-9 * m);
        EXPECT_NEAR(phases[i], std::arg(p.response(w)), 1e-5);
        EXPECT_NEAR(std::arg(ap.response(lw)), std::arg(std::pow(lp.response(lw), 2.0)), 1e-9);
    }
    lp.setFrequency(2.0);  // a new frequency refreshes the cached form
    EXPECT_NEAR(lp.squaredMagnitude(2.0), 0.5, 1e-12);
}

// Magnitude-matched designs follow the analog response to 0.9 Nyquist above a floor: cuts, bells,
// band-stops (every slope, Q controls -2, 0, 1, 4, centres up to 0.41 of the rate) with the notch
// exact at the centre.
TEST(FilterDesign, MagnitudeMatchedFollowsTheAnalogResponse) {
    // clang-format off
    struct Case { Proto::Shape shape; int32_t order; double gainDb, q; };
    std::vector<Case> cuts = {{Proto::kLowPass, 2, 0.0, 0.3}, {Proto::kLowPass, 2, 0.0, 4.0}};
    std::vector<Case> bells, stops;
    for (const int32_t order : {1, 2, 3, 4, 5, 6, 8}) {
        cuts.push_back({Proto::kLowPass, order, 0.0, kQ});
        cuts.push_back({Proto::kHighPass, order, 0.0, kQ});
    }
    for (const double gainDb : {-30.0, -12.0, 6.0, 30.0})
        for (const double q : {0.5, 2.0, 8.0})
            bells.push_back({Proto::kBandGain, 2, gainDb, q});
    bells.insert(bells.end(), cuts.begin(), cuts.end());
    for (const int32_t slope : {0, 2, 3, 5, 6, 7, 8})  // orders 2, 4, 4, 6, 8, 12, 16
        for (const double qControl : {-2.0, 0.0, 1.0, 4.0})
            stops.push_back({Proto::kBandStop, EQFilter::orderFor(Proto::kBandStop, slopeAt(slope)), 0.0,
                             EQFilter::prototypeQ(qControl)});
    const std::vector<double> cutoffs = {30, 100, 1000, 5000, 10000, 16000, 20000};
    // Band-stop centres are given at 44.1 kHz and keep their share of the rate at the others.
    const struct { const char* name; std::vector<Case> cases; std::vector<double> cutoffs, rates; double floorDb, limitDb; bool relative; } groups[] = {
        {"cuts and bells", bells, cutoffs, {44100, 48000, 96000}, -60.0, 1.0, false},
        {"cut pass bands", cuts, cutoffs, {44100, 48000, 96000}, -6.0, 0.5, false},
        {"band-stops", stops, {30, 300, 2000, 7000, 10000, 14000, 18000}, {44100, 48000, 96000, 192000}, -20.0, 0.9, true}};
    // clang-format on
    for (const auto& group : groups) {
        for (const double fs : group.rates) {
            for (const Case& c : group.cases) {
                for (const double cutoff : group.cutoffs) {
                    const double fc = group.relative ? cutoff * fs / 44100.0 : cutoff;
                    Proto p;
                    const int32_t n = p.design(Proto::kButterworth, c.shape, c.order,
                                               std::pow(10.0, c.gainDb / 20.0), 1.0 / fc, c.q);
                    BiquadCoefficients z[Proto::kMaxSections];
                    p.digitalCoefficients(fc, fs, Proto::CoefficientMethod::kMagnitudeMatched, z);
                    double deviation = 0.0;
                    for (double f = 10.0; f <= 0.45 * fs; f *= 1.01) {
                        const double analogDb = toDb(p.squaredMagnitude(f));
                        const double digitalDb = toDb(digitalSquared(z, n, 2 * kPi * f / fs));
                        if (analogDb > group.floorDb)
                            deviation = std::max(deviation, std::abs(digitalDb - analogDb));
                    }
                    // The band-stop's notch: deep at the centre.
                    const double notchDb = toDb(digitalSquared(z, n, 2 * kPi * fc / fs));
                    EXPECT_TRUE(deviation < group.limitDb &&
                                (c.shape != Proto::kBandStop || notchDb < -120.0))
                        << group.name << " " << int(c.shape) << " " << c.order << " " << c.q << " "
                        << fc << " " << fs << ": " << deviation << " dB, notch " << notchDb;
                }
            }
        }
    }
}

// Every equaliser design peaks within 1 dB of its analog peak, and every section is stable.
TEST(FilterDesign, EveryEqualiserDesignStaysUnderItsAnalogPeakAndIsStable) {
    const float rates[] = {44100.0f, 96000.0f, 192000.0f}, qs[] = {-2.0f, 1.0f, 4.0f};
    const float octaves[] = {4.5f, 9.5f, 13.2f, 14.5f}, gains[] = {-30.0f, 6.0f, 30.0f};
    for (const float rate : rates) {
        Rig rig(kBlock, rate);
        ConstantSource input(&rig.env, 0.0f);
        EQFilter eq(&rig.env);
        eq.setInput(&input);
        std::array<BiquadCoefficients, BiquadProcessor::kMaxSections> last{};
        // Every combination, the gain changing fastest; shapes without gain repeat their design.
        for (int32_t i = 0; i < 13 * 10 * 3 * 3 * 4 * 3; ++i) {
            const int32_t shape = i / 1080, slope = i / 108 % 10, calculation = i / 36 % 3;
            setDesign(eq, shape, slope, calculation);
            eq.q().parameter().setValue(qs[i / 12 % 3], 0.0f);
            eq.frequencyOctaves().parameter().setValue(octaves[i / 3 % 4], 0.0f);
            eq.gainDb().parameter().setValue(gains[i % 3], 0.0f);
            pullCycle(rig.env, 16, {&eq});
            const BiquadCoefficients* c = eq.coefficients();
            if (std::equal(c, c + BiquadProcessor::kMaxSections, last.begin())) continue;
            std::copy(c, c + BiquadProcessor::kMaxSections, last.begin());
            const Proto& p = eq.prototype();
            const double hz = std::exp2(octaves[i / 3 % 4]);
            const double analogMax =
                largest([&](double f) { return p.squaredMagnitude(f); }, 1e-3 * hz, 1e3 * hz, 200);
            const double digitalMax = largest(
                [&](double w) { return digitalSquared(c, p.sectionCount(), w); }, 1e-4, kPi, 200);
            const double overDb = toDb(digitalMax) - toDb(analogMax);
            const bool allStable = std::all_of(c, c + BiquadProcessor::kMaxSections, stable);
            EXPECT_TRUE(overDb <= 1.0 && allStable)
                << "case " << i << " rate " << rate << ": " << overDb << " dB over";
        }
    }
    // Prototypes given anything (NaN, infinities, zero or absurd values) stay stable too.
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    const double badQ[] = {0.0, 1e6, nan}, bad[] = {0.0, 1e9, nan}, hz[] = {-5, 1e9, inf, nan};
    for (int32_t i = 0; i < 4 * 13 * 3 * 3 * 3 * 4 * 2; ++i) {
        Proto p;
        const int32_t n =
            p.design(familyAt(i / 2808), shapeAt(i / 216 % 13), std::array{1, 3, 16}[i / 72 % 3],
                     bad[i / 24 % 3], 1.0, badQ[i / 8 % 3]);
        BiquadCoefficients c[Proto::kMaxSections];
        const auto method = i % 2 ? Proto::CoefficientMethod::kBilinear
                                  : Proto::CoefficientMethod::kMagnitudeMatched;
        ASSERT_EQ(p.digitalCoefficients(hz[i / 2 % 4], 48000.0, method, c), n);
        for (int32_t k = 0; k < n; ++k)
            ASSERT_TRUE(stable(c[k])) << "case " << i << " section " << k;
    }
}

}  // namespace
}  // namespace tessel
