#pragma once

// Deterministic signal pieces shared by the processor's golden-render and soak suites.

#include <cmath>
#include <cstdint>
#include <numbers>

#include "ProcessorRig.h"

namespace tessel::testing {

/// White noise in -1..1 from xorshift32: the same sequence with every compiler and standard
/// library, which the standard distributions do not promise.
struct WhiteNoise {
    uint32_t state;
    float operator()() noexcept {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return static_cast<float>(static_cast<double>(state) * (2.0 / 4294967296.0) - 1.0);
    }
    float uniform(float low, float high) noexcept {
        return low + (high - low) * 0.5f * ((*this)() + 1.0f);
    }
};

/// One second-order section in double precision (the cookbook low-pass and constant 0 dB peak
/// band-pass), for shaping test signals.
struct Biquad {
    static Biquad lowPass(double hz, double q, double rateHz) {
        const double w = 2.0 * std::numbers::pi * hz / rateHz, alpha = std::sin(w) / (2.0 * q);
        const double c = std::cos(w), a0 = 1.0 + alpha;
        return {(1.0 - c) / 2.0 / a0, (1.0 - c) / a0, (1.0 - c) / 2.0 / a0, -2.0 * c / a0,
                (1.0 - alpha) / a0};
    }
    static Biquad bandPass(double hz, double q, double rateHz) {
        const double w = 2.0 * std::numbers::pi * hz / rateHz, alpha = std::sin(w) / (2.0 * q);
        const double a0 = 1.0 + alpha;
        return {alpha / a0, 0.0, -alpha / a0, -2.0 * std::cos(w) / a0, (1.0 - alpha) / a0};
    }
    float operator()(float x) noexcept {
        const double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1, x1 = x, y2 = y1, y1 = y;
        return static_cast<float>(y);
    }
    double b0, b1, b2, a1, a2;
    double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
};

/// A pitched kick `t` seconds after its start (0 before): a sine gliding from 150 Hz down to
/// 50 Hz within about 50 ms, decaying with a 250 ms time constant. It starts at phase 0, so its
/// onset has no step.
inline float kick(double t) noexcept {
    if (t < 0.0) return 0.0f;
    const double phase = 2.0 * std::numbers::pi * (50.0 * t + 3.0 * (1.0 - std::exp(-t / 0.03)));
    return static_cast<float>(std::exp(-t / 0.25) * std::sin(phase));
}

/// Sets a parameter from a value in its display domain (dB, ratio, %).
inline void setDisplay(ProcessorRig& rig, const AbstractPluginParameter& parameter, float display) {
    rig.set(parameter, parameter.valueFromDisplay(display));
}

}  // namespace tessel::testing
