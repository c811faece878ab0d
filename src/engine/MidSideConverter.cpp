#include "engine/MidSideConverter.h"

namespace tessel {

namespace {

inline float midOf(float first, float second) noexcept {
    return (first + second) * 0.5f;
}
inline float sideOf(float first, float second) noexcept {
    return (second - first) * 0.5f;
}

void toMidSide(float* __restrict mid, float* __restrict side, const float* __restrict first,
               const float* __restrict second, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i) {
        mid[i] = midOf(first[i], second[i]);
        side[i] = sideOf(first[i], second[i]);
    }
}

void toLeftRight(float* __restrict left, float* __restrict right, const float* __restrict mid,
                 const float* __restrict side, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i) {
        left[i] = mid[i] - side[i];
        right[i] = mid[i] + side[i];
    }
}

}  // namespace

MidSideConverter::MidSideConverter(wave::Environment* environment, Conversion conversion)
    : wave::MultiProducer(environment, 2), conversion_(this, Conversion::kNone) {
    conversion_ = conversion;
}

void MidSideConverter::propertyChanged(AbstractProperty* property) {
    if (property != &conversion_) return;
    // Re-assigning from inside the handler notifies again with the corrected value.
    const int32_t c = static_cast<int32_t>(conversion_.get());
    if (c < 0) conversion_ = Conversion::kNone;
    if (c > 2) conversion_ = Conversion::kMidSideToLeftRight;
}

void MidSideConverter::process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept {
    wave::BasicBlock<float>* a = wave::Producer::pullOrZero(first_, environment(), frames);
    wave::BasicBlock<float>* b = wave::Producer::pullOrZero(second_, environment(), frames);
    const Conversion c = conversion_.get();
    if (c == Conversion::kNone) {
        blocks[0] = a;
        blocks[1] = b;
        return;
    }
    const bool toMs = c == Conversion::kLeftRightToMidSide;
    if (a->isConstant() && b->isConstant()) {
        const float x = a->data()[0];
        const float y = b->data()[0];
        blocks[0]->fillConstant(toMs ? midOf(x, y) : x - y, frames);
        blocks[1]->fillConstant(toMs ? sideOf(x, y) : x + y, frames);
        return;
    }
    if (toMs) {
        toMidSide(blocks[0]->data(), blocks[1]->data(), a->data(), b->data(), frames);
    } else {
        toLeftRight(blocks[0]->data(), blocks[1]->data(), a->data(), b->data(), frames);
    }
    blocks[0]->setConstant(false);
    blocks[1]->setConstant(false);
}

}  // namespace tessel
