#pragma once

#include <cstdint>
#include <limits>
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
/// finite. No coefficient calls the library exponential: attack and plain release come from
/// `coefficient`, once per block for steady times, vectorised per sample for moving ones. A
/// drop-dependent release (shape or dependency) is worked out inside the serial recursion: read
/// from a table of the release step over drops of 0 to -10 dB while its settings hold still
/// (rebuilt when they change), else from the exponential table and one division per sample.
/// Every path follows the rule with exact exponentials within 1e-4 dB. Two envelopes in series
/// (`pullWithFollower`) run in one pass, so that the shorter recursion hides in the longer one's.
/// Audio thread only; `filter` never allocates, locks or throws. Construction and destruction take
/// the process-wide lock of the shared table [main thread].
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
        double lookup(double x) const noexcept { return lookup(table_.data(), x); }
        /// The same look-up in the table `values()` returns, for loops that keep the table's
        /// address in a register.
        static double lookup(const double* table, double x) noexcept {
            constexpr double kReciprocalStep = static_cast<double>(kSize - 1) / -kLowerBound;
            x = x > kLowerBound ? x : kLowerBound;  // NaN lands on the lower bound
            x = x < 0.0 ? x : 0.0;
            const double v = x * kReciprocalStep + static_cast<double>(kSize - 1);
            const int32_t j = static_cast<int32_t>(v) & (kSize - 1);
            const double* t = table + j;
            return t[0] + (t[1] - t[0]) * (v - static_cast<double>(j));
        }
        const double* values() const noexcept { return table_.data(); }

        explicit Style(const FunctionTableFunction& function);
        /// The exponential table (what the shared instance is).
        Style() : Style(ExpFunction()) {}

    private:
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
    /// Computes this cycle's output of this envelope and of `follower`, whose input is taken to
    /// be the larger of this envelope's output and the magnitude of this envelope's input (the
    /// follower's own input is not read), in one pass; both then count as pulled this cycle.
    /// The follower's release time input must not read this envelope. When either was pulled
    /// already this cycle, this is a pull of both. [audio thread]
    void pullWithFollower(Capacitor& follower, int32_t frames) noexcept;
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

    /// The share of the remaining distance one sample covers when 90 % take timeSamples:
    /// 1 - e^(-ln 10 / T), within 1e-6 of it (relative) for every T, and 1 for T at or below the
    /// float tolerance (and for NaN). From 16 samples up a [2/2] Pade form of e^-a, below that
    /// the fast exponential (there 1 - e^-a keeps its precision); unlike 1 - fastExp, it keeps
    /// its precision for long times too. Branch-free, so loops over it vectorise. [any thread]
    static float coefficient(float timeSamples) noexcept;

private:
    /// Per-sample coefficients, or one for the whole block (mask 0).
    struct Coefficients {
        const float* values;
        int32_t mask;
        double operator[](int32_t i) const noexcept {
            return static_cast<double>(values[i & mask]);
        }
    };
    /// The control blocks of one cycle.
    struct Controls {
        const wave::BasicBlock<float>* attack;
        const wave::BasicBlock<float>* release;
        const wave::BasicBlock<float>* shape;
        const wave::BasicBlock<float>* dependency;
    };
    /// How the release step of this block is found: a coefficient (plain), the release-step
    /// table (steady drop-dependent settings) or the rule per sample.
    enum class ReleaseKind { kPlain, kTabled, kDependent };
    struct Plan {
        Coefficients attack;
        Coefficients release;  // kPlain only
        ReleaseKind kind;
    };
    /// The input as the recursion reads it: the block itself, or when it holds a NaN or an
    /// infinity its copy in `clean_` with infinities at +-FLT_MAX (NaN kept).
    struct Input {
        const float* values;
        bool nan;      // some sample is NaN
        bool resting;  // state and every sample within 1e-9 of the resting value
    };
    template <typename Rate>
    struct PlainRelease;
    struct TabledRelease;
    struct DependentRelease;

    /// A pending reset, then the controls' blocks for this cycle.
    Controls begin(int32_t frames) noexcept;
    Input clean(const float* x, int32_t frames) noexcept;
    Plan plan(const Controls& controls, int32_t frames) noexcept;
    /// Calls f with a reader of the coefficients: one steady value, or one per sample.
    template <typename F>
    static void withRate(Coefficients coefficients, F&& f) noexcept;
    /// Calls f with the release step of `plan`; a plain one reads `plainRate`.
    template <typename Rate, typename F>
    void withRelease(const Plan& plan, const Rate& plainRate, F&& f) noexcept;
    /// The recursion over one block by `plan`.
    void run(const Plan& plan, const Input& input, float* out, int32_t frames) noexcept;
    template <bool kNaNInput, typename Attack, typename Release>
    void follow(const float* x, float* out, const Attack& attack, const Release& release,
                int32_t frames) noexcept;
    template <typename Attack, typename Release, typename FollowerAttack, typename FollowerRelease>
    void runPair(Capacitor& follower, const float* x, float* out, float* followerOut,
                 const Attack& attack, const Release& release, const FollowerAttack& followerAttack,
                 const FollowerRelease& followerRelease, int32_t frames) noexcept;
    /// Writes the coefficients of a time block (seconds) into `out` and returns the mask to read
    /// them with; a constant block is evaluated once, cached in cachedSamples/cachedCoefficient.
    int32_t coefficients(const wave::BasicBlock<float>* seconds, float* out, float& cachedSamples,
                         float& cachedCoefficient, int32_t frames) const noexcept;
    /// Tabulates the release step over drops of 0 to -10 dB for a release time of
    /// base + slope * |d| + scale * E(d) samples (unless already done for these values); false
    /// when linear interpolation would not follow the curve closely enough.
    bool prepareReleaseTable(float base, float slope, float scale) noexcept;

    FloatParameter attackTime_;
    FloatParameterBus releaseTime_;
    wave::Producer* releaseInput_ = nullptr;
    FloatParameter releaseShape_;
    FloatParameter releaseDependency_;
    double state_ = 0.0;
    float attackSamples_ = -1.0f;
    float attackCoefficient_ = 1.0f;
    float releaseSamples_ = -1.0f;
    float releaseCoefficient_ = 1.0f;
    bool inRelease_ = false;
    bool resetPending_ = true;
    float restingValue_ = 0.0f;
    SharedResource<Style> style_;
    // Per-sample scratch, sized with the environment's blocks: the attack and plain release
    // coefficients, or for a drop-dependent release the three terms of its time in samples,
    // T = base + slope * |drop| + dependency * E(drop).
    wave::BasicBlock<float> attackCoefficients_;
    wave::BasicBlock<float> releaseCoefficients_;
    wave::BasicBlock<float> releaseBase_;
    wave::BasicBlock<float> releaseSlope_;
    wave::BasicBlock<float> releaseDependencyScale_;
    wave::BasicBlock<float> clean_;  // see Input
    // The release table for the steady settings it was made for (NaN: none yet), in nodes: the
    // offsets of the lines that carry the step from each node to the next, then their changes
    // per node, negated (see TabledRelease).
    std::vector<double> releaseTable_;
    std::vector<float> tableTimes_;  // scratch of the table's making
    float tableBase_ = std::numeric_limits<float>::quiet_NaN();
    float tableSlope_ = 0.0f;
    float tableScale_ = 0.0f;
    double tableBeyond_ = 1.0;  // the plain shape's coefficient past -10 dB
    bool tableUsable_ = false;
};

}  // namespace tessel
