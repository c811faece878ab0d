#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <limits>
#include <numbers>
#include <vector>

#include "bands/AnalogFilterPrototype.h"
#include "bands/BilinearTransform.h"

namespace tessel {
namespace {

using Proto = AnalogFilterPrototype;
constexpr double kPi = std::numbers::pi;

double toDb(double squared) {
    return 10.0 * std::log10(std::max(squared, 1e-30));
}

double digitalSquared(const BiquadCoefficients* c, int32_t count, double w) {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = z1 * z1;
    double m = 1.0;
    for (int32_t i = 0; i < count; ++i) {
        m *= std::norm(c[i].b0 + c[i].b1 * z1 + c[i].b2 * z2) /
             std::norm(1.0 + c[i].a1 * z1 + c[i].a2 * z2);
    }
    return m;
}

// Poles of 1 + a1 z^-1 + a2 z^-2 inside the unit circle (the stability triangle).
bool stable(const BiquadCoefficients& c) {
    return std::abs(c.a2) < 1.0 && std::abs(c.a1) < 1.0 + c.a2;
}

bool finite(const BiquadCoefficients& c) {
    return std::isfinite(c.b0) && std::isfinite(c.b1) && std::isfinite(c.b2) &&
           std::isfinite(c.a1) && std::isfinite(c.a2);
}

TEST(FilterPrototype, ButterworthSectionsHaveTextbookQs) {
    const std::vector<std::vector<double>> expected = {
        {0.70710678},
        {1.0},
        {0.54119610, 1.30656296},
        {0.51763809, 0.70710678, 1.93185165},
        {0.50979558, 0.60134489, 0.89997622, 2.56291545},
    };
    const int32_t orders[] = {2, 3, 4, 6, 8};
    for (size_t o = 0; o < expected.size(); ++o) {
        Proto p;
        const int32_t sections =
            p.design(Proto::kButterworth, Proto::kLowPass, orders[o], 1.0, 1.0);
        ASSERT_EQ(sections, (orders[o] + 1) / 2);
        std::vector<double> qs;
        for (int32_t i = 0; i < sections; ++i) {
            const BiquadPrototype& s = p.section(i);
            if (s.order() == 2) qs.push_back(std::sqrt(s.d0() * s.d2()) / s.d1());
        }
        std::sort(qs.begin(), qs.end());
        ASSERT_EQ(qs.size(), expected[o].size());
        for (size_t i = 0; i < qs.size(); ++i)
            EXPECT_NEAR(qs[i], expected[o][i], 1e-7);
        // Maximally flat: |H|^2 = 1 / (1 + w^2N) everywhere.
        for (double w : {0.1, 0.5, 1.0, 2.0, 10.0}) {
            EXPECT_NEAR(toDb(p.squaredMagnitude(w)), toDb(1.0 / (1.0 + std::pow(w, 2 * orders[o]))),
                        1e-9);
        }
    }
}

TEST(FilterPrototype, BandShapesFollowTheBandSubstitutionOfButterworth) {
    for (int32_t order : {2, 3, 4, 8, 16}) {
        for (double q : {0.3, 0.70710678, 4.0, 40.0}) {
            SCOPED_TRACE(::testing::Message() << "order " << order << " q " << q);
            const int32_t n = (order + (order & 1)) / 2;  // prototype order
            const double b = 1.0 / q;
            Proto bp, bs;
            const int32_t sections =
                bp.design(Proto::kButterworth, Proto::kBandPass, order, 1.0, 1.0, q);
            EXPECT_EQ(sections, 2 * (n / 2) + (n % 2));
            EXPECT_EQ(bp.order(), 2 * n);
            bs.design(Proto::kButterworth, Proto::kBandStop, order, 1.0, 1.0, q);
            for (double w : {0.05, 0.3, 0.9, 1.0, 1.1, 3.0, 20.0}) {
                const double x = (w * w - 1.0) / (b * w);
                EXPECT_NEAR(toDb(bp.squaredMagnitude(w)), toDb(1.0 / (1.0 + std::pow(x, 2 * n))),
                            1e-6);
                EXPECT_NEAR(toDb(bs.squaredMagnitude(w)),
                            toDb(1.0 / (1.0 + std::pow(1.0 / x, 2 * n))), 1e-6);
            }
        }
    }
}

TEST(FilterPrototype, GainShapesReachTheirGainAtTheFarEnd) {
    const double g = std::pow(10.0, 12.0 / 20.0);
    struct Case {
        int32_t shape;
        double low, high;  // expected linear gains far below and far above the frequency
    };
    const Case cases[] = {{Proto::kLowShelf, g, 1.0},  {Proto::kLowShelfCentred, g, 1.0},
                          {Proto::kHighShelf, 1.0, g}, {Proto::kHighShelfCentred, 1.0, g},
                          {Proto::kTilt, 1.0 / g, g},  {Proto::kBandGain, 1.0, 1.0}};
    for (const Case& c : cases) {
        for (int32_t order : {1, 2, 3, 4, 8}) {
            SCOPED_TRACE(::testing::Message() << "shape " << c.shape << " order " << order);
            Proto p;
            p.design(Proto::kButterworth, c.shape, order, g, 1.0);
            EXPECT_NEAR(std::sqrt(p.squaredMagnitude(1e-5)), c.low, 1e-3 * c.low);
            EXPECT_NEAR(std::sqrt(p.squaredMagnitude(1e5)), c.high, 1e-3 * c.high);
            if (c.shape == Proto::kLowShelfCentred || c.shape == Proto::kHighShelfCentred) {
                EXPECT_NEAR(toDb(p.squaredMagnitude(1.0)), 6.0, 1e-6);  // centred: half the gain
            }
            if (c.shape == Proto::kBandGain) {
                EXPECT_NEAR(toDb(p.squaredMagnitude(1.0)), 12.0, 1e-6);
            }
        }
    }
    // Beyond +-30 dB a gain acts as +-30 dB; NaN as unity.
    Proto p;
    p.design(Proto::kButterworth, Proto::kLowShelf, 2, 1e6, 1.0);
    EXPECT_NEAR(toDb(p.squaredMagnitude(1e-5)), 30.0, 1e-3);
    p.design(Proto::kButterworth, Proto::kHighShelf, 2, 0.0, 1.0);
    EXPECT_NEAR(toDb(p.squaredMagnitude(1e5)), -30.0, 1e-3);
    p.design(Proto::kButterworth, Proto::kLowShelf, 2, std::nan(""), 1.0);
    EXPECT_NEAR(toDb(p.squaredMagnitude(1e-5)), 0.0, 1e-6);
}

TEST(FilterPrototype, CompositeStaysWithinThirtyDecibels) {
    for (double gainDb : {-30.0, -12.0, 6.0, 30.0}) {
        Proto p;
        ASSERT_EQ(
            p.design(Proto::kButterworth, Proto::kComposite, 2, std::pow(10.0, gainDb / 20.0), 1.0),
            3);
        double peakDb = 0.0;
        for (double w = 1e-4; w < 1e4; w *= 1.05) {
            peakDb = std::max(peakDb, std::abs(toDb(p.squaredMagnitude(w))));
        }
        EXPECT_LE(peakDb, 30.0 + 1e-6) << gainDb;
        // Small gains pass unlimited: the high end gets tilt plus high shelf, 2 x gain.
        if (std::abs(gainDb) <= 10.0) {
            EXPECT_NEAR(toDb(p.squaredMagnitude(1e5)), 2.0 * gainDb, 1e-3);
        }
    }
}

TEST(FilterPrototype, ScaledBandPassPeakGrowsWithQ) {
    for (double q : {0.70710678, 2.0, 10.0}) {
        Proto p;
        p.design(Proto::kButterworth, Proto::kBandPassScaled, 4, 1.0, 1.0, q);
        double peak = 0.0;
        for (double w = 1e-3; w < 1e3; w *= 1.001)
            peak = std::max(peak, p.squaredMagnitude(w));
        EXPECT_NEAR(std::sqrt(peak), q / 0.70710678, 1e-3 * q) << q;
    }
}

TEST(FilterPrototype, AllPassIsFlatWithTheLowPassPhaseDoubled) {
    Proto ap, lp;
    ap.design(Proto::kButterworth, Proto::kAllPass, 3, 1.0, 1.0);
    lp.design(Proto::kButterworth, Proto::kLowPass, 3, 1.0, 1.0);
    for (double w : {0.1, 0.7, 1.0, 3.0}) {
        EXPECT_NEAR(ap.squaredMagnitude(w), 1.0, 1e-12);
        EXPECT_NEAR(std::arg(ap.response(w)), std::arg(std::pow(lp.response(w), 2.0)), 1e-9);
    }
}

TEST(FilterPrototype, ChebyshevAndEllipticMeetRippleAndStopBand) {
    const double eps = std::sqrt(std::pow(10.0, Proto::kRippleDb / 10.0) - 1.0);
    for (int32_t order : {2, 3, 5, 8}) {
        Proto c1, c2;
        c1.design(Proto::kChebyshevI, Proto::kLowPass, order, 1.0, 1.0);
        c2.design(Proto::kChebyshevII, Proto::kLowPass, order, 1.0, 1.0);
        for (double w : {0.1, 0.5, 0.99, 1.0, 1.5, 4.0}) {
            SCOPED_TRACE(::testing::Message() << "order " << order << " w " << w);
            // |T_N(x)| = cosh(N acosh x) beyond 1, cos(N acos x) inside.
            auto t = [&](double x) {
                return x <= 1.0 ? std::cos(order * std::acos(x)) : std::cosh(order * std::acosh(x));
            };
            EXPECT_NEAR(toDb(c1.squaredMagnitude(w)), toDb(1.0 / (1.0 + eps * eps * t(w) * t(w))),
                        1e-6);
            const double e2 = Proto::kChebyshevIIEpsilon * Proto::kChebyshevIIEpsilon;
            const double tt = t(1.0 / w) * t(1.0 / w);
            EXPECT_NEAR(toDb(c2.squaredMagnitude(w)), toDb(e2 * tt / (1.0 + e2 * tt)), 1e-6);
        }
    }
    // Slope 9 on the cut shapes: 12th-order elliptic, 6 sections, both directions.
    for (int32_t shape : {Proto::kLowPass, Proto::kHighPass}) {
        Proto e;
        ASSERT_EQ(e.design(Proto::kElliptic, shape, 12, 1.0, 1.0), 6);
        auto at = [&](double w) { return shape == Proto::kLowPass ? w : 1.0 / w; };
        double passMin = 0.0, passMax = -1e9, stopEdge = 0.0, stopMax = -1e9;
        for (double w = 1e-3; w <= 1.0; w *= 1.0005) {
            passMin = std::min(passMin, toDb(e.squaredMagnitude(at(w))));
            passMax = std::max(passMax, toDb(e.squaredMagnitude(at(w))));
        }
        for (double w = 1.0; w < 1e3; w *= 1.0005) {
            const double db = toDb(e.squaredMagnitude(at(w)));
            if (stopEdge == 0.0 && db <= -Proto::kEllipticStopBandDb + 1e-6) stopEdge = w;
            if (stopEdge != 0.0) stopMax = std::max(stopMax, db);
        }
        EXPECT_GE(passMin, -Proto::kRippleDb - 1e-6);
        EXPECT_LE(passMax, 1e-6);
        EXPECT_NEAR(toDb(e.squaredMagnitude(1.0)), -Proto::kRippleDb, 1e-6);
        EXPECT_LE(stopMax, -Proto::kEllipticStopBandDb + 1e-3);
        EXPECT_GT(stopEdge, 1.0);
        EXPECT_LT(stopEdge, 1.6);  // transition band: 12 poles buy a steep cut
        std::printf("elliptic shape %d: stop band from w = %.4f, ripple %.4f dB\n", shape, stopEdge,
                    passMax - passMin);
    }
}

TEST(FilterPrototype, BlockEvaluationAgreesWithPointEvaluation) {
    Proto p;
    p.design(Proto::kButterworth, Proto::kBandGain, 6, 4.0, 1.0 / 1000.0, 3.0);
    std::vector<float> freqs, mags, phases(13);
    for (int32_t i = 0; i < 13; ++i)
        freqs.push_back(100.0f * static_cast<float>(i + 1));
    mags.assign(13, 2.0f);
    p.multiplySquaredMagnitude(freqs.data(), mags.data(), 13);  // 3 groups of 4 and a tail
    p.phase(freqs.data(), phases.data(), 13);
    for (int32_t i = 0; i < 13; ++i) {
        const double w = freqs[i];
        EXPECT_NEAR(mags[i], 2.0 * p.squaredMagnitude(w), 1e-4 * 2.0 * p.squaredMagnitude(w));
        EXPECT_NEAR(p.squaredMagnitude(w), std::norm(p.response(w)), 1e-9 * p.squaredMagnitude(w));
        EXPECT_NEAR(phases[i], std::arg(p.response(w)), 1e-5);
        EXPECT_LE(std::abs(phases[i]), kPi);
    }
    // First-order low-pass: phase -atan(w / wc); moving the frequency refreshes the cache.
    Proto lp;
    lp.design(Proto::kButterworth, Proto::kLowPass, 1, 1.0, 1.0 / 100.0);
    float f = 100.0f, ph = 0.0f;
    lp.phase(&f, &ph, 1);
    EXPECT_NEAR(ph, -kPi / 4.0, 1e-6);
    EXPECT_NEAR(lp.squaredMagnitude(200.0), 0.2, 1e-12);
    lp.setFrequency(200.0);
    EXPECT_NEAR(lp.squaredMagnitude(200.0), 0.5, 1e-12);
}

// The bilinear transform maps digital w to analog tan(w / 2) / K: at the prewarped frequency the
// digital magnitude equals the analog one exactly, and so everywhere under that mapping.
TEST(FilterDesign, BilinearMatchesAnalogAtPrewarpedFrequencies) {
    const double fs = 48000.0;
    struct Case {
        int32_t family, shape, order;
        double gain, q;
    };
    const Case cases[] = {{Proto::kButterworth, Proto::kLowPass, 4, 1.0, 0.70710678},
                          {Proto::kButterworth, Proto::kHighPass, 3, 1.0, 2.0},
                          {Proto::kButterworth, Proto::kBandGain, 4, 3.0, 5.0},
                          {Proto::kButterworth, Proto::kBandStop, 6, 1.0, 1.0},
                          {Proto::kChebyshevII, Proto::kLowPass, 5, 1.0, 0.70710678},
                          {Proto::kElliptic, Proto::kLowPass, 12, 1.0, 1.0},
                          {Proto::kElliptic, Proto::kHighPass, 12, 1.0, 1.0}};
    for (const Case& c : cases) {
        for (double fc : {50.0, 1000.0, 15000.0}) {
            SCOPED_TRACE(::testing::Message()
                         << "shape " << c.shape << " family " << c.family << " fc " << fc);
            Proto p;
            const int32_t n = p.design(c.family, c.shape, c.order, c.gain, 1.0, c.q);
            BiquadCoefficients coeffs[Proto::kMaxSections];
            p.digitalCoefficients(fc, fs, Proto::CoefficientMethod::kBilinear, coeffs);
            const double k = prewarpedTangent(fc, fs);
            const double wc = 2.0 * kPi * fc / fs;
            EXPECT_NEAR(toDb(digitalSquared(coeffs, n, wc)), toDb(p.squaredMagnitude(1.0)), 1e-6);
            for (double w = 0.01; w < 3.1; w *= 1.3) {
                const double analog = p.squaredMagnitude(std::tan(0.5 * w) / k);
                if (toDb(analog) < -100.0) continue;
                EXPECT_NEAR(toDb(digitalSquared(coeffs, n, w)), toDb(analog), 1e-5) << w;
            }
        }
    }
}

struct MatchCase {
    int32_t shape, order;
    double gainDb, q;
};

struct Worst {
    double deviationDb = 0.0;
    MatchCase c{};
    double fc = 0.0, fs = 0.0, f = 0.0;
};

// Largest |digital - analog| in dB of the magnitude-matched design over 20 Hz .. 0.9 Nyquist at
// 44.1, 48 and 96 kHz, counted where the analog gain is above floorDb.
Worst matchedDeviation(const std::vector<MatchCase>& cases, const std::vector<double>& cutoffs,
                       double floorDb) {
    Worst worst;
    for (double fs : {44100.0, 48000.0, 96000.0}) {
        for (const MatchCase& c : cases) {
            for (double fc : cutoffs) {
                Proto p;
                const int32_t n = p.design(Proto::kButterworth, c.shape, c.order,
                                           std::pow(10.0, c.gainDb / 20.0), 1.0 / fc, c.q);
                BiquadCoefficients coeffs[Proto::kMaxSections];
                p.digitalCoefficients(fc, fs, Proto::CoefficientMethod::kMagnitudeMatched, coeffs);
                for (double f = 20.0; f <= 0.45 * fs; f *= 1.01) {
                    const double analogDb = toDb(p.squaredMagnitude(f));
                    if (analogDb <= floorDb) continue;
                    const double dev =
                        std::abs(toDb(digitalSquared(coeffs, n, 2.0 * kPi * f / fs)) - analogDb);
                    if (dev > worst.deviationDb) worst = {dev, c, fc, fs, f};
                }
            }
        }
    }
    std::printf(
        "matched design, analog above %.0f dB: worst deviation %.3f dB (shape %d order %d "
        "gain %.1f dB q %.2f, fc %.0f Hz, fs %.0f Hz, at %.0f Hz)\n",
        floorDb, worst.deviationDb, worst.c.shape, worst.c.order, worst.c.gainDb, worst.c.q,
        worst.fc, worst.fs, worst.f);
    return worst;
}

std::vector<MatchCase> cutCases() {
    std::vector<MatchCase> cases;
    for (int32_t order : {1, 2, 3, 4, 5, 6, 8}) {  // 6 .. 48 dB/oct
        cases.push_back({Proto::kLowPass, order, 0.0, 0.70710678});
        cases.push_back({Proto::kHighPass, order, 0.0, 0.70710678});
    }
    for (double q : {0.3, 4.0})
        cases.push_back({Proto::kLowPass, 2, 0.0, q});
    return cases;
}

std::vector<MatchCase> bellCases() {
    std::vector<MatchCase> cases;
    for (double gainDb : {-30.0, -12.0, 6.0, 30.0}) {
        for (double q : {0.5, 2.0, 8.0})
            cases.push_back({Proto::kBandGain, 2, gainDb, q});
    }
    return cases;
}

// Wherever the analog gain is above -60 dB, from 20 Hz to 0.9 Nyquist, cut-offs up to 20 kHz:
// cuts at 6 to 48 dB/oct (and the 12 dB/oct low-pass at low and high Q) and bells at +-30 dB.
TEST(FilterDesign, MagnitudeMatchedWithinOneDecibelDownToMinus60) {
    const std::vector<double> cutoffs = {30.0, 100.0, 1000.0, 5000.0, 10000.0, 16000.0, 20000.0};
    std::vector<MatchCase> cases = cutCases();
    for (const MatchCase& c : bellCases())
        cases.push_back(c);
    EXPECT_LT(matchedDeviation(cases, cutoffs, -60.0).deviationDb, 1.0);
    // Pass bands and corners are much closer than that.
    EXPECT_LT(matchedDeviation(cutCases(), cutoffs, -6.0).deviationDb, 0.5);
}

TEST(FilterDesign, EverySectionIsStableAndFiniteForAnySetting) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double freqs[] = {0.0,     1.0,     20.0, 1000.0, 23999.0, 24000.0,
                            30000.0, 96000.0, 1e9,  inf,    nan,     -5.0};
    const double qs[] = {0.0, 0.025, 0.1, 0.70710678, 10.0, 40.0, 1e6, nan};
    const double gains[] = {1.0, 0.0316, 31.6, 1e-9, 1e9, nan};
    int32_t checked = 0;
    for (int32_t family = 0; family <= 3; ++family) {
        for (int32_t shape = 0; shape <= 12; ++shape) {
            for (int32_t order : {1, 2, 3, 6, 12, 16}) {
                for (double q : qs) {
                    for (double gain : gains) {
                        Proto p;
                        const int32_t n = p.design(family, shape, order, gain, 1.0, q);
                        for (double f : freqs) {
                            for (auto m : {Proto::CoefficientMethod::kBilinear,
                                           Proto::CoefficientMethod::kMagnitudeMatched}) {
                                BiquadCoefficients c[Proto::kMaxSections];
                                ASSERT_EQ(p.digitalCoefficients(f, 48000.0, m, c), n);
                                for (int32_t i = 0; i < n; ++i) {
                                    ASSERT_TRUE(finite(c[i]) && stable(c[i]))
                                        << "family " << family << " shape " << shape << " order "
                                        << order << " q " << q << " gain " << gain << " f " << f
                                        << " section " << i << " a1 " << c[i].a1 << " a2 "
                                        << c[i].a2;
                                }
                                ++checked;
                            }
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(checked, 10000);
}

}  // namespace
}  // namespace tessel
