#pragma once

// The band tests' rig: a 48 kHz environment, signals, rendering, and frequency responses.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "bands/AnalogFilterPrototype.h"
#include "bands/BiquadCoefficients.h"
#include "bands/EQFilter.h"
#include "bands/FloatingMultiBandModel.h"
#include "common/GraphRig.h"
#include "common/Spectrum.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Producer.h"

namespace tessel::testing {

inline constexpr float kSampleRate = 48000.0f;
inline constexpr int32_t kBlock = 256;
inline constexpr double kPi = std::numbers::pi;

// Tables walk the design space by number; these name the numbers' types.
inline AnalogFilterPrototype::Family familyAt(int32_t i) {
    return static_cast<AnalogFilterPrototype::Family>(i);
}
inline AnalogFilterPrototype::Shape shapeAt(int32_t i) {
    return static_cast<AnalogFilterPrototype::Shape>(i);
}
inline EQFilter::Slope slopeAt(int32_t i) {
    return static_cast<EQFilter::Slope>(i);
}
inline void setDesign(EQFilter& eq, int32_t shape, int32_t slope, int32_t calculation) {
    eq.shape() = shapeAt(shape);
    eq.slope() = slopeAt(slope);
    eq.coefficientCalculation() = static_cast<EQFilter::CoefficientCalculation>(calculation);
}

using Rig = GraphRig;

/// A sine at hz, one period of `period` samples.
inline std::vector<float> sine(double hz, int32_t period) {
    std::vector<float> v(static_cast<std::size_t>(period));
    for (int32_t n = 0; n < period; ++n)
        v[n] = static_cast<float>(std::sin(2.0 * kPi * hz * n / kSampleRate));
    return v;
}

/// Uniform noise in [-1, 1].
inline std::vector<float> noise(std::mt19937& rng, int32_t frames) {
    std::uniform_real_distribution<float> d(-1.0f, 1.0f);
    std::vector<float> v(static_cast<std::size_t>(frames));
    for (float& x : v)
        x = d(rng);
    return v;
}

/// Hard jumps: each value uniform in [low, high], held for 1 to maxHold samples.
inline std::vector<float> jumps(std::mt19937& rng, int32_t length, float low, float high,
                                int32_t maxHold) {
    std::uniform_real_distribution<float> value(low, high);
    std::uniform_int_distribution<int32_t> hold(1, maxHold);
    std::vector<float> v;
    while (static_cast<int32_t>(v.size()) < length)
        v.insert(v.end(), static_cast<std::size_t>(hold(rng)), value(rng));
    v.resize(static_cast<std::size_t>(length));
    return v;
}

/// The outputs of the nodes over `samples` samples (whole blocks), all pulled in the same cycles.
inline std::vector<std::vector<double>> render(Rig& rig, const std::vector<wave::Producer*>& nodes,
                                               int32_t samples) {
    std::vector<std::vector<double>> out(nodes.size());
    for (int32_t done = 0; done < samples; done += kBlock) {
        rig.env.beginCycle();
        for (std::size_t i = 0; i < nodes.size(); ++i) {
            const float* d = nodes[i]->pull(kBlock)->data();
            out[i].insert(out[i].end(), d, d + kBlock);
        }
        rig.env.advance(kBlock, 0);
    }
    return out;
}

/// Response of the impulse response h at frequencyHz, at the rig's rate.
inline std::complex<double> responseAt(const std::vector<double>& h, double frequencyHz) {
    return responseAt(h, frequencyHz, kSampleRate);
}
inline constexpr auto toDb = [](double squared) { return 10.0 * std::log10(squared + 1e-300); };

/// |H|^2 of a direct-form cascade at w rad/sample, as sums of squares (poles near |z| = 1).
inline double digitalSquared(const BiquadCoefficients* c, int32_t count, double w) {
    const double c1 = std::cos(w), s1 = std::sin(w), c2 = 2.0 * c1 * c1 - 1.0, s2 = 2.0 * s1 * c1;
    const auto norm = [&](double x0, double x1, double x2) {
        const double re = x0 + x1 * c1 + x2 * c2, im = x1 * s1 + x2 * s2;
        return re * re + im * im;
    };
    double m = 1.0;
    for (int32_t k = 0; k < count; ++k)
        m *= norm(c[k].b0, c[k].b1, c[k].b2) / norm(1.0, c[k].a1, c[k].a2);
    return m;
}

/// Finite, with both poles inside the unit circle (the stability triangle).
inline constexpr auto stable = [](const BiquadCoefficients& c) {
    return std::isfinite(c.b0 + c.b1 + c.b2) && std::abs(c.a2) < 1.0 && std::abs(c.a1) < 1.0 + c.a2;
};

/// 1..6 random user bands, or six of 1.2 octaves 1.6 apart (gaps: 13 model bands).
inline void randomLayout(FloatingMultiBandModel& layout, std::mt19937& rng, bool sixWithGaps) {
    using Model = FloatingMultiBandModel;
    UpdatedObject::ScopedHold hold(layout);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int used = sixWithGaps ? 6 : 1 + static_cast<int>(rng() % 6);
    const float span = Model::kHighestFrequencyOctaves - Model::kLowestFrequencyOctaves;
    for (int b = 0; b < Model::kBandCount; ++b) {
        Model::Band& band = layout.band(b);
        band.used() = b < used;
        const float low = sixWithGaps
                              ? Model::kLowestFrequencyOctaves + 0.5f + 1.6f * b + 0.1f * unit(rng)
                              : Model::kLowestFrequencyOctaves + span * unit(rng);
        band.setRange(low, low + (sixWithGaps ? 1.2f : 0.3f + 3.0f * unit(rng)));
        band.lowSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
        band.highSlopeDbPerOctave() = 1.0f + 47.0f * unit(rng);
    }
}

}  // namespace tessel::testing
