#include "engine/wave/BasicBlock.h"

namespace tessel::wave {

template <typename T>
BasicBlock<T>::BasicBlock(Environment* environment)
    : AlignedBuffer<T>(environment->maxBlockSize()), environment_(environment) {
    environment_->addMaxBlockSizeListener(this);
}

template <typename T>
BasicBlock<T>::~BasicBlock() {
    environment_->removeMaxBlockSizeListener(this);
}

template <typename T>
void BasicBlock<T>::maxBlockSizeChanged() {
    this->resize(environment_->maxBlockSize());
}

template class BasicBlock<float>;
template class BasicBlock<double>;

ConstValueBlock::ConstValueBlock(Environment* environment, float value)
    : BasicBlock<float>(environment), value_(value) {
    fill(value_);
    setConstant(true);
}

void ConstValueBlock::maxBlockSizeChanged() {
    BasicBlock<float>::maxBlockSizeChanged();
    fill(value_);
}

}  // namespace tessel::wave
