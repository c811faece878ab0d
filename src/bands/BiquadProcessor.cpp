#include "bands/BiquadProcessor.h"

#include <algorithm>
#include <cmath>

namespace tessel {

namespace {

using SectionState = BiquadProcessor::SectionState;

// The feedback term a1 * y1 is added last so that the loop-carried dependency is one multiply and
// one add; everything else is computed from older values while the previous sample finishes.
inline double directFormStep(const BiquadCoefficients& c, SectionState& s, double x) noexcept {
    const double y = (c.b0 * x + c.b1 * s.x1 + c.b2 * s.x2 - c.a2 * s.y2) - c.a1 * s.y1;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// Sample-major over the whole cascade: the sections' recurrences are independent from one sample
// to the next, so the processor overlaps them and the loop runs at arithmetic throughput instead
// of the latency of one section's feedback. Values between sections stay in double precision.
// The schedule: run r covers frames[r] samples with table[r * kMaxSections ...]. The state stays
// in registers across run boundaries.
struct Schedule {
    const BiquadCoefficients* table;
    const int32_t* frames;
    int32_t runs;
};

template <int Sections>
void directFormCascade(const Schedule& schedule, SectionState* state, const float* input,
                       float* output) noexcept {
    SectionState s[Sections];
    for (int k = 0; k < Sections; ++k)
        s[k] = state[k];
    for (int32_t r = 0; r < schedule.runs; ++r) {
        const BiquadCoefficients* c = schedule.table + r * BiquadProcessor::kMaxSections;
        const int32_t frames = schedule.frames[r];
        for (int32_t i = 0; i < frames; ++i) {
            double x = input[i];
            for (int k = 0; k < Sections; ++k)
                x = directFormStep(c[k], s[k], x);
            output[i] = static_cast<float>(x);
        }
        input += frames;
        output += frames;
    }
    for (int k = 0; k < Sections; ++k)
        state[k] = s[k];
}

// Two channels with shared coefficients in the two lanes of one SSE2 register (GCC vector
// extension): the same operations in the same order as directFormCascade, per lane, so each
// channel's result is that of a separate filter, for about the cost of one.
using Double2 = double __attribute__((vector_size(16)));

template <int Sections>
void directFormCascadePair(const Schedule& schedule, SectionState* state0, SectionState* state1,
                           const float* input0, float* output0, const float* input1,
                           float* output1) noexcept {
    Double2 x1[Sections], x2[Sections], y1[Sections], y2[Sections];
    for (int k = 0; k < Sections; ++k) {
        x1[k] = Double2{state0[k].x1, state1[k].x1};
        x2[k] = Double2{state0[k].x2, state1[k].x2};
        y1[k] = Double2{state0[k].y1, state1[k].y1};
        y2[k] = Double2{state0[k].y2, state1[k].y2};
    }
    int32_t i = 0;
    for (int32_t r = 0; r < schedule.runs; ++r) {
        const BiquadCoefficients* c = schedule.table + r * BiquadProcessor::kMaxSections;
        for (const int32_t end = i + schedule.frames[r]; i < end; ++i) {
            Double2 x = {static_cast<double>(input0[i]), static_cast<double>(input1[i])};
            for (int k = 0; k < Sections; ++k) {
                const Double2 y =
                    (c[k].b0 * x + c[k].b1 * x1[k] + c[k].b2 * x2[k] - c[k].a2 * y2[k]) -
                    c[k].a1 * y1[k];
                x2[k] = x1[k];
                x1[k] = x;
                y2[k] = y1[k];
                y1[k] = y;
                x = y;
            }
            output0[i] = static_cast<float>(x[0]);
            output1[i] = static_cast<float>(x[1]);
        }
    }
    for (int k = 0; k < Sections; ++k) {
        state0[k] = SectionState{x1[k][0], x2[k][0], y1[k][0], y2[k][0]};
        state1[k] = SectionState{x1[k][1], x2[k][1], y1[k][1], y2[k][1]};
    }
}

// Calls f.template operator()<S>() with S = sections (1 .. kMaxSections), so that every kernel is
// compiled for each cascade length and keeps its sections' state in registers.
template <int Sections = 1, typename F>
void withSectionCount(int32_t sections, F&& f) noexcept {
    if constexpr (Sections < BiquadProcessor::kMaxSections) {
        if (sections != Sections) {
            withSectionCount<Sections + 1>(sections, f);
            return;
        }
    }
    f.template operator()<Sections>();
}

// Trapezoidal state-variable sections: v is the high-pass node, the integrators give band-pass
// and low-pass. The states s1, s2 are the integrators' memories, so they stay meaningful when g0
// and g1 jump, unlike the delayed outputs of the direct form. Sample-major over the cascade like
// directFormCascade, values between sections in double precision; each run's division is done
// once, before its samples.
template <int Sections>
void stateVariableCascade(const Schedule& schedule, SectionState* state, const float* input,
                          float* output) noexcept {
    double s1[Sections], s2[Sections];
    for (int k = 0; k < Sections; ++k) {
        s1[k] = state[k].x1;
        s2[k] = state[k].x2;
    }
    for (int32_t r = 0; r < schedule.runs; ++r) {
        const BiquadCoefficients* c = schedule.table + r * BiquadProcessor::kMaxSections;
        double d[Sections];
        for (int k = 0; k < Sections; ++k)
            d[k] = 1.0 / (c[k].b1 * c[k].b0 + 1.0);
        const int32_t frames = schedule.frames[r];
        for (int32_t i = 0; i < frames; ++i) {
            double x = input[i];
            for (int k = 0; k < Sections; ++k) {
                const double g0 = c[k].b0;
                const double v = (x - c[k].b1 * s1[k] - s2[k]) * d[k];
                const double bp = g0 * v + s1[k];
                const double lp = g0 * bp + s2[k];
                s1[k] = bp + g0 * v;
                s2[k] = lp + g0 * bp;
                x = c[k].a2 * v + c[k].a1 * bp + c[k].b2 * lp;
            }
            output[i] = static_cast<float>(x);
        }
        input += frames;
        output += frames;
    }
    for (int k = 0; k < Sections; ++k) {
        state[k].x1 = s1[k];
        state[k].x2 = s2[k];
    }
}

}  // namespace

BiquadProcessor::BiquadProcessor(int32_t sectionCount, int32_t maxRuns, float sampleRate)
    : sectionCount_(std::clamp(sectionCount, 1, kMaxSections)),
      maxRuns_(std::max(maxRuns, 1)),
      sampleRate_(sampleRate),
      runCoefficients_(static_cast<std::size_t>(maxRuns_ * kMaxSections)),
      runFrames_(static_cast<std::size_t>(maxRuns_)),
      runWeights_(static_cast<std::size_t>(maxRuns_)) {}

BiquadProcessor::~BiquadProcessor() {
    unlink();
    if (leader_ != nullptr) leader_->unlink();
}

void BiquadProcessor::continueFrom(const BiquadProcessor& other) noexcept {
    sectionCount_ = other.sectionCount_;
    kernel_ = other.kernel_;
    std::copy(std::begin(other.current_), std::end(other.current_), current_);
    currentWeight_ = other.currentWeight_;
    std::copy(std::begin(other.state_), std::end(other.state_), state_);
    pendingReset_ = other.pendingReset_;
    runCount_ = 0;
}

void BiquadProcessor::setSectionCount(int32_t sectionCount) {
    sectionCount_ = std::clamp(sectionCount, 1, kMaxSections);
    std::fill(std::begin(state_), std::end(state_), SectionState{});
}

void BiquadProcessor::setSampleRate(float sampleRate) noexcept {
    sampleRate_ = sampleRate;
}

void BiquadProcessor::setKernel(Kernel kernel) noexcept {
    if (kernel == kernel_) return;
    kernel_ = kernel;
    pendingReset_ = PendingReset::kClear;
}

int32_t BiquadProcessor::rampSamples() const noexcept {
    const double samples = kEnableRampSeconds * static_cast<double>(sampleRate_);
    if (!(samples >= 1.0)) return 1;  // also catches a NaN rate
    return static_cast<int32_t>(std::min(std::lround(samples), 1L << 30));
}

void BiquadProcessor::pushCoefficients(int32_t frames, const BiquadCoefficients* cascade,
                                       float weight) noexcept {
    if (frames <= 0) return;
    if (linkKind_ == LinkKind::kFollow && partner_ != nullptr)
        partner_->pushCoefficients(frames, cascade, weight);
    if (runCount_ > 0) {
        const int32_t last = runCount_ - 1;
        const BiquadCoefficients* lastCoefficients = runCoefficients(last);
        const bool same = runWeights_[last] == weight &&
                          std::equal(cascade, cascade + sectionCount_, lastCoefficients);
        if (same || runCount_ == maxRuns_) {
            // A full schedule keeps the newest values rather than the oldest: the filter follows
            // its inputs late but never drops samples.
            if (!same) {
                std::copy(cascade, cascade + sectionCount_,
                          runCoefficients_.begin() + last * kMaxSections);
                runWeights_[last] = weight;
            }
            runFrames_[last] += frames;
            return;
        }
    }
    std::copy(cascade, cascade + sectionCount_,
              runCoefficients_.begin() + runCount_ * kMaxSections);
    runFrames_[runCount_] = frames;
    runWeights_[runCount_] = weight;
    ++runCount_;
}

void BiquadProcessor::setEnabled(bool enabled) noexcept {
    if (partner_ != nullptr && linkKind_ != LinkKind::kNone) partner_->setEnabled(enabled);
    const float target = enabled ? 1.0f : 0.0f;
    if (target == rampTarget_ && (rampLeft_ > 0 || rampGain_ == target)) return;
    rampTarget_ = target;
    const int32_t left = static_cast<int32_t>(
        std::lround(std::fabs(target - rampGain_) * static_cast<float>(rampSamples())));
    if (left <= 0) {
        rampGain_ = target;
        rampStep_ = 0.0f;
        rampLeft_ = 0;
        return;
    }
    rampLeft_ = left;
    rampStep_ = (target - rampGain_) / static_cast<float>(left);
}

void BiquadProcessor::reset() noexcept {
    pendingReset_ = PendingReset::kClear;
    if (partner_ != nullptr) partner_->pendingReset_ = PendingReset::kClear;
}

void BiquadProcessor::link(BiquadProcessor* partner, LinkKind kind) noexcept {
    unlink();
    if (leader_ != nullptr) leader_->unlink();  // no chains: a leader follows nobody
    if (partner == nullptr || partner == this || kind == LinkKind::kNone) return;
    partner->unlink();
    if (partner->leader_ != nullptr) partner->leader_->unlink();
    partner_ = partner;
    linkKind_ = kind;
    partner->leader_ = this;
}

void BiquadProcessor::unlink() noexcept {
    if (partner_ != nullptr) partner_->leader_ = nullptr;
    partner_ = nullptr;
    linkKind_ = LinkKind::kNone;
}

BiquadCoefficients BiquadProcessor::stateVariableFromDirectForm(
    const BiquadCoefficients& c) noexcept {
    // The trapezoidal state-variable section is the bilinear image of
    // (m2 s^2 + m1 s + m0) / (s^2 + 2R s + 1) with integrator gain g0; matching its denominator
    // and numerator at z = 1, z = -1 and the odd part gives the values below.
    const double a = 1.0 + c.a1 + c.a2;  // = 4 g0^2 / den
    const double b = 1.0 - c.a1 + c.a2;  // = 4 / den
    const double g0 = std::sqrt(a / b);
    const double twoR = 2.0 * (1.0 - c.a2) / (b * g0);
    BiquadCoefficients out;
    out.b0 = g0;
    out.b1 = twoR + g0;
    out.b2 = (c.b0 + c.b1 + c.b2) / a;
    out.a1 = 2.0 * (c.b0 - c.b2) / (b * g0);
    out.a2 = (c.b0 - c.b1 + c.b2) / b;
    return out;
}

void BiquadProcessor::applyPendingReset(float firstInput) noexcept {
    if (pendingReset_ == PendingReset::kNone) return;
    double value = 0.0;
    if (pendingReset_ == PendingReset::kPrime && resetMode_ == ResetMode::kPrimeFromInput &&
        kernel_ == Kernel::kDirectForm1 && std::isfinite(firstInput))
        value = firstInput;
    for (SectionState& s : state_)
        s = SectionState{value, value, value, value};
    pendingReset_ = PendingReset::kNone;
}

void BiquadProcessor::normalizeSchedule(int32_t frames) noexcept {
    if (runCount_ == 0) {
        std::copy(current_, current_ + kMaxSections, runCoefficients_.begin());
        runFrames_[0] = frames;
        runWeights_[0] = currentWeight_;
        runCount_ = 1;
        return;
    }
    int32_t offset = 0;
    int32_t r = 0;
    for (; r < runCount_ - 1 && offset + runFrames_[r] < frames; ++r)
        offset += runFrames_[r];
    runFrames_[r] = frames - offset;
    runCount_ = r + 1;
}

void BiquadProcessor::filterChannel(const float* input, float* output) noexcept {
    const Schedule schedule{runCoefficients_.data(), runFrames_.data(), runCount_};
    withSectionCount(sectionCount_, [&]<int Sections>() {
        if (kernel_ == Kernel::kDirectForm1)
            directFormCascade<Sections>(schedule, state_, input, output);
        else
            stateVariableCascade<Sections>(schedule, state_, input, output);
    });
}

void BiquadProcessor::filterPair(const float* input0, float* output0, const float* input1,
                                 float* output1) noexcept {
    const Schedule schedule{runCoefficients_.data(), runFrames_.data(), runCount_};
    SectionState* state1 = partner_->state_;
    withSectionCount(sectionCount_, [&]<int Sections>() {
        if (kernel_ == Kernel::kDirectForm1) {
            directFormCascadePair<Sections>(schedule, state_, state1, input0, output0, input1,
                                            output1);
        } else {
            stateVariableCascade<Sections>(schedule, state_, input0, output0);
            stateVariableCascade<Sections>(schedule, state1, input1, output1);
        }
    });
}

void BiquadProcessor::mix(const float* input, float* output, bool advanceRamp) noexcept {
    bool unity = rampLeft_ == 0 && rampGain_ == 1.0f;
    for (int32_t r = 0; unity && r < runCount_; ++r)
        unity = runWeights_[r] == 1.0f;
    if (unity) return;

    float gain = rampGain_;
    int32_t left = rampLeft_;
    int32_t i = 0;
    for (int32_t r = 0; r < runCount_; ++r) {
        const float weight = runWeights_[r];
        for (const int32_t end = i + runFrames_[r]; i < end; ++i) {
            if (left > 0) {
                gain += rampStep_;
                if (--left == 0) gain = rampTarget_;
            }
            output[i] = input[i] + weight * gain * (output[i] - input[i]);
        }
    }
    if (advanceRamp) {
        rampGain_ = gain;
        rampLeft_ = left;
    }
}

void BiquadProcessor::clearNonFiniteState() noexcept {
    // All slots: a stereo partner may be filtered with more sections than it counts itself.
    for (SectionState& s : state_)
        if (!std::isfinite(s.x1 + s.x2 + s.y1 + s.y2)) s = SectionState{};
}

void BiquadProcessor::finishBlock() noexcept {
    if (runCount_ > 0) {
        const BiquadCoefficients* last = runCoefficients(runCount_ - 1);
        std::copy(last, last + sectionCount_, current_);
        currentWeight_ = runWeights_[runCount_ - 1];
        runCount_ = 0;
    }
    clearNonFiniteState();
}

bool BiquadProcessor::run(const float* input, float* output, int32_t frames) noexcept {
    if (fullyDisabled()) {
        // Costs nothing while off; the state is stale by the time it resumes, so prime it then.
        if (pendingReset_ != PendingReset::kClear) pendingReset_ = PendingReset::kPrime;
        finishBlock();
        return false;
    }
    if (frames > 0) {
        normalizeSchedule(frames);
        applyPendingReset(input[0]);
        filterChannel(input, output);
        mix(input, output, true);
    }
    finishBlock();
    return true;
}

bool BiquadProcessor::runPair(const float* input0, float* output0, const float* input1,
                              float* output1, int32_t frames) noexcept {
    if (partner_ == nullptr || linkKind_ != LinkKind::kStereoPair) {
        // Not a pair: channel 1 is left to the caller, as when disabled.
        return run(input0, output0, frames);
    }
    BiquadProcessor& other = *partner_;
    if (fullyDisabled()) {
        if (pendingReset_ != PendingReset::kClear) pendingReset_ = PendingReset::kPrime;
        if (other.pendingReset_ != PendingReset::kClear) other.pendingReset_ = PendingReset::kPrime;
        finishBlock();
        other.runCount_ = 0;
        return false;
    }
    if (frames > 0) {
        applyPendingReset(input0[0]);
        // The partner keeps its own reset mode but follows this processor's kernel.
        const Kernel otherKernel = other.kernel_;
        other.kernel_ = kernel_;
        other.applyPendingReset(input1[0]);
        other.kernel_ = otherKernel;
        normalizeSchedule(frames);
        filterPair(input0, output0, input1, output1);
        mix(input0, output0, false);
        mix(input1, output1, true);
    }
    // The partner's own ramp stands still in a pair: keep it level with this one, so that it
    // carries on from the right gain once unlinked.
    other.rampGain_ = rampGain_;
    other.rampTarget_ = rampTarget_;
    other.rampStep_ = rampStep_;
    other.rampLeft_ = rampLeft_;
    finishBlock();
    other.runCount_ = 0;
    other.clearNonFiniteState();
    return true;
}

}  // namespace tessel
