#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dynamics/FunctionTableFunction.h"
#include "engine/FloatParameter.h"
#include "engine/FloatParameterBus.h"
#include "engine/wave/Filter.h"
#include "support/SharedResource.h"

namespace tessel {

/// A program-dependent attack/release envelope follower in double precision. Attack time (s) is
/// used while the input is at or above the state, release time (s) while it is below; the time is
/// the time to cover 90 % of a step. Release shape < 1 makes the release time grow with the size
/// of the drop (dB); release dependency adds time for small drops through the shared exponential
/// table. A NaN input sample holds the envelope; infinities count as +-FLT_MAX, so the state stays
/// finite. Audio thread only; `filter` never allocates, locks or throws. Construction and
/// destruction take the process-wide lock of the shared table [main thread].
class Capacitor : public wave::Filter {
public:
    /// The natural exponential over [-25, 0] as a table of 8192 + 1 doubles with linear
    /// interpolation, shared by every Capacitor of the process through a SharedResource: the
    /// first envelope creates it, the last one destroys it. Reading it (`lookup`) is lock-free
    /// and allocation-free [any thread].
    class Style {
    public:
        /// x -> e^x, the function the table is filled from.
        class ExpFunction : public FunctionTableFunction {
        public:
            double evaluate(double x) const override;
        };

        static constexpr int32_t kSize = 8192;
        static constexpr double kLowerBound = -25.0;

        /// Number of envelopes sharing the table now. [any thread, locking]
        static int32_t userCount();

        /// Interpolated e^x; x is clamped to [-25, 0] (NaN counts as -25).
        double lookup(double x) const noexcept;

        explicit Style(const FunctionTableFunction& function);
        /// The exponential table (what the shared instance is).
        Style() : Style(ExpFunction()) {}

    private:
        double reciprocalStep_;
        double lowerBound_;
        int32_t size_;
        std::vector<double> table_;
    };

    explicit Capacitor(wave::Environment* environment);
    ~Capacitor() override;

    /// Attack time, 0 .. 10 s.
    FloatParameter& attackTime() noexcept { return attackTime_; }
    /// Base release time, 0 .. 10 s, unless a producer is connected with `setReleaseTimeInput`.
    FloatParameterBus& releaseTime() noexcept { return releaseTime_; }
    /// Replaces the release time control by any producer (seconds); null restores the own one.
    void setReleaseTimeInput(wave::Producer* producer) noexcept { releaseInput_ = producer; }
    /// 1 = release time independent of the drop; smaller values make it grow with the drop.
    FloatParameter& releaseShape() noexcept { return releaseShape_; }
    /// Extra release time for small drops, -1 .. 1 s.
    FloatParameter& releaseDependency() noexcept { return releaseDependency_; }

    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    /// Starts over from the resting value at the next block.
    void reset() override { resetPending_ = true; }
    bool isSettled() const override;

    double state() const noexcept { return state_; }
    bool inRelease() const noexcept { return inRelease_; }
    bool resetPending() const noexcept { return resetPending_; }
    /// Takes over another envelope's running state (its value, release phase and pending reset),
    /// so that a channel can continue where a twin channel's envelope stands. [audio thread]
    void setState(double state, bool inRelease, bool resetPending) noexcept {
        state_ = state;
        inRelease_ = inRelease;
        resetPending_ = resetPending;
    }
    const Style* style() const noexcept { return style_.get(); }

private:
    /// The coefficient that covers 90 % of a step in timeSamples; 1 for non-positive times.
    static double coefficient(float timeSamples) noexcept;
    void filterScalar(const float* x, float* y, const float* attack, const float* release,
                      const wave::BasicBlock<float>* shape,
                      const wave::BasicBlock<float>* dependency, int32_t frames) noexcept;
    void filterVector(const float* x, float* y, const wave::BasicBlock<float>* attack,
                      const wave::BasicBlock<float>* release, int32_t frames) noexcept;

    FloatParameter attackTime_;
    FloatParameterBus releaseTime_;
    wave::Producer* releaseInput_ = nullptr;
    FloatParameter releaseShape_;
    FloatParameter releaseDependency_;
    double state_ = 0.0;
    float attackSamples_ = -1.0f;
    double attackCoefficient_ = 1.0;
    float releaseSamples_ = -1.0f;
    double releaseCoefficient_ = 1.0;
    float dependencyDrop_ = 0.0f;
    float dependencyValue_ = 1.0f;
    bool inRelease_ = false;
    bool resetPending_ = true;
    float restingValue_ = 0.0f;
    SharedResource<Style> style_;
    // Per-sample coefficients of the vectorised path; sized with the environment's blocks.
    wave::BasicBlock<float> attackCoefficients_;
    wave::BasicBlock<float> releaseCoefficients_;
};

}  // namespace tessel
