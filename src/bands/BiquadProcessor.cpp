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

// The two channels' direct-form states of a cascade, one lane each, and one sample through all
// of its sections.
template <int Sections>
struct PairCascade {
    Double2 x1[Sections], x2[Sections], y1[Sections], y2[Sections];

    PairCascade(const SectionState* state0, const SectionState* state1) noexcept {
        for (int k = 0; k < Sections; ++k) {
            x1[k] = Double2{state0[k].x1, state1[k].x1};
            x2[k] = Double2{state0[k].x2, state1[k].x2};
            y1[k] = Double2{state0[k].y1, state1[k].y1};
            y2[k] = Double2{state0[k].y2, state1[k].y2};
        }
    }
    void store(SectionState* state0, SectionState* state1) const noexcept {
        for (int k = 0; k < Sections; ++k) {
            state0[k] = SectionState{x1[k][0], x2[k][0], y1[k][0], y2[k][0]};
            state1[k] = SectionState{x1[k][1], x2[k][1], y1[k][1], y2[k][1]};
        }
    }
    Double2 step(const BiquadCoefficients* c, Double2 x) noexcept {
        for (int k = 0; k < Sections; ++k) {
            const Double2 y = (c[k].b0 * x + c[k].b1 * x1[k] + c[k].b2 * x2[k] - c[k].a2 * y2[k]) -
                              c[k].a1 * y1[k];
            shift(k, x, y);
            x = y;
        }
        return x;
    }
    // step with lane 0's section k at b0 + 3k, a0 + 2k and lane 1's at b1 + 3k, a1 + 2k.
    Double2 step(const double* b0, const double* a0, const double* b1, const double* a1,
                 Double2 x) noexcept {
        for (int k = 0; k < Sections; ++k, b0 += 3, a0 += 2, b1 += 3, a1 += 2) {
            const Double2 y = (Double2{b0[0], b1[0]} * x + Double2{b0[1], b1[1]} * x1[k] +
                               Double2{b0[2], b1[2]} * x2[k] - Double2{a0[1], a1[1]} * y2[k]) -
                              Double2{a0[0], a1[0]} * y1[k];
            shift(k, x, y);
            x = y;
        }
        return x;
    }
    // Section k took x and gave y: its history moves one sample on.
    void shift(int k, Double2 x, Double2 y) noexcept {
        x2[k] = x1[k];
        x1[k] = x;
        y2[k] = y1[k];
        y1[k] = y;
    }
    // step with section k's coefficients at b + 3k (b0, b1, b2) and a + 2k (a1, a2).
    Double2 step(const double* b, const double* a, Double2 x) noexcept {
        for (int k = 0; k < Sections; ++k, b += 3, a += 2) {
            const Double2 y =
                (b[0] * x + b[1] * x1[k] + b[2] * x2[k] - a[1] * y2[k]) - a[0] * y1[k];
            shift(k, x, y);
            x = y;
        }
        return x;
    }
};

template <int Sections>
void directFormCascadePair(const Schedule& schedule, SectionState* state0, SectionState* state1,
                           const float* input0, float* output0, const float* input1,
                           float* output1) noexcept {
    PairCascade<Sections> pair(state0, state1);
    int32_t i = 0;
    for (int32_t r = 0; r < schedule.runs; ++r) {
        const BiquadCoefficients* c = schedule.table + r * BiquadProcessor::kMaxSections;
        for (const int32_t end = i + schedule.frames[r]; i < end; ++i) {
            const Double2 x = pair.step(c, Double2{input0[i], input1[i]});
            output0[i] = static_cast<float>(x[0]);
            output1[i] = static_cast<float>(x[1]);
        }
    }
    pair.store(state0, state1);
}

// directFormCascade and directFormCascadePair with the coefficients of sample i at sets[i].
template <int Sections>
void directFormPerSample(const BiquadCoefficients* const* sets, SectionState* state,
                         const float* input, float* output, int32_t frames) noexcept {
    SectionState s[Sections];
    for (int k = 0; k < Sections; ++k)
        s[k] = state[k];
    for (int32_t i = 0; i < frames; ++i) {
        const BiquadCoefficients* c = sets[i];
        double x = input[i];
        for (int k = 0; k < Sections; ++k)
            x = directFormStep(c[k], s[k], x);
        output[i] = static_cast<float>(x);
    }
    for (int k = 0; k < Sections; ++k)
        state[k] = s[k];
}

template <int Sections>
void directFormPerSamplePair(const BiquadCoefficients* const* sets, SectionState* state0,
                             SectionState* state1, const float* input0, float* output0,
                             const float* input1, float* output1, int32_t frames) noexcept {
    PairCascade<Sections> pair(state0, state1);
    for (int32_t i = 0; i < frames; ++i) {
        const Double2 x = pair.step(sets[i], Double2{input0[i], input1[i]});
        output0[i] = static_cast<float>(x[0]);
        output1[i] = static_cast<float>(x[1]);
    }
    pair.store(state0, state1);
}

// directFormStep with the coefficients read where they lie: b = b0, b1, b2 and a = a1, a2.
inline double directFormStep(const double* b, const double* a, SectionState& s, double x) noexcept {
    const double y = (b[0] * x + b[1] * s.x1 + b[2] * s.x2 - a[1] * s.y2) - a[0] * s.y1;
    s.x2 = s.x1;
    s.x1 = x;
    s.y2 = s.y1;
    s.y1 = y;
    return y;
}

// directFormPerSample and directFormPerSamplePair with the coefficients of runPoints' tables,
// read in place (the sections' offsets within a point are constants of the loop).
BiquadCoefficients pointSection(const BiquadProcessor::PointTables& t, int32_t p,
                                int32_t k) noexcept {
    const double* b = t.numerators + p * t.numeratorStride + 3 * k;
    const double* a = t.denominators + p * t.denominatorStride + 2 * k;
    return BiquadCoefficients{b[0], b[1], b[2], a[0], a[1]};
}

// One loop over the samples that moves on to the next point where a run ends, so that the
// coefficients are read where they lie (hoisting them out of one-sample runs costs more than it
// saves).
struct PointCursor {
    const BiquadProcessor::PointTables& t;
    const double* b = t.numerators;
    const double* a = t.denominators;
    int32_t point = 0;
    int32_t left = t.frames[0];

    // The runs add up to the block, so a sample always finds its run. Inlined: it runs per
    // sample and keeps the cursor in registers.
    [[gnu::always_inline]] void advance() noexcept {
        while (left == 0) {
            ++point;
            b += t.numeratorStride;
            a += t.denominatorStride;
            left = t.frames[point];
        }
        --left;
    }
};

template <int Sections>
void directFormPoints(const BiquadProcessor::PointTables& t, SectionState* state,
                      const float* input, float* output, int32_t frames) noexcept {
    SectionState s[Sections];
    for (int k = 0; k < Sections; ++k)
        s[k] = state[k];
    PointCursor at{t};
    for (int32_t i = 0; i < frames; ++i) {
        at.advance();
        double x = input[i];
        for (int k = 0; k < Sections; ++k)
            x = directFormStep(at.b + 3 * k, at.a + 2 * k, s[k], x);
        output[i] = static_cast<float>(x);
    }
    for (int k = 0; k < Sections; ++k)
        state[k] = s[k];
}

template <int Sections>
void directFormPointsPair(const BiquadProcessor::PointTables& t, SectionState* state0,
                          SectionState* state1, const float* input0, float* output0,
                          const float* input1, float* output1, int32_t frames) noexcept {
    PairCascade<Sections> pair(state0, state1);
    PointCursor at{t};
    for (int32_t i = 0; i < frames; ++i) {
        at.advance();
        const Double2 x = pair.step(at.b, at.a, Double2{input0[i], input1[i]});
        output0[i] = static_cast<float>(x[0]);
        output1[i] = static_cast<float>(x[1]);
    }
    pair.store(state0, state1);
}

// Two cascades in series on one channel (runPointsThen): the first in lane 0, the second in
// lane 1 kLag samples behind, fed through a short ring, so that both lanes work at every step
// and no step waits for the one before (a lag of one sample would chain every step to the whole
// first cascade of the step before). The first kLag samples enter the first cascade alone, the
// last kLag leave the second alone. The same operations per lane as directFormPoints, without
// rounding between the cascades.
constexpr int32_t kLag = 4;

template <int Sections>
void directFormPointsThen(const BiquadProcessor::PointTables& t0,
                          const BiquadProcessor::PointTables& t1, SectionState* state0,
                          SectionState* state1, const float* input, float* output,
                          int32_t frames) noexcept {
    PointCursor first{t0}, second{t1};
    double between[kLag];
    const int32_t lead = std::min(frames, kLag);
    for (int32_t i = 0; i < lead; ++i) {
        first.advance();
        double x = input[i];
        for (int k = 0; k < Sections; ++k)
            x = directFormStep(first.b + 3 * k, first.a + 2 * k, state0[k], x);
        between[i] = x;
    }
    PairCascade<Sections> lanes(state0, state1);
    for (int32_t i = kLag; i < frames; ++i) {
        first.advance();
        second.advance();
        double& slot = between[i % kLag];
        const Double2 y = lanes.step(first.b, first.a, second.b, second.a,
                                     Double2{static_cast<double>(input[i]), slot});
        output[i - kLag] = static_cast<float>(y[1]);
        slot = y[0];
    }
    lanes.store(state0, state1);
    for (int32_t i = std::max(frames - kLag, 0); i < frames; ++i) {
        second.advance();
        double x = between[i % kLag];
        for (int k = 0; k < Sections; ++k)
            x = directFormStep(second.b + 3 * k, second.a + 2 * k, state1[k], x);
        output[i] = static_cast<float>(x);
    }
}

// Point p's cascade of runPoints as a full set: its first `sections` sections, unit sections after.
void pointCascade(const BiquadProcessor::PointTables& t, int32_t p, int32_t sections,
                  BiquadCoefficients* cascade) noexcept {
    for (int32_t k = 0; k < BiquadProcessor::kMaxSections; ++k)
        cascade[k] = k < sections ? pointSection(t, p, k) : BiquadCoefficients{};
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

// The trapezoidal state-variable section (stateVariableFromDirectForm): per sample, from the
// integrator memories s1, s2, the high-pass node v = (x - g1 s1 - s2) / (1 + g0 g1), the
// band-pass node bp = s1 + g0 v and the low-pass node lp = s2 + g0 bp; the output is
// m2 v + m1 bp + m0 lp and the memories move on to s1 = bp + g0 v, s2 = lp + g0 bp.
//
// A coefficient change keeps the nodes v, bp and lp of the last sample and rebuilds the
// memories from them, s1 = bp + g v and s2 = lp + g bp, with g the smaller of the old and the
// new g0. While g0 grows that is the old memories exactly, the smoothest way through a sweep.
// When it falls, the memories follow the nodes: these are the section's high-, band- and
// low-pass outputs, bounded by the old filter's gains whatever its frequency, whereas memories
// built near Nyquist, where g0 is large, reach tens of times the signal and would be played out
// at the lower frequency (the delayed outputs of the direct form fare far worse still). So the
// output stays within a small multiple of the input however the coefficients jump.
//
// Within a run the section is one linear map of its memories, s' = A s + B x and
// y = C s + D x, taken two samples at a time: s'' = A^2 s + A B x0 + B x1, y0 = C s + D x0,
// y1 = C A s + C B x0 + D x1. Every product depends on the memories of two samples ago only, so
// the recurrence is one multiply-add deep per two samples and the section costs about as much as
// the direct form, whose feedback latency otherwise limits short cascades. A run's odd sample
// takes one single step; its last sample goes through the node equations to leave its nodes
// behind.
struct StateSpace {
    double d, c1, c2;     // y = d x + c1 s1 + c2 s2
    double b1, a11, a12;  // s1' = b1 x + a11 s1 + a12 s2
    double b2, a21, a22;  // s2' = b2 x + a21 s1 + a22 s2
    double inverse;       // 1 / (1 + g0 g1), for the node equations
    // Two steps: y1 = d x1 + cb x0 + ca1 s1 + ca2 s2; s1'' = p11 s1 + p12 s2 + q10 x0 + q11 x1,
    // s2'' = p21 s1 + p22 s2 + q20 x0 + q21 x1.
    double ca1, ca2, cb;
    double p11, p12, p21, p22, q10, q20;
};

inline StateSpace stateSpaceOf(const BiquadCoefficients& c) noexcept {
    const double g = c.b0, g1 = c.b1, m0 = c.b2, m1 = c.a1, m2 = c.a2;
    const double d = 1.0 / (1.0 + g * g1);
    const double gd = g * d, ggd = g * gd;
    // v = d x - d g1 s1 - d s2; bp = gd x + d s1 - gd s2 (as 1 - g g1 d = d);
    // lp = ggd x + gd s1 + (1 - ggd) s2; s1' = 2 bp - s1; s2' = 2 lp - s2.
    StateSpace q;
    q.d = m2 * d + m1 * gd + m0 * ggd;
    q.c1 = -m2 * d * g1 + m1 * d + m0 * gd;
    q.c2 = -m2 * d - m1 * gd + m0 * (1.0 - ggd);
    q.b1 = 2.0 * gd;
    q.a11 = (1.0 - g * g1) * d;  // 2 d - 1
    q.a12 = -2.0 * gd;
    q.b2 = 2.0 * ggd;
    q.a21 = 2.0 * gd;
    q.a22 = 1.0 - 2.0 * ggd;
    q.inverse = d;
    q.ca1 = q.c1 * q.a11 + q.c2 * q.a21;
    q.ca2 = q.c1 * q.a12 + q.c2 * q.a22;
    q.cb = q.c1 * q.b1 + q.c2 * q.b2;
    q.p11 = q.a11 * q.a11 + q.a12 * q.a21;
    q.p12 = q.a11 * q.a12 + q.a12 * q.a22;
    q.p21 = q.a21 * q.a11 + q.a22 * q.a21;
    q.p22 = q.a21 * q.a12 + q.a22 * q.a22;
    q.q10 = q.a11 * q.b1 + q.a12 * q.b2;
    q.q20 = q.a21 * q.b1 + q.a22 * q.b2;
    return q;
}

// One channel (T = double) or the two channels of a stereo pair in the lanes of an SSE2
// register (T = Double2, as in directFormCascadePair). The nodes v, bp, lp are kept in the x1,
// x2 and y1 slots of SectionState, the last run's g0 in y2.
template <typename T>
struct Lanes;

template <>
struct Lanes<double> {
    static constexpr int kCount = 1;
    static double in(const float* const* x, int32_t i) noexcept { return x[0][i]; }
    static void out(float* const* y, int32_t i, double v) noexcept {
        y[0][i] = static_cast<float>(v);
    }
    static double get(SectionState* const* s, int k, double SectionState::*m) noexcept {
        return s[0][k].*m;
    }
    static void set(SectionState* const* s, int k, double SectionState::*m, double v) noexcept {
        s[0][k].*m = v;
    }
};

template <>
struct Lanes<Double2> {
    static constexpr int kCount = 2;
    static Double2 in(const float* const* x, int32_t i) noexcept {
        return Double2{static_cast<double>(x[0][i]), static_cast<double>(x[1][i])};
    }
    static void out(float* const* y, int32_t i, Double2 v) noexcept {
        y[0][i] = static_cast<float>(v[0]);
        y[1][i] = static_cast<float>(v[1]);
    }
    static Double2 get(SectionState* const* s, int k, double SectionState::*m) noexcept {
        return Double2{s[0][k].*m, s[1][k].*m};
    }
    static void set(SectionState* const* s, int k, double SectionState::*m, Double2 v) noexcept {
        s[0][k].*m = v[0];
        s[1][k].*m = v[1];
    }
};

// Sample-major over the cascade like directFormCascade, values between sections in double
// precision.
template <int Sections, typename T>
void stateVariableCascade(const Schedule& schedule, SectionState* const* state,
                          const float* const* input, float* const* output) noexcept {
    using L = Lanes<T>;
    T v[Sections], bp[Sections], lp[Sections];
    double lastG[Sections];
    for (int k = 0; k < Sections; ++k) {
        v[k] = L::get(state, k, &SectionState::x1);
        bp[k] = L::get(state, k, &SectionState::x2);
        lp[k] = L::get(state, k, &SectionState::y1);
        lastG[k] = state[0][k].y2;
    }
    int32_t i = 0;
    for (int32_t r = 0; r < schedule.runs; ++r) {
        const BiquadCoefficients* c = schedule.table + r * BiquadProcessor::kMaxSections;
        StateSpace q[Sections];
        T s1[Sections], s2[Sections];
        for (int k = 0; k < Sections; ++k) {
            q[k] = stateSpaceOf(c[k]);
            const double g = std::min(lastG[k], c[k].b0);
            s1[k] = bp[k] + g * v[k];
            s2[k] = lp[k] + g * bp[k];
            lastG[k] = c[k].b0;
        }
        const int32_t last = i + schedule.frames[r] - 1;
        for (; i + 1 < last; i += 2) {
            T x0 = L::in(input, i), x1 = L::in(input, i + 1);
            for (int k = 0; k < Sections; ++k) {
                const StateSpace& m = q[k];
                const T y0 = m.d * x0 + (m.c1 * s1[k] + m.c2 * s2[k]);
                const T y1 = m.d * x1 + ((m.ca1 * s1[k] + m.ca2 * s2[k]) + m.cb * x0);
                const T next1 = (m.p11 * s1[k] + m.p12 * s2[k]) + (m.q10 * x0 + m.b1 * x1);
                const T next2 = (m.p21 * s1[k] + m.p22 * s2[k]) + (m.q20 * x0 + m.b2 * x1);
                s1[k] = next1;
                s2[k] = next2;
                x0 = y0;
                x1 = y1;
            }
            L::out(output, i, x0);
            L::out(output, i + 1, x1);
        }
        if (i < last) {
            T x = L::in(input, i);
            for (int k = 0; k < Sections; ++k) {
                const T y = q[k].d * x + (q[k].c1 * s1[k] + q[k].c2 * s2[k]);
                const T next1 = q[k].b1 * x + (q[k].a11 * s1[k] + q[k].a12 * s2[k]);
                const T next2 = q[k].b2 * x + (q[k].a21 * s1[k] + q[k].a22 * s2[k]);
                s1[k] = next1;
                s2[k] = next2;
                x = y;
            }
            L::out(output, i++, x);
        }
        T x = L::in(input, i);
        for (int k = 0; k < Sections; ++k) {
            const double g = c[k].b0;
            v[k] = (x - c[k].b1 * s1[k] - s2[k]) * q[k].inverse;
            bp[k] = s1[k] + g * v[k];
            lp[k] = s2[k] + g * bp[k];
            x = c[k].a2 * v[k] + c[k].a1 * bp[k] + c[k].b2 * lp[k];
        }
        L::out(output, i++, x);
    }
    for (int k = 0; k < Sections; ++k) {
        L::set(state, k, &SectionState::x1, v[k]);
        L::set(state, k, &SectionState::x2, bp[k]);
        L::set(state, k, &SectionState::y1, lp[k]);
        for (int lane = 0; lane < L::kCount; ++lane)
            state[lane][k].y2 = lastG[k];
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

void BiquadProcessor::finishEnableRamp() noexcept {
    if (partner_ != nullptr && linkKind_ != LinkKind::kNone) partner_->finishEnableRamp();
    rampGain_ = rampTarget_;
    rampStep_ = 0.0f;
    rampLeft_ = 0;
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

void BiquadProcessor::applyPendingReset(float firstInput,
                                        const BiquadCoefficients* cascade) noexcept {
    if (pendingReset_ == PendingReset::kNone) return;
    const bool prime = pendingReset_ == PendingReset::kPrime &&
                       resetMode_ == ResetMode::kPrimeFromInput && std::isfinite(firstInput);
    pendingReset_ = PendingReset::kNone;
    std::fill(std::begin(state_), std::end(state_), SectionState{});
    if (!prime) return;
    double level = firstInput;
    for (int32_t k = 0; k < sectionCount_; ++k) {
        if (kernel_ == Kernel::kDirectForm1) {
            state_[k] = SectionState{level, level, level, level};
        } else {
            // A state-variable section at rest on a constant input x: no high-pass or band-pass
            // signal, x at the low-pass node; it passes x times its DC gain m0 on.
            state_[k].y1 = level;
            level *= cascade[k].b2;
            if (!std::isfinite(level)) level = 0.0;
        }
    }
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
        if (kernel_ == Kernel::kDirectForm1) {
            directFormCascade<Sections>(schedule, state_, input, output);
        } else {
            SectionState* states[1] = {state_};
            stateVariableCascade<Sections, double>(schedule, states, &input, &output);
        }
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
            SectionState* states[2] = {state_, state1};
            const float* inputs[2] = {input0, input1};
            float* outputs[2] = {output0, output1};
            stateVariableCascade<Sections, Double2>(schedule, states, inputs, outputs);
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
        applyPendingReset(input[0], runCoefficients(0));
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
        normalizeSchedule(frames);
        applyPendingReset(input0[0], runCoefficients(0));
        applyPartnerReset(input1[0], runCoefficients(0));
        filterPair(input0, output0, input1, output1);
        mix(input0, output0, false);
        mix(input1, output1, true);
    }
    finishPairBlock();
    return true;
}

void BiquadProcessor::applyPartnerReset(float firstInput,
                                        const BiquadCoefficients* cascade) noexcept {
    // The partner keeps its own reset mode but follows this processor's kernel, coefficients
    // and section count.
    BiquadProcessor& other = *partner_;
    const Kernel otherKernel = other.kernel_;
    const int32_t otherSections = other.sectionCount_;
    other.kernel_ = kernel_;
    other.sectionCount_ = sectionCount_;
    other.applyPendingReset(firstInput, cascade);
    other.kernel_ = otherKernel;
    other.sectionCount_ = otherSections;
}

void BiquadProcessor::finishPairBlock() noexcept {
    // The partner's own ramp stands still in a pair: keep it level with this one, so that it
    // carries on from the right gain once unlinked.
    BiquadProcessor& other = *partner_;
    other.rampGain_ = rampGain_;
    other.rampTarget_ = rampTarget_;
    other.rampStep_ = rampStep_;
    other.rampLeft_ = rampLeft_;
    finishBlock();
    other.runCount_ = 0;
    other.clearNonFiniteState();
}

void BiquadProcessor::singleRunOf(const BiquadCoefficients* cascade, int32_t frames) noexcept {
    std::copy(cascade, cascade + sectionCount_, runCoefficients_.begin());
    runFrames_[0] = frames;
    runWeights_[0] = 1.0f;
    runCount_ = 1;
}

void BiquadProcessor::passThroughState(SectionState* state, int32_t sections,
                                       int32_t frames) const noexcept {
    // A unit section repeats its input, the last running section's output: its input and
    // output memories both take that output's last two samples (one, after a single sample).
    const SectionState& last = state[sections - 1];
    for (int32_t k = sections; k < sectionCount_; ++k) {
        const SectionState& s = state[k];
        state[k] = frames >= 2 ? SectionState{last.y1, last.y2, last.y1, last.y2}
                               : SectionState{last.y1, s.x1, last.y1, s.y1};
    }
}

bool BiquadProcessor::runPerSample(const BiquadCoefficients* const* sets, int32_t sections,
                                   const float* input, float* output, int32_t frames) noexcept {
    runCount_ = 0;
    if (kernel_ != Kernel::kDirectForm1 || fullyDisabled() || frames <= 0 ||
        linkKind_ == LinkKind::kFollow) {
        for (int32_t i = 0; i < frames; ++i)
            pushCoefficients(1, sets[i]);
        return run(input, output, frames);
    }
    sections = std::clamp(sections, 1, sectionCount_);
    applyPendingReset(input[0], sets[0]);
    withSectionCount(sections, [&]<int Sections>() {
        directFormPerSample<Sections>(sets, state_, input, output, frames);
    });
    passThroughState(state_, sections, frames);
    singleRunOf(sets[frames - 1], frames);
    mix(input, output, true);
    finishBlock();
    return true;
}

bool BiquadProcessor::runPairPerSample(const BiquadCoefficients* const* sets, int32_t sections,
                                       const float* input0, float* output0, const float* input1,
                                       float* output1, int32_t frames) noexcept {
    runCount_ = 0;
    if (kernel_ != Kernel::kDirectForm1 || fullyDisabled() || frames <= 0 || partner_ == nullptr ||
        linkKind_ != LinkKind::kStereoPair) {
        for (int32_t i = 0; i < frames; ++i)
            pushCoefficients(1, sets[i]);
        return runPair(input0, output0, input1, output1, frames);
    }
    BiquadProcessor& other = *partner_;
    sections = std::clamp(sections, 1, sectionCount_);
    applyPendingReset(input0[0], sets[0]);
    applyPartnerReset(input1[0], sets[0]);
    withSectionCount(sections, [&]<int Sections>() {
        directFormPerSamplePair<Sections>(sets, state_, other.state_, input0, output0, input1,
                                          output1, frames);
    });
    passThroughState(state_, sections, frames);
    passThroughState(other.state_, sections, frames);
    singleRunOf(sets[frames - 1], frames);
    mix(input0, output0, false);
    mix(input1, output1, true);
    finishPairBlock();
    return true;
}

bool BiquadProcessor::runPoints(const PointTables& tables, int32_t sections, const float* input,
                                float* output, int32_t frames) noexcept {
    runCount_ = 0;
    sections = std::clamp(sections, 1, sectionCount_);
    BiquadCoefficients cascade[kMaxSections];
    if (kernel_ != Kernel::kDirectForm1 || fullyDisabled() || frames <= 0 || tables.points <= 0 ||
        linkKind_ == LinkKind::kFollow) {
        for (int32_t p = 0; p < tables.points; ++p) {
            pointCascade(tables, p, sections, cascade);
            pushCoefficients(tables.frames[p], cascade);
        }
        return run(input, output, frames);
    }
    pointCascade(tables, tables.points - 1, sections, cascade);
    applyPendingReset(input[0], cascade);
    withSectionCount(sections, [&]<int Sections>() {
        directFormPoints<Sections>(tables, state_, input, output, frames);
    });
    passThroughState(state_, sections, frames);
    singleRunOf(cascade, frames);
    mix(input, output, true);
    finishBlock();
    return true;
}

bool BiquadProcessor::runPointsThen(const PointTables& tables, BiquadProcessor& next,
                                    const PointTables& nextTables, int32_t sections,
                                    const float* input, float* output, int32_t frames) noexcept {
    const auto plain = [](const BiquadProcessor& p) {
        return p.kernel_ == Kernel::kDirectForm1 && p.rampGain_ == 1.0f && p.rampLeft_ == 0 &&
               p.linkKind_ != LinkKind::kFollow && p.pendingReset_ != PendingReset::kPrime;
    };
    if (&next == this || !plain(*this) || !plain(next) || frames <= 0 || tables.points <= 0 ||
        nextTables.points <= 0)
        return false;
    sections = std::clamp(sections, 1, std::min(sectionCount_, next.sectionCount_));
    runCount_ = next.runCount_ = 0;
    BiquadCoefficients cascade[kMaxSections];
    pointCascade(tables, tables.points - 1, sections, cascade);
    applyPendingReset(input[0], cascade);
    singleRunOf(cascade, frames);
    pointCascade(nextTables, nextTables.points - 1, sections, cascade);
    next.applyPendingReset(0.0f, cascade);  // a clear; a priming reset took the slow way
    next.singleRunOf(cascade, frames);
    withSectionCount(sections, [&]<int Sections>() {
        directFormPointsThen<Sections>(tables, nextTables, state_, next.state_, input, output,
                                       frames);
    });
    passThroughState(state_, sections, frames);
    next.passThroughState(next.state_, sections, frames);
    // Fully enabled with unit weights: the wet/dry mix would change nothing.
    finishBlock();
    next.finishBlock();
    return true;
}

bool BiquadProcessor::runPairPoints(const PointTables& tables, int32_t sections,
                                    const float* input0, float* output0, const float* input1,
                                    float* output1, int32_t frames) noexcept {
    runCount_ = 0;
    sections = std::clamp(sections, 1, sectionCount_);
    BiquadCoefficients cascade[kMaxSections];
    if (kernel_ != Kernel::kDirectForm1 || fullyDisabled() || frames <= 0 || tables.points <= 0 ||
        partner_ == nullptr || linkKind_ != LinkKind::kStereoPair) {
        for (int32_t p = 0; p < tables.points; ++p) {
            pointCascade(tables, p, sections, cascade);
            pushCoefficients(tables.frames[p], cascade);
        }
        return runPair(input0, output0, input1, output1, frames);
    }
    BiquadProcessor& other = *partner_;
    pointCascade(tables, tables.points - 1, sections, cascade);
    applyPendingReset(input0[0], cascade);
    applyPartnerReset(input1[0], cascade);
    withSectionCount(sections, [&]<int Sections>() {
        directFormPointsPair<Sections>(tables, state_, other.state_, input0, output0, input1,
                                       output1, frames);
    });
    passThroughState(state_, sections, frames);
    passThroughState(other.state_, sections, frames);
    singleRunOf(cascade, frames);
    mix(input0, output0, false);
    mix(input1, output1, true);
    finishPairBlock();
    return true;
}

void BiquadProcessor::setState(const SectionState* states) noexcept {
    std::copy(states, states + sectionCount_, state_);
    pendingReset_ = PendingReset::kNone;
}

}  // namespace tessel
