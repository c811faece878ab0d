#include "dynamics/PeakHold.h"

#include <algorithm>
#include <cmath>

namespace tessel {

namespace {

int32_t maximumHoldFor(float sampleRate) {
    return std::max(static_cast<int32_t>(sampleRate * (PeakHold::kMaximumHoldMs * 0.001f)), 0);
}

}  // namespace

PeakHold::PeakHold(wave::Environment* environment)
    : wave::Filter(environment),
      holdTimeMs_(environment, 0.0f),
      maximumHoldSamples_(maximumHoldFor(environment->sampleRate())),
      delay_(environment, maximumHoldSamples_),
      magnitudes_(environment),
      delayed_(environment) {
    holdTimeMs_.setLimits(0.0f, kMaximumHoldMs);
    reset();
    // In the reset list, a sample-rate change re-sizes the window without the owner's help; an
    // ordinary reset at an unchanged rate keeps the storage and never allocates.
    environment->addResettable(this);
}

void PeakHold::reset() {
    const int32_t maximumHold = maximumHoldFor(environment()->sampleRate());
    if (maximumHold != maximumHoldSamples_ || queue_.empty()) {
        maximumHoldSamples_ = maximumHold;
        delay_.setMaximumDelay(maximumHold);
        // Queued peaks are local maxima inside the window, so at least two samples apart: half
        // the longest hold (plus the entry at the window's edge) is always enough.
        int32_t capacity = 1;
        while (capacity < maximumHold / 2 + 2)
            capacity <<= 1;
        queue_.assign(static_cast<std::size_t>(capacity), Peak{0, 0.0f});
        mask_ = capacity - 1;
    }
    delay_.clear();
    head_ = 0;
    count_ = 0;
    position_ = 0;
    falling_ = false;
    previous_ = 0.0f;
}

int32_t PeakHold::holdSamples(float holdMs) const noexcept {
    const int32_t h = static_cast<int32_t>(holdMs * environment()->sampleRate() * 0.001f);
    return std::clamp(h, 0, maximumHoldSamples_);
}

void PeakHold::push(int64_t position, float value) noexcept {
    // Values decrease from head to tail: find the first entry not greater than the new value.
    int32_t lo = 0;
    int32_t hi = count_;
    while (lo < hi) {
        const int32_t mid = (lo + hi) / 2;
        if (queue_[static_cast<std::size_t>((head_ + mid) & mask_)].value > value) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    if (lo == mask_ + 1) {
        // Cannot happen within the sizing rule; losing the oldest peak beats overwriting memory.
        head_ = (head_ + 1) & mask_;
        --lo;
    }
    queue_[static_cast<std::size_t>((head_ + lo) & mask_)] = Peak{position, value};
    count_ = lo + 1;
}

float PeakHold::expire(int32_t hold) noexcept {
    while (count_ > 0 && queue_[static_cast<std::size_t>(head_)].position + hold < position_) {
        head_ = (head_ + 1) & mask_;
        --count_;
    }
    return count_ > 0 ? queue_[static_cast<std::size_t>(head_)].value : 0.0f;
}

void PeakHold::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                      int32_t) noexcept {
    holdTimeMs_.catchUp(frames);
    const wave::BasicBlock<float>* hold = holdTimeMs_.valueBlock(frames);
    if (count_ == 0) position_ = 0;

    const float* __restrict x = in->data();
    float* __restrict m = magnitudes_.data();
    for (int32_t i = 0; i < frames; ++i) {
        const float a = std::fabs(x[i]);
        m[i] = a == a ? a : 0.0f;
    }
    delay_.write(m, frames);

    const bool constantHold = hold->isConstant();
    const int32_t constantH = holdSamples(hold->data()[0]);
    float* w = delayed_.data();
    if (constantHold) {
        if (constantH == 0 && count_ == 0) {
            // No window: the output is the magnitude itself. Keep the fall detection going.
            for (int32_t i = 0; i < frames; ++i)
                out->data()[i] = m[i];
            falling_ = frames > 0 ? (frames > 1 ? m[frames - 2] > m[frames - 1] : previous_ > m[0])
                                  : falling_;
            if (frames > 0) previous_ = m[frames - 1];
            position_ += frames;
            out->setConstant(false);
            return;
        }
        delay_.read(constantH, w, frames);
    } else {
        float* h = out->data();  // the delays, overwritten below sample by sample
        for (int32_t i = 0; i < frames; ++i)
            h[i] = static_cast<float>(holdSamples(hold->data()[i]));
        delay_.readLinear(h, w, frames);
    }

    float* y = out->data();
    for (int32_t i = 0; i < frames; ++i) {
        const int32_t h = constantHold ? constantH : static_cast<int32_t>(y[i]);
        const float v = m[i];
        if (previous_ > v) {
            if (!falling_) {
                falling_ = true;
                if (h > 0) push(position_ - 1, previous_);
            }
        } else {
            falling_ = false;
        }
        const float q = expire(h);
        y[i] = std::max(std::max(q, v), w[i]);
        previous_ = v;
        ++position_;
    }
    out->setConstant(false);
}

}  // namespace tessel
