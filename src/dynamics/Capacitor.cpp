#include "dynamics/Capacitor.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>

#include "support/FastExp.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

// ln 10: a time constant of T samples makes the state cover 90 % of a step (-20 dB of the
// remaining difference) in T samples.
constexpr double kLn10 = 2.3025851;
constexpr float kLn10f = 2.3025851f;
constexpr double kReleaseThreshold = -static_cast<double>(kFloatTolerance);
constexpr double kSilence = 1e-9;
constexpr double kSettled = 1e-6;
// From this many samples up the [2/2] Pade form of 1 - e^-a is within 6e-7 of it (relative);
// below, 1 - e^-a is at least 0.13 and the fast exponential keeps it about as precise.
constexpr float kPadeSamples = 16.0f;
// Drops at or below -10 dB get no extra release time.
constexpr double kDependencyFloorDb = -10.0;
// The release table's nodes sit on every fourth node of the exponential table, from a drop of 0
// down to just past -10 dB, so that each node's E(d) is a table entry.
constexpr int32_t kNodeStride = 4;
constexpr double kNodeSpacingDb =
    kNodeStride * -Capacitor::Style::kLowerBound / (Capacitor::Style::kSize - 1);
// See Capacitor::prepareReleaseTable.
constexpr double kTableBend = 8e-4;
// 1.5 * 2^52: adding it to a double in [0, 2^51) rounds it to an integer held in the low
// mantissa bits.
constexpr double kRoundToInteger = 6755399441055744.0;

// Infinities are brought to the float range so that the double state never becomes infinite;
// NaN is left to the callers (it holds the envelope).
inline double finite(float x) noexcept {
    const float low = x > -FLT_MAX ? x : -FLT_MAX;
    return low < FLT_MAX ? low : FLT_MAX;
}

// The difference between input and state; 0 for a NaN input when the block has any.
template <bool kNaNInput>
inline double drop(float x, double y) noexcept {
    if constexpr (kNaNInput) {
        return x == x ? finite(x) - y : 0.0;
    } else {
        return finite(x) - y;
    }
}

// The [2/2] Pade form of 1 - e^-a, a = ln10 / T: a / (1 + a/2 + a^2/12), multiplied out by T^2,
// with the denominator T^2 + ln10 T / 2 + ln10^2 / 12 written as a square plus a constant.
// Within 6e-7 (relative) of 1 - e^-a from 16 samples up.
inline float padeCoefficient(float timeSamples) noexcept {
    // Huge times would overflow the square; NaN passes on.
    const float t = timeSamples > 1e18f ? 1e18f : timeSamples;
    const float q = t + 0.25f * kLn10f;
    return kLn10f * t / (q * q + kLn10f * kLn10f * (1.0f / 48.0f));
}

// 1 - e^(-ln10 / T), see Capacitor::coefficient. Inline and branch-free for the loops.
inline float coefficientOf(float timeSamples) noexcept {
    const float t = timeSamples;
    const float pade = padeCoefficient(t);
    const float safe = t > kFloatTolerance ? t : 1.0f;
    const float direct = 1.0f - fastExp(-kLn10f / safe);
    return t >= kPadeSamples ? pade : (t > kFloatTolerance ? direct : 1.0f);
}

// The same in double precision for one time inside a recursion: the Pade form as one division
// (on T + ln10 / 4, which the caller may have at hand), the fast exponential for short times.
inline double coefficientOf(double timeSamples, double shifted) noexcept {
    if (timeSamples >= static_cast<double>(kPadeSamples)) [[likely]]
        return kLn10 * timeSamples / (shifted * shifted + kLn10 * kLn10 / 48.0);
    return static_cast<double>(coefficientOf(static_cast<float>(timeSamples)));
}

}  // namespace

double Capacitor::Style::ExpFunction::evaluate(double x) const {
    return std::exp(x);
}

Capacitor::Style::Style(const FunctionTableFunction& function)
    : table_(static_cast<std::size_t>(kSize) + 1) {
    const double step = -kLowerBound / static_cast<double>(kSize - 1);
    for (int32_t j = 0; j < kSize - 1; ++j)
        table_[static_cast<std::size_t>(j)] =
            function.evaluate(kLowerBound + static_cast<double>(j) * step);
    // The last two entries hold the value at 0 exactly, so a look-up at 0 needs no special case.
    table_[static_cast<std::size_t>(kSize - 1)] = function.evaluate(0.0);
    table_[static_cast<std::size_t>(kSize)] = function.evaluate(0.0);
}

int32_t Capacitor::Style::userCount() {
    return SharedResource<Style>::userCount();
}

Capacitor::Capacitor(wave::Environment* environment)
    : wave::Filter(environment),
      attackTime_(environment, 0.0005f),
      releaseTime_(environment, 0.1f),
      releaseShape_(environment, 1.0f),
      releaseDependency_(environment, 0.0f),
      attackCoefficients_(environment),
      releaseCoefficients_(environment),
      releaseBase_(environment),
      releaseSlope_(environment),
      releaseDependencyScale_(environment),
      releaseTable_(2 * static_cast<std::size_t>(kReleaseTableNodes)),
      tableTimes_(static_cast<std::size_t>(kReleaseTableNodesInUse) + 1) {
    attackTime_.setLimits(0.0f, 10.0f);
    releaseTime_.parameter().setLimits(0.0f, 10.0f);
    releaseShape_.setLimits(0.0f, 1.0f);
    releaseDependency_.setLimits(-1.0f, 1.0f);
}

Capacitor::~Capacitor() = default;

bool Capacitor::isSettled() const {
    return resetPending_ || std::fabs(state_ - static_cast<double>(restingValue_)) <= kSettled;
}

float Capacitor::coefficient(float timeSamples) noexcept {
    return coefficientOf(timeSamples);
}

int32_t Capacitor::coefficients(const wave::BasicBlock<float>* seconds, float* out,
                                float& cachedSamples, float& cachedCoefficient,
                                int32_t frames) const noexcept {
    const float fs = environment()->sampleRate();
    if (seconds->isConstant()) {
        const float t = seconds->data()[0] * fs;
        if (t != cachedSamples) {
            cachedSamples = t;
            cachedCoefficient = coefficientOf(t);
        }
        out[0] = cachedCoefficient;
        return 0;
    }
    // Moving times: one evaluation per sample, four samples at a time on SSE2. Times under 16
    // samples are rare; only a block that has one pays for the fast exponential.
    const float* __restrict t = seconds->data();
    float* __restrict c = out;
    int32_t shortTimes = 0;
    for (int32_t i = 0; i < frames; ++i) {
        const float ts = t[i] * fs;
        c[i] = padeCoefficient(ts);
        shortTimes += ts < kPadeSamples ? 1 : 0;
    }
    if (shortTimes > 0) {
        for (int32_t i = 0; i < frames; ++i)
            c[i] = coefficientOf(t[i] * fs);
    }
    return -1;
}

void Capacitor::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                       int32_t) noexcept {
    if (resetPending_) {
        resetPending_ = false;
        state_ = restingValue_;
        inRelease_ = false;
    }
    attackTime_.catchUp(frames);
    releaseShape_.catchUp(frames);
    releaseDependency_.catchUp(frames);
    wave::Producer* releaseSource =
        releaseInput_ != nullptr ? releaseInput_ : releaseTime_.source();
    const wave::BasicBlock<float>* release = releaseSource->pull(frames);
    const wave::BasicBlock<float>* attack = attackTime_.valueBlock(frames);
    const wave::BasicBlock<float>* shape = releaseShape_.valueBlock(frames);
    const wave::BasicBlock<float>* dependency = releaseDependency_.valueBlock(frames);

    const float* x = in->data();
    if (std::fabs(state_ - restingValue_) <= kSilence) {
        // A resting envelope fed with its resting value: pass the input on untouched.
        bool resting = true;
        const int32_t n = in->isConstant() ? 1 : frames;
        for (int32_t i = 0; i < n; ++i)
            resting &= std::fabs(x[i] - restingValue_) <= static_cast<float>(kSilence);
        if (resting) {
            setOutputBlock(in);
            return;
        }
    }
    // NaN samples need a select inside the recursion; only blocks that have one pay for it.
    int32_t nanCount = 0;
    for (int32_t i = 0; i < frames; ++i)
        nanCount += x[i] != x[i] ? 1 : 0;
    const auto run = [nanCount](auto&& loop) {
        if (nanCount > 0) {
            loop.template operator()<true>();
        } else {
            loop.template operator()<false>();
        }
    };
    float* y = out->data();
    out->setConstant(false);

    const Coefficients ac{attackCoefficients_.data(),
                          coefficients(attack, attackCoefficients_.data(), attackSamples_,
                                       attackCoefficient_, frames)};
    const bool plainShape = shape->isConstant() && nearlyEqual(shape->data()[0], 1.0f);
    const bool noDependency = dependency->isConstant() && nearlyEqual(dependency->data()[0], 0.0f);
    if (plainShape && noDependency) {
        const Coefficients rc{releaseCoefficients_.data(),
                              coefficients(release, releaseCoefficients_.data(), releaseSamples_,
                                           releaseCoefficient_, frames)};
        run([&]<bool kNaN>() { filterPlain<kNaN>(x, y, ac, rc, frames); });
        return;
    }
    // The release time in samples is base + slope * |d| + scale * E(d): with u = -0.1 T d,
    // (T - u) s + u = T s + 0.1 T (1 - s) |d| in release (d < 0). A shape of 1 or a dependency
    // of 0 drops its term, as the plain rule does.
    const float fs = environment()->sampleRate();
    const float dependencyScale = noDependency ? 0.0f : fs;
    if (release->isConstant() && shape->isConstant() && dependency->isConstant()) {
        // Steady settings: the coefficient is a function of the drop alone, tabulated.
        const float ts = release->data()[0] * fs;
        const float s = plainShape ? 1.0f : shape->data()[0];
        if (prepareReleaseTable(ts * s, 0.1f * ts * (1.0f - s),
                                dependency->data()[0] * dependencyScale)) {
            run([&]<bool kNaN>() { filterTabled<kNaN>(x, y, ac, frames); });
            return;
        }
    }
    const float* __restrict t = release->data();
    const float* __restrict s = shape->data();
    const float* __restrict p = dependency->data();
    float* __restrict base = releaseBase_.data();
    float* __restrict slope = releaseSlope_.data();
    float* __restrict scale = releaseDependencyScale_.data();
    if (plainShape) {
        for (int32_t i = 0; i < frames; ++i) {
            base[i] = t[i] * fs;
            slope[i] = 0.0f;
        }
    } else {
        for (int32_t i = 0; i < frames; ++i) {
            const float ts = t[i] * fs;
            base[i] = ts * s[i];
            slope[i] = 0.1f * ts * (1.0f - s[i]);
        }
    }
    for (int32_t i = 0; i < frames; ++i)
        scale[i] = p[i] * dependencyScale;
    run([&]<bool kNaN>() { filterDependent<kNaN>(x, y, ac, frames); });
}

bool Capacitor::prepareReleaseTable(float base, float slope, float scale) noexcept {
    if (base == tableBase_ && slope == tableSlope_ && scale == tableScale_) return tableUsable_;
    tableBase_ = base;
    tableSlope_ = slope;
    tableScale_ = scale;
    // Node k is the drop d = -k * spacing, whose E(d) is entry (N - 1) - 4 k of the exponential
    // table. First the release time at each node, then its coefficient (vectorised, as for a
    // block of moving times), then the step d * c.
    const double* e = style_->values() + (Style::kSize - 1);
    float* __restrict c = tableTimes_.data();
    constexpr int32_t kNodes = kReleaseTableNodesInUse + 1;
    for (int32_t k = 0; k < kNodes; ++k)
        c[k] =
            static_cast<float>(base + slope * (k * kNodeSpacingDb) + scale * e[-kNodeStride * k]);
    int32_t shortTimes = 0;
    for (int32_t k = 0; k < kNodes; ++k)
        shortTimes += c[k] < kPadeSamples ? 1 : 0;
    if (shortTimes > 0) {
        for (int32_t k = 0; k < kNodes; ++k)
            c[k] = coefficientOf(c[k]);
    } else {
        for (int32_t k = 0; k < kNodes; ++k)
            c[k] = padeCoefficient(c[k]);
    }
    double* __restrict steps = releaseTable_.data();
    double* __restrict changes = steps + kReleaseTableNodes;
    for (int32_t k = 0; k < kNodes; ++k)
        steps[k] = -(k * kNodeSpacingDb) * static_cast<double>(c[k]);
    // The table is trusted when the step's second difference stays below kTableBend times the
    // coefficient at every node in use: reading between nodes is then off by less than an eighth
    // of that per sample, and the envelope, which forgets a share c of its error per sample,
    // stays within 1e-4 dB of the rule. Very short times and release times that the dependency
    // makes vanish fail the test and run the exact rule instead. NaN fails it too.
    int32_t bent = 0;
    for (int32_t k = 1; k < kReleaseTableNodesInUse; ++k) {
        const double second = std::fabs(steps[k - 1] - 2.0 * steps[k] + steps[k + 1]);
        bent += second <= kTableBend * static_cast<double>(c[k]) ? 0 : 1;
    }
    // The change of the step per node spacing, by central differences.
    changes[0] = steps[1] - steps[0];
    for (int32_t k = 1; k < kReleaseTableNodesInUse; ++k)
        changes[k] = 0.5 * (steps[k + 1] - steps[k - 1]);
    tableUsable_ = bent == 0;
    return tableUsable_;
}

template <bool kNaNInput>
void Capacitor::filterTabled(const float* x, float* out, Coefficients attack,
                             int32_t frames) noexcept {
    // Drops above -10 dB read their step from the nearest node and its change per node: the
    // index comes out of a rounding addition, so no conversion to integer and back sits in the
    // recursion. Larger drops have no dependency term: a constant coefficient for a plain
    // shape, else the time's Pade form.
    const double* __restrict table = releaseTable_.data();
    const double base = tableBase_;
    const double slope = tableSlope_;
    const double beyond = coefficientOf(base, base + 0.25 * kLn10);
    const bool plainShape = slope == 0.0;
    double y = state_;
    bool inRelease = inRelease_;
    for (int32_t i = 0; i < frames; ++i) {
        const double d = drop<kNaNInput>(x[i], y);
        double step;
        if (d > kDependencyFloorDb) {
            // u in [0, 819.1): nodes 0 .. 819 (the mask only keeps any index in the table).
            const double u = std::max(d * (-1.0 / kNodeSpacingDb), 0.0);
            const double rounded = u + kRoundToInteger;
            const auto k =
                static_cast<int32_t>(std::bit_cast<uint64_t>(rounded) & (kReleaseTableNodes - 1));
            step = table[k] + table[kReleaseTableNodes + k] * (u - (rounded - kRoundToInteger));
        } else if (plainShape) {
            step = d * beyond;
        } else {
            const double t = base - slope * d;
            step = d * coefficientOf(t, t + 0.25 * kLn10);
        }
        inRelease = d <= kReleaseThreshold;
        y += inRelease ? step : d * static_cast<double>(attack[i]);
        out[i] = static_cast<float>(y);
    }
    state_ = y;
    inRelease_ = inRelease;
}

template <bool kNaNInput>
void Capacitor::filterPlain(const float* x, float* out, Coefficients attack, Coefficients release,
                            int32_t frames) noexcept {
    double y = state_;
    bool inRelease = inRelease_;
    const auto run = [&](auto attackAt, auto releaseAt) {
        for (int32_t i = 0; i < frames; ++i) {
            const double d = drop<kNaNInput>(x[i], y);
            inRelease = d <= kReleaseThreshold;
            y += d * (inRelease ? releaseAt(i) : attackAt(i));
            out[i] = static_cast<float>(y);
        }
    };
    if ((attack.mask | release.mask) == 0) {
        // Steady times (the usual case): both coefficients stay in registers.
        const double a = attack[0];
        const double r = release[0];
        run([a](int32_t) { return a; }, [r](int32_t) { return r; });
    } else {
        run([attack](int32_t i) { return static_cast<double>(attack[i]); },
            [release](int32_t i) { return static_cast<double>(release[i]); });
    }
    state_ = y;
    inRelease_ = inRelease;
}

template <bool kNaNInput>
void Capacitor::filterDependent(const float* x, float* out, Coefficients attack,
                                int32_t frames) noexcept {
    // The release time depends on the drop, so its coefficient is computed inside the
    // recursion: the table exponential (every sample, not cached), the time, and the Pade form
    // as one division. Everything that does not depend on the state was computed beforehand.
    const double* table = style_->values();
    const float* __restrict base = releaseBase_.data();
    const float* __restrict slope = releaseSlope_.data();
    const float* __restrict scale = releaseDependencyScale_.data();
    double y = state_;
    bool inRelease = inRelease_;
    for (int32_t i = 0; i < frames; ++i) {
        const double d = drop<kNaNInput>(x[i], y);
        const double e = d > kDependencyFloorDb ? Style::lookup(table, d) : 0.0;
        // T + ln10 / 4, the time shifted as the Pade denominator wants it.
        const double shifted = (static_cast<double>(base[i]) + 0.25 * kLn10) +
                               static_cast<double>(slope[i]) * std::fabs(d) +
                               static_cast<double>(scale[i]) * e;
        const double released = d * coefficientOf(shifted - 0.25 * kLn10, shifted);
        const double attacked = d * static_cast<double>(attack[i]);
        inRelease = d <= kReleaseThreshold;
        y += inRelease ? released : attacked;
        out[i] = static_cast<float>(y);
    }
    state_ = y;
    inRelease_ = inRelease;
}

}  // namespace tessel
