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
      delayed_(environment),
      fallStarts_(environment),
      windows_(2 * static_cast<std::size_t>(kDoublingChunk + kDoublingHold + 2)) {
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
    queueStale_ = false;
}

void PeakHold::restartFrom(float value) noexcept {
    // The state a window of |value| leaves behind: the value as the last sample in the line
    // (nothing older), queued as that sample's peak (it leaves one hold time from now), no fall
    // in progress.
    const float v = value == value ? std::fabs(value) : 0.0f;
    delay_.clear();
    delay_.write(&v, 1);
    head_ = 0;
    count_ = 0;
    position_ = 0;
    falling_ = false;
    queueStale_ = false;
    previous_ = v;
    if (v > 0.0f && !queue_.empty()) {
        queue_[0] = Peak{-1, v};
        count_ = 1;
    }
}

int32_t PeakHold::holdSamples(float holdMs) const noexcept {
    const int32_t h = static_cast<int32_t>(holdMs * environment()->sampleRate() * 0.001f);
    return std::clamp(h, 0, maximumHoldSamples_);
}

void PeakHold::push(int64_t position, float value) noexcept {
    // Values decrease from head to tail: drop every entry at the tail that is not greater than
    // the new value (the same entries a bisection for the first such entry would find). Each
    // entry leaves once, and a new peak rarely passes more than one or two, so walking from the
    // tail beats bisecting.
    int32_t n = count_;
    while (n > 0 && queue_[static_cast<std::size_t>((head_ + n - 1) & mask_)].value <= value)
        --n;
    if (n == mask_ + 1) {
        // Cannot happen within the sizing rule; losing the oldest peak beats overwriting memory.
        head_ = (head_ + 1) & mask_;
        --n;
    }
    queue_[static_cast<std::size_t>((head_ + n) & mask_)] = Peak{position, value};
    count_ = n + 1;
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
    if (constantHold && constantH <= kDoublingHold && frames > 0 && frames <= maximumHoldSamples_) {
        filterDoubling(m, out->data(), constantH, frames);
        out->setConstant(false);
        return;
    }
    if (queueStale_) rebuildQueue(frames);
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

    if (constantHold) {
        filterSteady(m, w, out->data(), constantH, frames);
        out->setConstant(false);
        return;
    }
    float* y = out->data();
    for (int32_t i = 0; i < frames; ++i) {
        const auto h = static_cast<int32_t>(y[i]);
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

void PeakHold::filterDoubling(const float* m, float* y, int32_t hold, int32_t frames) noexcept {
    // With P the largest power of two not above the window W = hold + 1, the maximum over a
    // window of P samples is built in log2(P) passes, each the maximum of the previous pass and
    // itself shifted by the previous width; two such windows ending W - P apart cover the whole
    // window. Chunk by chunk, each with the hold's history read back from the delay line.
    const int32_t window = hold + 1;
    float* a = windows_.data();
    float* b = a + (kDoublingChunk + kDoublingHold + 2);
    for (int32_t start = 0; start < frames; start += kDoublingChunk) {
        const int32_t n = std::min(kDoublingChunk, frames - start);
        const int32_t length = hold + n;
        delay_.read(frames - start - n, a, length);
        float* __restrict from = a;
        float* __restrict to = b;
        int32_t width = 1;
        for (; 2 * width <= window; width *= 2) {
            for (int32_t i = 2 * width - 1; i < length; ++i)
                to[i] = std::max(from[i], from[i - width]);
            std::swap(from, to);
        }
        const int32_t offset = window - width;
        float* __restrict out = y + start;
        for (int32_t i = 0; i < n; ++i)
            out[i] = std::max(from[hold + i], from[hold + i - offset]);
    }
    // What the queue path needs to carry on: the fall state and, on demand, a rebuilt queue.
    falling_ = frames > 1 ? m[frames - 2] > m[frames - 1] : previous_ > m[0];
    previous_ = m[frames - 1];
    position_ += frames;
    head_ = 0;
    count_ = 0;
    queueStale_ = true;
    staleHold_ = hold;
}

void PeakHold::rebuildQueue(int32_t frames) noexcept {
    // The queue as it would stand after the last sample (position - 1) with the stale hold H:
    // every fall start whose peak lies in [position - 1 - H, position - 2], pushed in order.
    // Pushing such a peak once more than the queue would have (at a fall that began before the
    // history read here) is harmless: it lies inside the window, so it never exceeds its maximum.
    queueStale_ = false;
    head_ = 0;
    count_ = 0;
    if (staleHold_ <= 0) return;
    const int32_t length = staleHold_ + 2;
    float* h = windows_.data();
    delay_.read(frames, h, length);
    const int64_t first = position_ - length;  // the position of h[0]
    for (int32_t k = 2; k < length; ++k) {
        if (h[k - 1] > h[k] && !(h[k - 2] > h[k - 1])) push(first + k - 1, h[k - 1]);
    }
}

void PeakHold::filterSteady(const float* m, const float* w, float* y, int32_t hold,
                            int32_t frames) noexcept {
    // The samples that start a fall (their predecessor is a peak to queue), collected without a
    // branch per sample. The queue changes only there and where its front leaves the window, so
    // its front is filled into y span by span, and the three terms are combined at the end.
    float* starts = fallStarts_.data();  // sample indices, exact in float
    int32_t startCount = 0;
    float before = previous_;
    bool wasFalling = falling_;
    for (int32_t i = 0; i < frames; ++i) {
        const bool fall = before > m[i];
        starts[startCount] = static_cast<float>(i);
        startCount += fall && !wasFalling ? 1 : 0;
        wasFalling = fall;
        before = m[i];
    }
    if (hold == 0) startCount = 0;  // a peak is queued only when there is a window
    const int64_t first = position_;
    int32_t i = 0;
    // Fills y[i, end) with the queue's front, dropping fronts as they leave the window: a peak
    // at position p last counts at sample p + hold.
    const auto fillTo = [&](int32_t end) {
        while (i < end) {
            int32_t stop = end;
            float front = 0.0f;
            if (count_ > 0) {
                const Peak& peak = queue_[static_cast<std::size_t>(head_)];
                const int64_t gone = peak.position + hold + 1 - first;
                if (gone <= i) {
                    head_ = (head_ + 1) & mask_;
                    --count_;
                    continue;
                }
                stop = static_cast<int32_t>(std::min<int64_t>(end, gone));
                front = peak.value;
            }
            for (; i < stop; ++i)
                y[i] = front;
        }
    };
    for (int32_t k = 0; k < startCount; ++k) {
        const auto start = static_cast<int32_t>(starts[k]);
        fillTo(start);
        push(first + start - 1, start > 0 ? m[start - 1] : previous_);
    }
    fillTo(frames);
    for (int32_t n = 0; n < frames; ++n)
        y[n] = std::max(std::max(y[n], m[n]), w[n]);
    falling_ = wasFalling;
    previous_ = frames > 0 ? m[frames - 1] : previous_;
    position_ += frames;
}

}  // namespace tessel
