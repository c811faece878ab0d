#include "dynamics/Capacitor.h"

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
// down to just past -10 dB (node 820), so that each node's E(d) is a table entry. Room for 1024
// nodes of steps, then 1024 of their changes per node.
constexpr int32_t kNodeStride = 4;
constexpr int32_t kReleaseTableNodes = 1024;
constexpr int32_t kLastNode = 820;
constexpr double kNodeSpacingDb =
    kNodeStride * -Capacitor::Style::kLowerBound / (Capacitor::Style::kSize - 1);
// See Capacitor::prepareReleaseTable.
constexpr double kTableBend = 8e-4;

// Infinities are brought to the float range so that the double state never becomes infinite;
// NaN stays NaN (it holds the envelope, see drop).
inline float finiteOrNaN(float x) noexcept {
    const float low = x < -FLT_MAX ? -FLT_MAX : x;
    return low > FLT_MAX ? FLT_MAX : low;
}

// The difference between a clean input sample x (v in the state's units) and the state; 0 for
// NaN when the block has any.
template <bool kNaNInput>
inline double drop(float x, double v, double y) noexcept {
    if constexpr (kNaNInput) {
        return x == x ? v - y : 0.0;
    } else {
        return v - y;
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

// A coefficient for the whole block, read like Coefficients but kept in a register.
struct Steady {
    double value;
    double operator[](int32_t) const noexcept { return value; }
};

}  // namespace

// Release steps: `next` is the state y after a drop d = x - y (d at or below the release
// threshold), all in units of kUnitsPerDb: dB, or nodes of the release table.

// A coefficient per sample (Coefficients) or for the block (Steady).
template <typename Rate>
struct Capacitor::PlainRelease {
    static constexpr double kUnitsPerDb = 1.0;
    Rate coefficient;
    double next(double y, double d, double, int32_t i) const noexcept {
        return y + d * coefficient[i];
    }
};

// Steady drop-dependent settings: the state runs in nodes of the release table, so that the drop
// in nodes is the difference itself, and a drop above -10 dB reads the step linearly between
// the nodes around it: offset + change * d. The recursion is kept short: the node index comes
// from y plus a constant minus the input (the input's part is known ahead) through a rounding
// addition, with no conversion to integer and back, and the state adds the offset while the
// change is being multiplied. Larger drops have no dependency term: a constant coefficient for a
// plain shape, else the time's Pade form.
struct Capacitor::TabledRelease {
    static constexpr double kUnitsPerDb = 1.0 / kNodeSpacingDb;
    // 1.5 * 2^32: in (kNodeRounding + u), u in [0, 1024), bits 20 to 29 hold floor(u) (within
    // 2^-20, where the two nodes' lines meet anyway).
    static constexpr double kNodeRounding = 6442450944.0;
    const double* table;
    double base;
    double slope;
    double beyond;  // the coefficient past -10 dB for a plain shape
    double next(double y, double d, double x, int32_t) const noexcept {
        if (d > kDependencyFloorDb * kUnitsPerDb) [[likely]] {
            // -d = y - x in (0, 819.1): nodes 0 .. 819.
            const double rounded = (kNodeRounding - x) + y;
            // The mask only keeps absurd states (beyond 2^20 nodes) inside the table.
            const uint32_t k = (static_cast<uint32_t>(std::bit_cast<uint64_t>(rounded)) >> 20) &
                               (kReleaseTableNodes - 1);
            return (y + table[k]) + table[kReleaseTableNodes + k] * d;
        }
        if (slope == 0.0) return y + d * beyond;
        const double t = base - slope * (d * kNodeSpacingDb);
        return y + d * coefficientOf(t, t + 0.25 * kLn10);
    }
};

// Moving drop-dependent settings: the rule per sample, with the table exponential and the Pade
// form as one division. Everything that does not depend on the state was computed beforehand.
struct Capacitor::DependentRelease {
    static constexpr double kUnitsPerDb = 1.0;
    const double* exponential;
    const float* base;
    const float* slope;
    const float* scale;
    double next(double y, double d, double, int32_t i) const noexcept {
        const double e = d > kDependencyFloorDb ? Style::lookup(exponential, d) : 0.0;
        // T + ln10 / 4, the time shifted as the Pade denominator wants it.
        const double shifted = (static_cast<double>(base[i]) + 0.25 * kLn10) -
                               static_cast<double>(slope[i]) * d +
                               static_cast<double>(scale[i]) * e;
        return y + d * coefficientOf(shifted - 0.25 * kLn10, shifted);
    }
};

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
      clean_(environment),
      releaseTable_(2 * static_cast<std::size_t>(kReleaseTableNodes)),
      tableTimes_(static_cast<std::size_t>(kLastNode) + 2) {
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

Capacitor::Controls Capacitor::begin(int32_t frames) noexcept {
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
    return Controls{attackTime_.valueBlock(frames), release, releaseShape_.valueBlock(frames),
                    releaseDependency_.valueBlock(frames)};
}

Capacitor::Input Capacitor::clean(const float* x, int32_t frames) noexcept {
    // Usually a single vectorised count of the samples that are not finite, which then need a
    // copy with infinities clamped (and NaN samples a select inside the recursion: only blocks
    // that have one pay for it). Samples away from the resting value only matter at rest.
    const float* __restrict in = x;
    int32_t nonFinite = 0;
    for (int32_t i = 0; i < frames; ++i)
        nonFinite += std::fabs(in[i]) <= FLT_MAX ? 0 : 1;
    bool resting = std::fabs(state_ - restingValue_) <= kSilence;
    if (resting) {
        const float rest = restingValue_;
        int32_t awake = 0;
        for (int32_t i = 0; i < frames; ++i)
            awake += std::fabs(in[i] - rest) <= static_cast<float>(kSilence) ? 0 : 1;
        resting = awake == 0;
    }
    if (nonFinite == 0) return Input{x, false, resting};
    int32_t nanCount = 0;
    float* __restrict c = clean_.data();
    for (int32_t i = 0; i < frames; ++i) {
        nanCount += in[i] != in[i] ? 1 : 0;
        c[i] = finiteOrNaN(in[i]);
    }
    return Input{c, nanCount > 0, resting};
}

Capacitor::Plan Capacitor::plan(const Controls& controls, int32_t frames) noexcept {
    const Coefficients attack{attackCoefficients_.data(),
                              coefficients(controls.attack, attackCoefficients_.data(),
                                           attackSamples_, attackCoefficient_, frames)};
    const wave::BasicBlock<float>* release = controls.release;
    const wave::BasicBlock<float>* shape = controls.shape;
    const wave::BasicBlock<float>* dependency = controls.dependency;
    const bool plainShape = shape->isConstant() && nearlyEqual(shape->data()[0], 1.0f);
    const bool noDependency = dependency->isConstant() && nearlyEqual(dependency->data()[0], 0.0f);
    if (plainShape && noDependency) {
        const Coefficients rc{releaseCoefficients_.data(),
                              coefficients(release, releaseCoefficients_.data(), releaseSamples_,
                                           releaseCoefficient_, frames)};
        return Plan{attack, rc, ReleaseKind::kPlain};
    }
    // The release time in samples is base + slope * |d| + scale * E(d): with u = -0.1 T d,
    // (T - u) s + u = T s + 0.1 T (1 - s) |d| in release (d < 0). A shape of 1 or a dependency
    // of 0 drops its term, as the plain rule does.
    const float fs = environment()->sampleRate();
    const float dependencyScale = noDependency ? 0.0f : fs;
    if (release->isConstant() && shape->isConstant() && dependency->isConstant()) {
        // Steady settings: the step is a function of the drop alone, tabulated.
        const float ts = release->data()[0] * fs;
        const float s = plainShape ? 1.0f : shape->data()[0];
        if (prepareReleaseTable(ts * s, 0.1f * ts * (1.0f - s),
                                dependency->data()[0] * dependencyScale))
            return Plan{attack, attack, ReleaseKind::kTabled};
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
    return Plan{attack, attack, ReleaseKind::kDependent};
}

void Capacitor::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                       int32_t) noexcept {
    const Controls controls = begin(frames);
    const Input input = clean(in->data(), frames);
    if (input.resting) {
        // A resting envelope fed with its resting value: pass the input on untouched.
        setOutputBlock(in);
        return;
    }
    run(plan(controls, frames), input, out->data(), frames);
    out->setConstant(false);
}

template <typename F>
void Capacitor::withRate(Coefficients coefficients, F&& f) noexcept {
    if (coefficients.mask == 0) {
        f(Steady{coefficients[0]});
    } else {
        f(coefficients);
    }
}

template <typename Rate, typename F>
void Capacitor::withRelease(const Plan& plan, const Rate& plainRate, F&& f) noexcept {
    switch (plan.kind) {
        case ReleaseKind::kPlain:
            f(PlainRelease<Rate>{plainRate});
            break;
        case ReleaseKind::kTabled:
            f(TabledRelease{releaseTable_.data(), tableBase_, tableSlope_, tableBeyond_});
            break;
        case ReleaseKind::kDependent:
            f(DependentRelease{style_->values(), releaseBase_.data(), releaseSlope_.data(),
                               releaseDependencyScale_.data()});
            break;
    }
}

void Capacitor::run(const Plan& plan, const Input& input, float* out, int32_t frames) noexcept {
    // Steady coefficients stay in registers: one instantiation per combination.
    withRate(plan.attack, [&](const auto& attack) {
        withRate(plan.release, [&](const auto& plainRate) {
            withRelease(plan, plainRate, [&](const auto& release) {
                if (input.nan) {
                    follow<true>(input.values, out, attack, release, frames);
                } else {
                    follow<false>(input.values, out, attack, release, frames);
                }
            });
        });
    });
}

template <bool kNaNInput, typename Attack, typename Release>
void Capacitor::follow(const float* x, float* out, const Attack& attack, const Release& release,
                       int32_t frames) noexcept {
    // A branch rather than a select: the input crosses the state rarely, and a predicted branch
    // keeps the choice out of the recursion's dependency chain.
    constexpr double kUnits = Release::kUnitsPerDb;
    constexpr double kThreshold = kReleaseThreshold * kUnits;
    double y = state_ * kUnits;
    double d = inRelease_ ? -1.0 : 0.0;  // keeps the release flag through an empty block
    for (int32_t i = 0; i < frames; ++i) {
        const double v = static_cast<double>(x[i]) * kUnits;
        d = drop<kNaNInput>(x[i], v, y);
        if (d <= kThreshold) {
            y = release.next(y, d, v, i);
        } else {
            y += d * attack[i];
        }
        out[i] = static_cast<float>(y * (1.0 / kUnits));
    }
    state_ = y * (1.0 / kUnits);
    inRelease_ = d <= kThreshold;
}

template <typename Attack, typename Release, typename FollowerAttack, typename FollowerRelease>
void Capacitor::runPair(Capacitor& follower, const float* x, float* out, float* followerOut,
                        const Attack& attack, const Release& release,
                        const FollowerAttack& followerAttack,
                        const FollowerRelease& followerRelease, int32_t frames) noexcept {
    // Two recursions in one loop: the follower reads the leader's sample as soon as it is out,
    // and the processor overlaps the two dependency chains.
    constexpr double kUnits = FollowerRelease::kUnitsPerDb;
    constexpr double kThreshold = kReleaseThreshold * kUnits;
    double y = state_;
    double z = follower.state_ * kUnits;
    double d = inRelease_ ? -1.0 : 0.0;
    double e = follower.inRelease_ ? -1.0 : 0.0;
    for (int32_t i = 0; i < frames; ++i) {
        const float v = x[i];
        d = static_cast<double>(v) - y;
        if (d <= kReleaseThreshold) {
            y = release.next(y, d, 0.0, i);
        } else {
            y += d * attack[i];
        }
        const float leader = static_cast<float>(y);
        out[i] = leader;
        const float magnitude = std::fabs(v);
        const float m = magnitude > leader ? magnitude : leader;
        const double w = static_cast<double>(m) * kUnits;
        e = w - z;
        if (e <= kThreshold) {
            z = followerRelease.next(z, e, w, i);
        } else {
            z += e * followerAttack[i];
        }
        followerOut[i] = static_cast<float>(z * (1.0 / kUnits));
    }
    state_ = y;
    inRelease_ = d <= kReleaseThreshold;
    follower.state_ = z * (1.0 / kUnits);
    follower.inRelease_ = e <= kThreshold;
}

void Capacitor::pullWithFollower(Capacitor& follower, int32_t frames) noexcept {
    if (computedThisCycle() || follower.computedThisCycle()) {
        pull(frames);
        follower.pull(frames);
        return;
    }
    wave::BasicBlock<float>* in = pullInput(frames);
    wave::BasicBlock<float>* out = ownBlock();
    wave::BasicBlock<float>* followerOut = follower.ownBlock();
    const Controls controls = begin(frames);
    const Controls followerControls = follower.begin(frames);
    const Input input = clean(in->data(), frames);
    setOutputBlock(out);
    follower.setOutputBlock(followerOut);
    markComputed();
    follower.markComputed();
    out->setConstant(false);
    followerOut->setConstant(false);

    const Plan p = input.resting ? Plan{} : plan(controls, frames);
    if (!input.resting && !input.nan && p.kind == ReleaseKind::kPlain) {
        const Plan f = follower.plan(followerControls, frames);
        const auto pair = [&](const auto& attack, const auto& release, const auto& followerAttack,
                              const auto& followerPlainRate) {
            follower.withRelease(f, followerPlainRate, [&](const auto& followerRelease) {
                runPair(follower, input.values, out->data(), followerOut->data(), attack, release,
                        followerAttack, followerRelease, frames);
            });
        };
        // Steady settings (the usual case) keep all four coefficients in registers.
        if ((p.attack.mask | p.release.mask | f.attack.mask | f.release.mask) == 0) {
            pair(Steady{p.attack[0]}, PlainRelease<Steady>{Steady{p.release[0]}},
                 Steady{f.attack[0]}, Steady{f.release[0]});
        } else {
            pair(p.attack, PlainRelease<Coefficients>{p.release}, f.attack, f.release);
        }
        return;
    }
    // One after the other, as the graph would run them.
    const float* leader = in->data();
    if (input.resting) {
        setOutputBlock(in);
    } else {
        run(p, input, out->data(), frames);
        leader = out->data();
    }
    // The follower's input goes into its output block, which it passes on if it rests.
    const float* __restrict x = input.values;
    float* __restrict m = followerOut->data();
    for (int32_t i = 0; i < frames; ++i) {
        const float magnitude = std::fabs(x[i]);
        m[i] = magnitude > leader[i] ? magnitude : leader[i];
    }
    const Input followerInput = follower.clean(m, frames);
    if (followerInput.resting) return;
    follower.run(follower.plan(followerControls, frames), followerInput, followerOut->data(),
                 frames);
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
    constexpr int32_t kNodes = kLastNode + 2;
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
    for (int32_t k = 1; k <= kLastNode; ++k) {
        const double second = std::fabs(steps[k - 1] - 2.0 * steps[k] + steps[k + 1]);
        bent += second <= kTableBend * static_cast<double>(c[k]) ? 0 : 1;
    }
    // Between nodes k and k + 1 the step for a drop of u nodes is offset + change * u, in nodes:
    // TabledRelease reads it as offset - change * d, so the change is stored negated.
    constexpr double kUnits = TabledRelease::kUnitsPerDb;
    for (int32_t k = 0; k < kLastNode; ++k) {
        const double change = (steps[k + 1] - steps[k]) * kUnits;
        changes[k] = -change;
        steps[k] = steps[k] * kUnits - change * k;
    }
    tableBeyond_ =
        coefficientOf(static_cast<double>(base), static_cast<double>(base) + 0.25 * kLn10);
    tableUsable_ = bent == 0;
    return tableUsable_;
}

}  // namespace tessel
