#pragma once

#include <cstdint>

#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/DynamicMaxBlockSizeListener.h"
#include "engine/wave/Environment.h"

namespace tessel::wave {

/// The block every graph node produces: the environment's maximum block size of samples,
/// 32-byte aligned, with a constant flag. When the flag is set every sample a consumer reads
/// holds the same value, so a consumer may read the first sample only and skip per-sample work.
/// A block follows its environment's maximum block size (it registers as a listener).
/// Allocates at construction and on size changes only.
template <typename T>
class BasicBlock : public AlignedBuffer<T>, private DynamicMaxBlockSizeListener {
public:
    explicit BasicBlock(Environment* environment);
    virtual ~BasicBlock();

    Environment* environment() const noexcept { return environment_; }
    bool isConstant() const noexcept { return constant_ != 0; }
    void setConstant(bool constant) noexcept { constant_ = constant ? 1 : 0; }

    /// Writes value into the first frames samples and sets the constant flag.
    void fillConstant(T value, int32_t frames) noexcept {
        T* d = this->data();
        for (int32_t i = 0; i < frames; ++i)
            d[i] = value;
        constant_ = 1;
    }

protected:
    void maxBlockSizeChanged() override;

private:
    friend class Environment;
    friend class SubEnvironment;

    Environment* environment_;
    uint8_t constant_ = 0;
};

extern template class BasicBlock<float>;
extern template class BasicBlock<double>;

/// A block whose samples all hold one value (with the constant flag set): the environment's zero
/// block, unity controls. Never written by consumers. Refilled when its size changes.
class ConstValueBlock : public BasicBlock<float> {
public:
    ConstValueBlock(Environment* environment, float value);

    float constantValue() const noexcept { return value_; }

protected:
    void maxBlockSizeChanged() override;

private:
    float value_;
};

}  // namespace tessel::wave
