#include "params/ParameterTapers.h"

#include <cmath>
#include <cstddef>
#include <span>

namespace tessel {

namespace {

struct Point {
    double x;
    double y;
};

// Piecewise linear through ascending points; below the first x gives the first y, above the
// last x the last y. `inverse` reads the table with the columns swapped.
double interpolate(std::span<const Point> table, double in, bool inverse) {
    const auto inOf = [inverse](const Point& p) { return inverse ? p.y : p.x; };
    const auto outOf = [inverse](const Point& p) { return inverse ? p.x : p.y; };
    if (std::isnan(in) || in <= inOf(table.front())) return outOf(table.front());
    for (std::size_t i = 1; i < table.size(); ++i) {
        const Point& a = table[i - 1];
        const Point& b = table[i];
        if (in <= inOf(b)) {
            const double t = (in - inOf(a)) / (inOf(b) - inOf(a));
            return outOf(a) + t * (outOf(b) - outOf(a));
        }
    }
    return outOf(table.back());
}

constexpr Point kThresholdTable[] = {{0.0, 0.0}, {0.1, 0.2}, {0.2, 0.4666667}, {1.0, 1.0}};

constexpr Point kSlopeTable[] = {{0.0, 6.0}, {0.25, 12.0}, {0.5, 24.0}, {1.0, 48.0}};

constexpr Point kRatioTable[] = {{0.0, 0.0},      {0.1, 0.00101},  {0.2, 0.002525}, {0.3, 0.005051},
                                 {0.4, 0.010101}, {0.5, 0.017677}, {0.6, 0.030303}, {0.7, 0.050505},
                                 {0.8, 0.070707}, {0.9, 0.090909}, {1.0, 1.0}};

// Bends the part of the ratio span above 10:1.
constexpr Point kRatioBendTable[] = {{0.0, 0.0},  {0.1, 0.002}, {0.25, 0.05}, {0.5, 0.16},
                                     {0.7, 0.36}, {0.9, 0.91},  {1.0, 1.0}};

constexpr double kRatioBendStart = 1.0 / 11.0;  // ratio 10 within the 1..100 span
constexpr double kRatioBendScale = 0.9090909;   // 1 - 1/11

// Gain taper: -21.6 dB at u = 0.2 (value -0.6), 72 dB per unit of u above it.
constexpr double kGainKneeDb = -21.6;
constexpr double kGainKneeLinear = 0.083176374;  // 10^(-21.6 / 20)

}  // namespace

float thresholdTaper(float value) {
    return static_cast<float>(interpolate(kThresholdTable, value, false));
}

float thresholdTaperInverse(float position) {
    return static_cast<float>(interpolate(kThresholdTable, position, true));
}

float slopeTaperDbPerOctave(float value) {
    return static_cast<float>(interpolate(kSlopeTable, value, false));
}

float slopeTaperInverse(float slopeDbPerOctave) {
    return static_cast<float>(interpolate(kSlopeTable, slopeDbPerOctave, true));
}

float ratioTaper(float value) {
    double x = interpolate(kRatioTable, value, false);
    if (x > kRatioBendStart) {
        const double u = (x - kRatioBendStart) * 1.1;
        const double w = interpolate(kRatioBendTable, std::fabs(u), false);
        x = std::copysign(w, u) * kRatioBendScale + kRatioBendStart;
    }
    return static_cast<float>(x);
}

float ratioTaperInverse(float position) {
    double x = position;
    if (x > kRatioBendStart) {
        const double w = (x - kRatioBendStart) / kRatioBendScale;
        const double u = std::copysign(interpolate(kRatioBendTable, std::fabs(w), true), w);
        x = u / 1.1 + kRatioBendStart;
    }
    return static_cast<float>(interpolate(kRatioTable, x, true));
}

float gainTaper(float value) {
    if (std::isnan(value)) return 0.0f;
    const double u = (static_cast<double>(value) + 1.0) * 0.5;
    if (u <= 0.0) return 0.0f;
    if (u >= 0.2)
        return static_cast<float>(std::pow(10.0, ((u - 0.2) * 72.0 + kGainKneeDb) / 20.0));
    return static_cast<float>(25.0 * u * u * kGainKneeLinear);
}

float gainTaperInverse(float gainLinear) {
    if (!(gainLinear > 0.0f)) return -1.0f;  // silence, a negative gain or NaN
    const double g = gainLinear;
    if (g >= kGainKneeLinear)
        return static_cast<float>((20.0 * std::log10(g) - kGainKneeDb) / 36.0 + 0.4 - 1.0);
    return static_cast<float>(std::sqrt(g / kGainKneeLinear) * 0.4 - 1.0);
}

float levelDbToGain(float levelDb) {
    if (std::isnan(levelDb)) return 0.0f;
    return static_cast<float>(std::pow(10.0, static_cast<double>(levelDb) / 20.0));
}

float gainToLevelDb(float gainLinear) {
    if (!(gainLinear > 1e-10f)) return -180.0f;
    return static_cast<float>(
        std::fmax(-180.0, 20.0 * std::log10(static_cast<double>(gainLinear))));
}

}  // namespace tessel
