#include "sr/FIRConverter.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "sr/HalfBandKernels.h"

namespace tessel::sr {

void FIRConverter::Stage::setUp(int32_t stageFactor, ConverterStyle::Table table,
                                int32_t hostCapacity, Direction direction) {
    const int32_t f = stageFactor;
    const int32_t length = table.length;
    taps_ = table.taps;
    length_ = length;
    int32_t alignment = 0;  // extra delay, in samples of the stage's lower rate
    if (direction == Direction::kDecimate) {
        // Full table, 4k + 1 taps, delay 2k at the higher rate: padded to a multiple of f there,
        // which is half as many samples per phase.
        const int32_t half = (length - 1) / 2;
        alignment = ((half + f - 1) / f * f - half) / 2;
        history_ = alignment + half;
    } else {
        // Reduced table, 2k taps, delay k at the lower rate; the padding is half as many samples
        // of the lower rate as the higher rate needs.
        alignment = ((f - 1 + length) / f * f - length) / 2;
        history_ = alignment + length - 1;
    }
    // Decimating: the even and the odd samples, each with their history. Interpolating: the
    // input with its history, then room for one piece of odd outputs.
    const int32_t piece = hostCapacity * f / 2;
    span_ = history_ + piece;
    buffer_.resize(direction == Direction::kDecimate ? 2 * span_ : span_ + piece);
    clear();
}

void FIRConverter::Stage::clear() noexcept {
    buffer_.fill(0.0f);
}

void FIRConverter::Stage::interpolate(const float* in, float* out, int32_t n) noexcept {
    float* x = buffer_.data();
    float* odd = x + span_;
    if (in != x + history_) std::memcpy(x + history_, in, static_cast<std::size_t>(n) * 4);
    // Odd outputs: the reduced table over the last `length` inputs, `alignment` samples back.
    // Even outputs: the input half a table back (the full table's centre tap).
    kernels::dot(taps_, 1, length_, x, odd, n);
    kernels::interleave(x + (length_ - 1 - length_ / 2), odd, out, n);
    std::memmove(x, x + n, static_cast<std::size_t>(history_) * 4);
}

void FIRConverter::Stage::decimate(const float* in, float* out, int32_t n) noexcept {
    float* even = buffer_.data();
    float* odd = even + span_;
    kernels::deinterleave(in, even + history_, odd + history_, n);
    // Odd-distance taps are table[1], table[3], ...; the centre tap table[2k] meets the even
    // sample k positions back (with the history of alignment + 2k samples per phase).
    kernels::halfBand(taps_, length_, odd, even + (length_ - 1) / 4, out, n);
    std::memmove(even, even + n, static_cast<std::size_t>(history_) * 4);
    std::memmove(odd, odd + n, static_cast<std::size_t>(history_) * 4);
}

FIRConverter::FIRConverter(ConverterStyle* style, TableKind firstStageKind,
                           TableKind laterStageKind, Direction direction)
    : ConverterBase(style->environment()),
      style_(style),
      firstStageKind_(firstStageKind),
      laterStageKind_(laterStageKind),
      direction_(direction) {
    setUp();
}

int32_t FIRConverter::effectiveFactor() const noexcept {
    const int32_t factor = std::clamp(style_->currentFactor(), 1, ConverterStyle::kMaximumFactor);
    return static_cast<int32_t>(std::bit_floor(static_cast<uint32_t>(factor)));
}

void FIRConverter::setUp() {
    style_->design();
    factor_ = effectiveFactor();
    designGeneration_ = style_->designGeneration();
    stageCount_ = std::bit_width(static_cast<uint32_t>(factor_)) - 1;
    capacity_ = std::max(environment()->maxBlockSize(), 1);
    for (int32_t s = 0; s < stageCount_; ++s) {
        stages_[s].setUp(2 << s, style_->table(s == 0 ? firstStageKind_ : laterStageKind_),
                         capacity_, direction_);
    }
    if (direction_ == Direction::kDecimate) scratch_.resize(capacity_ * factor_ / 2);
}

bool FIRConverter::process(const float* in, float* out, int32_t n) noexcept {
    if (style_->currentFactor() < 2) return false;
    if (effectiveFactor() != factor_ || designGeneration_ != style_->designGeneration() ||
        !style_->isDesignCurrent()) {
        setUp();
    }
    const bool down = direction_ == Direction::kDecimate;
    const int32_t inStep = down ? factor_ : 1;
    const int32_t outStep = down ? 1 : factor_;
    for (int32_t done = 0; done < n;) {
        const int32_t m = std::min(n - done, capacity_);
        convert(in + done * inStep, out + done * outStep, m);
        done += m;
    }
    return true;
}

}  // namespace tessel::sr
