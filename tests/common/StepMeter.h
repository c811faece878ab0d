#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tessel::testing {

/// Click meter: the largest step between consecutive samples and the largest magnitude of a
/// signal fed in pieces; a non-finite sample makes both readings infinite.
struct StepMeter {
    void add(float x) {
        const double v = std::isfinite(x) ? x : std::numeric_limits<double>::infinity();
        if (started) largestStep = std::max(largestStep, std::fabs(v - previous));
        peak = std::max(peak, std::fabs(v));
        previous = v;
        started = true;
    }
    void add(const float* x, int32_t n) {
        for (int32_t i = 0; i < n; ++i)
            add(x[i]);
    }

    double largestStep = 0.0;
    double peak = 0.0;
    double previous = 0.0;
    bool started = false;
};

}  // namespace tessel::testing
