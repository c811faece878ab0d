#pragma once

#include <cmath>
#include <cstdint>

#include "support/Tolerance.h"

namespace tessel {

/// The one rule by which the biquad filters (equaliser bands, crossovers, shelving stages)
/// follow controls that move inside a block, so that a sweep never costs a design per sample
/// and a jump is never heard late:
///  - a block in which every control is constant costs at most one design, at its start, and
///    only when a control differs from the design's value by more than the float tolerance;
///  - otherwise the block is walked on a grid of `step` samples (4 for the filters that follow
///    their controls closely): where a frequency jumped by more than 0.1 octave the filter is
///    redesigned at once; where a control merely moved, at most every 32 samples.
/// Before each redesign the samples since the previous one are pushed with the coefficients
/// they were filtered with. Pure control flow: no state, no allocation. [audio thread]
struct CoefficientRefreshSchedule {
    enum class Movement : int32_t {
        kNone = 0,    ///< within the float tolerance of the design
        kMoved = 1,   ///< follow on the 32-sample grid
        kJumped = 2,  ///< redesign at once
    };

    static constexpr int32_t kStep = 4;
    static constexpr int32_t kSteadyInterval = 32;
    static constexpr float kJumpOctaves = 0.1f;

    /// How a frequency (octave value) stands against the designed one. A NaN counts as a jump,
    /// so that a design never waits on it.
    static Movement frequencyMovement(float nowOctaves, float designedOctaves) noexcept {
        const float d = std::fabs(nowOctaves - designedOctaves);
        if (!(d <= kJumpOctaves)) return Movement::kJumped;
        return d > kFloatTolerance ? Movement::kMoved : Movement::kNone;
    }
    /// How any other control stands against its designed value.
    static Movement valueMovement(float now, float designed) noexcept {
        return nearlyEqual(now, designed) ? Movement::kNone : Movement::kMoved;
    }
    /// The stronger of two movements.
    static Movement either(Movement a, Movement b) noexcept { return a > b ? a : b; }

    /// Walks a block of `frames` samples whose first sample is sample `position` of the
    /// stream. inspect(i) says how the controls at sample i stand against the current design;
    /// design(i) redesigns for them; push(n) sends the next n samples with the current
    /// coefficients. `constant`: every control is constant over the block, so only sample 0 is
    /// inspected. Inspections and redesigns fall on grids of the stream's samples (every `step`,
    /// and every kSteadyInterval for a move), never of the block's, so the coefficients change
    /// at the same samples however the host cuts the stream into blocks. A filter whose design
    /// is not valid yet designs before walking.
    template <typename Inspect, typename Design, typename Push>
    static void walk(int32_t frames, bool constant, int32_t step, int64_t position,
                     Inspect&& inspect, Design&& design, Push&& push) noexcept {
        if (frames <= 0) return;
        const auto untilGrid = [&](int32_t interval) {
            return static_cast<int32_t>((interval - position % interval) % interval);
        };
        if (constant) {
            const Movement m = inspect(0);
            // Where the walk below would have redesigned for this value.
            const int32_t at = m == Movement::kNone     ? frames
                               : m == Movement::kJumped ? untilGrid(step)
                                                        : untilGrid(kSteadyInterval);
            if (at >= frames) {
                push(frames);
                return;
            }
            push(at);
            design(at);
            push(frames - at);
            return;
        }
        int32_t runStart = 0;
        for (int32_t i = untilGrid(step); i < frames; i += step) {
            const Movement m = inspect(i);
            if (m == Movement::kNone ||
                (m == Movement::kMoved && (position + i) % kSteadyInterval != 0))
                continue;
            push(i - runStart);
            runStart = i;
            design(i);
        }
        push(frames - runStart);
    }
};

}  // namespace tessel
