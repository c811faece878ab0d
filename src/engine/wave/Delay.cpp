#include "engine/wave/Delay.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/wave/Environment.h"

namespace tessel::wave {

namespace {

int32_t nextPowerOfTwo(int32_t n) {
    int32_t p = 1;
    while (p < n)
        p <<= 1;
    return p;
}

}  // namespace

Delay::Delay(Environment* environment, int32_t maximumDelay)
    : Component(environment), maximumDelay_(std::max(maximumDelay, 0)) {
    const int32_t n = ringLength();
    ring_.resize(n);
    mask_ = n - 1;
    readBase_ = n;
    environment->addMaxBlockSizeListener(this);
}

Delay::~Delay() {
    environment()->removeMaxBlockSizeListener(this);
}

int32_t Delay::ringLength() const {
    return nextPowerOfTwo(environment()->maxBlockSize() + maximumDelay_);
}

void Delay::maxBlockSizeChanged() {
    const int32_t oldLength = mask_ + 1;
    const int32_t n = ringLength();
    if (n == oldLength) return;
    ring_.resize(n);
    mask_ = n - 1;
    readBase_ += n - oldLength;
    fillCount_ = std::min(fillCount_, n);
    writeIndex_ &= mask_;
}

void Delay::setMaximumDelay(int32_t maximumDelay) {
    maximumDelay_ = std::max(maximumDelay, 0);
    const int32_t oldLength = mask_ + 1;
    const int32_t n = ringLength();
    if (n != oldLength) {
        ring_.resize(n);
        mask_ = n - 1;
        readBase_ += n - oldLength;
    }
    clear();
}

void Delay::clear() noexcept {
    fillCount_ = 0;
    writeIndex_ = 0;
}

void Delay::write(const float* samples, int32_t frames) noexcept {
    const int32_t n = mask_ + 1;
    frames = std::min(frames, n);
    const int32_t first = std::min(frames, n - writeIndex_);
    std::memcpy(ring_.data() + writeIndex_, samples,
                static_cast<std::size_t>(first) * sizeof(float));
    if (frames > first) {
        std::memcpy(ring_.data(), samples + first,
                    static_cast<std::size_t>(frames - first) * sizeof(float));
    }
    writeIndex_ = (writeIndex_ + frames) & mask_;
    if (fillCount_ < n) fillCount_ = std::min(fillCount_ + frames, n);
}

void Delay::read(int32_t delay, float* out, int32_t frames) const noexcept {
    const int32_t n = mask_ + 1;
    delay = std::clamp(delay, 0, maximumDelay_);
    const int32_t start = (writeIndex_ + readBase_ - delay - frames) & mask_;
    const int32_t first = std::min(frames, n - start);  // the unwrapped part
    if (start < fillCount_) {
        std::memcpy(out, ring_.data() + start, static_cast<std::size_t>(first) * sizeof(float));
    } else {
        std::memset(out, 0, static_cast<std::size_t>(first) * sizeof(float));
    }
    if (frames > first) {
        // The wrapped part starts at ring index 0, which is written whenever anything is.
        const int32_t rest = frames - first;
        const int32_t written = std::clamp(fillCount_, 0, rest);
        std::memcpy(out + first, ring_.data(), static_cast<std::size_t>(written) * sizeof(float));
        if (written < rest)
            std::memset(out + first + written, 0,
                        static_cast<std::size_t>(rest - written) * sizeof(float));
    }
}

void Delay::readLinear(const float* delays, float* out, int32_t frames) const noexcept {
    const int32_t base = writeIndex_ + readBase_ - frames;
    const float* x = ring_.data();
    const int32_t mask = mask_;
    const bool full = fillCount_ > mask;
    for (int32_t i = 0; i < frames; ++i) {
        const float d = clampDelay(delays[i]);
        // Split the delay into whole and fractional samples: position i + base - d = k + f.
        // d >= 0, so truncation is floor; ceil without a libm call on baseline SSE2.
        int32_t whole = static_cast<int32_t>(d);
        whole += static_cast<float>(whole) < d ? 1 : 0;
        const float f = static_cast<float>(whole) - d;  // in [0, 1)
        const int32_t k = i + base - whole;
        // Once the line has been filled every index is written: skip the fill tests.
        const float x0 = full ? x[k & mask] : sampleAt(k);
        const float x1 = full ? x[(k + 1) & mask] : sampleAt(k + 1);
        // An integer delay must not touch the neighbour: a NaN there would leak a sample early.
        out[i] = f > 0.0f ? x0 + f * (x1 - x0) : x0;
    }
}

void Delay::readAllpass(const float* delays, float* out, float& state,
                        int32_t frames) const noexcept {
    const int32_t base = writeIndex_ + readBase_ - frames;
    float s = state;
    for (int32_t i = 0; i < frames; ++i) {
        const float d = clampDelay(delays[i]);
        float y;
        if (d > 0.618f) {
            // Keep the fractional part in [0.618, 1.618), where the all-pass delay is accurate
            // and its coefficient stays well inside the unit circle.
            int32_t n = static_cast<int32_t>(d);
            float f = d - static_cast<float>(n);
            if (f < 0.618f) {
                f += 1.0f;
                n -= 1;
            }
            const int32_t j = i + base - n;
            const float a = (1.0f - f) / (1.0f + f);
            y = a * (sampleAt(j) - s) + sampleAt(j - 1);
        } else {
            y = sampleAt(i + base);
        }
        out[i] = y;
        s = y;
    }
    state = std::isfinite(s) ? s : 0.0f;
}

}  // namespace tessel::wave
