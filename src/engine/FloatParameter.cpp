#include "engine/FloatParameter.h"

#include <algorithm>
#include <cmath>

#include "engine/wave/Environment.h"
#include "support/Tolerance.h"

namespace tessel {

FloatParameter::FloatParameter(wave::Environment* environment, float initialValue)
    : wave::Component(environment),
      block_(environment, this),
      maximum_(std::max(std::isfinite(initialValue) ? initialValue : 0.0f, 1.0f)),
      minimum_(std::min(std::isfinite(initialValue) ? initialValue : 0.0f, 0.0f)),
      range_(maximum_ - minimum_),
      target_(std::isfinite(initialValue) ? initialValue : 0.0f) {}

float FloatParameter::currentValue() const noexcept {
    if (!isRamping()) return target_;
    return static_cast<float>(static_cast<double>(rampStart_) +
                              static_cast<double>(rampPosition_) * static_cast<double>(increment_));
}

void FloatParameter::setLimits(float minimum, float maximum) noexcept {
    if (std::isnan(minimum) || std::isnan(maximum)) return;
    if (maximum < minimum) std::swap(minimum, maximum);
    minimum_ = minimum;
    maximum_ = maximum;
    range_ = maximum_ - minimum_;
    target_ = std::clamp(target_, minimum_, maximum_);
    rampPosition_ = rampLength_ = 0;
    filledCount_ = 0;
}

void FloatParameter::setAutomaticRampTimes(float minimumMs, float maximumMs) noexcept {
    minimumRampMs_ = std::max(minimumMs, 0.0f);
    maximumRampMs_ = std::max(maximumMs, minimumRampMs_);
}

void FloatParameter::setValue(float value, float timeMs) noexcept {
    if (std::isnan(value)) return;
    value = std::clamp(value, minimum_, maximum_);
    if (std::fabs(value - target_) <= kFloatTolerance) return;

    const wave::Environment& env = *environment();
    const int64_t now = env.samplePosition();
    const bool continuous = lastPosition_ > env.resetPosition() && lastPosition_ == now;
    lastPosition_ = now;

    float start = continuous && isRamping() ? currentValue() : target_;
    rampPosition_ = 0;
    filledCount_ = 0;

    if (wrapPeriod_ > 0.0f) {
        // Ramp the shorter way round the circle: move the start by whole periods so that it lies
        // within half a period of the new value.
        double unused;
        const double fa = std::modf(static_cast<double>(start) / wrapPeriod_, &unused);
        const double fb = std::modf(static_cast<double>(value) / wrapPeriod_, &unused);
        double d = std::modf(fb - fa, &unused);
        if (d > 0.5) d -= 1.0;
        if (d < -0.5) d += 1.0;
        start = std::clamp(static_cast<float>(value - d * wrapPeriod_), minimum_, maximum_);
    }

    float time = timeMs;
    if (!(time >= 0.0f)) {
        if (!continuous) {
            time = 0.0f;
        } else {
            const float r = range_ > 0.0f ? std::fabs(value - start) / range_ : 1.0f;
            const float s = std::max(0.3f - r, 0.0f);
            time = minimumRampMs_ + (maximumRampMs_ - minimumRampMs_) * s * s * 11.111111f;
        }
    }
    const double samples = static_cast<double>(time) * env.sampleRate() * 0.001;
    const int32_t n = samples < 2147483647.0 ? static_cast<int32_t>(samples) : 2147483647;
    rampLength_ = n;
    rampStart_ = start;
    increment_ = n > 0 ? (value - start) / static_cast<float>(n) : 0.0f;
    target_ = value;
}

void FloatParameter::skip(int64_t samples) noexcept {
    if (!isRamping() || samples <= 0) return;
    const int64_t left = rampLength_ - rampPosition_;
    rampPosition_ += static_cast<int32_t>(std::min(samples, left));
}

void FloatParameter::catchUp(int32_t frames) noexcept {
    const wave::Environment& env = *environment();
    const int64_t gap = env.samplePosition() - lastPosition_;
    if (lastPosition_ > env.resetPosition() && gap >= 0 && gap <= 0xFFFFFFFFll) {
        skip(gap);
    } else {
        finishRamp();
    }
    lastPosition_ = env.samplePosition() + frames;
}

void FloatParameter::finishRamp() noexcept {
    if (isRamping()) filledCount_ = 0;
    rampPosition_ = rampLength_;
}

wave::BasicBlock<float>* FloatParameter::valueBlock(int32_t frames) noexcept {
    float* out = block_.data();
    if (!isRamping()) {
        block_.setConstant(true);
        for (int32_t i = filledCount_; i < frames; ++i)
            out[i] = target_;
        filledCount_ = std::max(filledCount_, frames);
        return &block_;
    }
    block_.setConstant(false);
    const int32_t k = std::min(rampLength_ - rampPosition_, frames);
    // Accumulate in double: a float running sum drifts over a ramp of thousands of samples.
    const double start = rampStart_;
    const double increment = increment_;
    const double position = rampPosition_;
    for (int32_t i = 0; i < k; ++i) {
        out[i] = static_cast<float>(start + (position + static_cast<double>(i)) * increment);
    }
    rampPosition_ += k;
    for (int32_t i = k; i < frames; ++i)
        out[i] = target_;
    filledCount_ = 0;
    return &block_;
}

}  // namespace tessel
