#include "sr/ConverterFilterBase.h"

#include <algorithm>
#include <utility>

namespace tessel::sr {

ConverterFilterBase::ConverterFilterBase(wave::Environment* environment, ConverterStyleBase* style,
                                         std::unique_ptr<ConverterBase> converter)
    : wave::Filter(environment), style_(style), converter_(std::move(converter)) {
    environment->addResettable(this);
}

ConverterFilterBase::~ConverterFilterBase() = default;

int32_t ConverterFilterBase::factor() const noexcept {
    return std::max(style_->currentFactor(), 1);
}

void ConverterFilterBase::process(wave::BasicBlock<float>* block, int32_t frames,
                                  int32_t mode) noexcept {
    if (input() == nullptr) {
        converter_->setUp();  // allocation-free: nothing it is built from changed
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    filter(input()->pull(inputFrames(frames)), block, frames, mode);
}

void ConverterFilterBase::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                                 int32_t frames, int32_t) noexcept {
    if (!converter_->process(in->data(), out->data(), hostFrames(frames))) {
        setOutputBlock(in);
        return;
    }
    out->setConstant(false);
}

void ConverterFilterBase::reset() {
    converter_->setUp();
}

}  // namespace tessel::sr
