#include "dynamics/Capacitor.h"

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

// NaN holds the envelope (its difference is 0); infinities are brought to the float range so
// that the double state never becomes infinite or NaN.
inline double sanitize(float x, double y) noexcept {
    if (x != x) return y;
    return x > FLT_MAX ? FLT_MAX : (x < -FLT_MAX ? -FLT_MAX : x);
}

}  // namespace

double Capacitor::Style::ExpFunction::evaluate(double x) const {
    return std::exp(x);
}

Capacitor::Style::Style(const FunctionTableFunction& function)
    : reciprocalStep_(static_cast<double>(kSize - 1) / -kLowerBound),
      lowerBound_(kLowerBound),
      size_(kSize),
      table_(static_cast<std::size_t>(kSize) + 1) {
    const double step = -kLowerBound / static_cast<double>(kSize - 1);
    for (int32_t j = 0; j < kSize - 1; ++j)
        table_[static_cast<std::size_t>(j)] =
            function.evaluate(kLowerBound + static_cast<double>(j) * step);
    // The last two entries hold the value at 0 exactly, so a look-up at 0 needs no special case.
    table_[static_cast<std::size_t>(kSize - 1)] = function.evaluate(0.0);
    table_[static_cast<std::size_t>(kSize)] = function.evaluate(0.0);
}

double Capacitor::Style::lookup(double x) const noexcept {
    x = x > lowerBound_ ? x : lowerBound_;  // NaN lands on the lower bound
    x = x < 0.0 ? x : 0.0;
    const double v = x * reciprocalStep_ + static_cast<double>(size_ - 1);
    const int32_t j = static_cast<int32_t>(v) & (size_ - 1);
    const double a = table_[static_cast<std::size_t>(j)];
    const double b = table_[static_cast<std::size_t>(j) + 1];
    return a + (b - a) * (v - static_cast<double>(j));
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
      releaseCoefficients_(environment) {
    attackTime_.setLimits(0.0f, 10.0f);
    releaseTime_.parameter().setLimits(0.0f, 10.0f);
    releaseShape_.setLimits(0.0f, 1.0f);
    releaseDependency_.setLimits(-1.0f, 1.0f);
}

Capacitor::~Capacitor() = default;

bool Capacitor::isSettled() const {
    return resetPending_ || std::fabs(state_ - static_cast<double>(restingValue_)) <= kSettled;
}

double Capacitor::coefficient(float timeSamples) noexcept {
    return timeSamples > kFloatTolerance ? 1.0 - std::exp(-kLn10 / static_cast<double>(timeSamples))
                                         : 1.0;
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
    const bool plainShape = shape->isConstant() && nearlyEqual(shape->data()[0], 1.0f);
    const bool noDependency = dependency->isConstant() && nearlyEqual(dependency->data()[0], 0.0f);
    if (plainShape && noDependency) {
        filterVector(x, out->data(), attack, release, frames);
    } else {
        filterScalar(x, out->data(), attack->data(), release->data(), shape, dependency, frames);
    }
    out->setConstant(false);
}

void Capacitor::filterScalar(const float* x, float* out, const float* attack, const float* release,
                             const wave::BasicBlock<float>* shapeBlock,
                             const wave::BasicBlock<float>* dependencyBlock,
                             int32_t frames) noexcept {
    const float fs = environment()->sampleRate();
    const bool plainShape = shapeBlock->isConstant() && nearlyEqual(shapeBlock->data()[0], 1.0f);
    const bool noDependency =
        dependencyBlock->isConstant() && nearlyEqual(dependencyBlock->data()[0], 0.0f);
    const float* shape = shapeBlock->data();
    const float* dependency = dependencyBlock->data();
    double y = state_;
    bool inRelease = inRelease_;
    for (int32_t i = 0; i < frames; ++i) {
        const double d = sanitize(x[i], y) - y;
        double step;
        inRelease = d <= kReleaseThreshold;
        if (inRelease) {
            float t = release[i];
            if (!plainShape) {
                // T * (s + (1 - s) * drop / 10 dB): 1 x T for a 10 dB drop, more for larger ones.
                const float u = static_cast<float>(-0.1 * static_cast<double>(t) * d);
                t = (t - u) * shape[i] + u;
            }
            if (!noDependency && d > -10.0) {
                const float df = static_cast<float>(d);
                const float moved = std::fabs(df - dependencyDrop_);
                if ((i & 15) == 0 || moved > df * df * df * df * 1e-5f + 4e-5f) {
                    dependencyDrop_ = df;
                    dependencyValue_ = static_cast<float>(style_->lookup(d));
                }
                t += dependencyValue_ * dependency[i];
            }
            t *= fs;
            if (t != releaseSamples_) {
                releaseSamples_ = t;
                releaseCoefficient_ = coefficient(t);
            }
            step = d * releaseCoefficient_;
        } else {
            const float t = attack[i] * fs;
            if (t != attackSamples_) {
                attackSamples_ = t;
                attackCoefficient_ = coefficient(t);
            }
            step = d * attackCoefficient_;
        }
        y += step;
        out[i] = static_cast<float>(y);
    }
    state_ = y;
    inRelease_ = inRelease;
}

void Capacitor::filterVector(const float* x, float* out, const wave::BasicBlock<float>* attack,
                             const wave::BasicBlock<float>* release, int32_t frames) noexcept {
    const float fs = environment()->sampleRate();
    // Constant times use the cached coefficients; moving times get one fast exponential per
    // sample in a loop the compiler vectorises, four samples at a time on SSE2.
    const auto coefficients = [&](const wave::BasicBlock<float>* times, float& cachedSamples,
                                  double& cachedCoefficient,
                                  wave::BasicBlock<float>& scratch) -> const float* {
        if (times->isConstant()) {
            const float t = times->data()[0] * fs;
            if (t != cachedSamples) {
                cachedSamples = t;
                cachedCoefficient = coefficient(t);
            }
            return nullptr;
        }
        const float* __restrict seconds = times->data();
        float* __restrict c = scratch.data();
        for (int32_t i = 0; i < frames; ++i) {
            const float t = seconds[i] * fs;
            const float safe = t > kFloatTolerance ? t : 1.0f;
            const float k = 1.0f - fastExp(-kLn10f / safe);
            c[i] = t > kFloatTolerance ? k : 1.0f;
        }
        return c;
    };
    const float* ac = coefficients(attack, attackSamples_, attackCoefficient_, attackCoefficients_);
    const float* rc =
        coefficients(release, releaseSamples_, releaseCoefficient_, releaseCoefficients_);
    const double a0 = attackCoefficient_;
    const double r0 = releaseCoefficient_;
    double y = state_;
    bool inRelease = inRelease_;
    for (int32_t i = 0; i < frames; ++i) {
        const double d = sanitize(x[i], y) - y;
        inRelease = d <= kReleaseThreshold;
        const double c = inRelease ? (rc != nullptr ? rc[i] : r0) : (ac != nullptr ? ac[i] : a0);
        y += d * c;
        out[i] = static_cast<float>(y);
    }
    state_ = y;
    inRelease_ = inRelease;
}

}  // namespace tessel
