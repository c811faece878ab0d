#pragma once

#include <cstdint>
#include <memory>

#include "engine/wave/Filter.h"
#include "sr/ConverterBase.h"
#include "sr/ConverterStyleBase.h"

namespace tessel::sr {

/// A graph node that crosses between the host-rate environment and the oversampled
/// sub-environment (factor = the style's current factor) with a converter it owns. The node lives
/// on one side and pulls its input on the other, with that side's frame count. When the converter
/// declines (factor 1) the node's output is its input block itself. An unconnected input is
/// silence: the output is the zero block and the converter's history is cleared.
/// The node registers itself as resettable: an environment reset or rate change sets the
/// converter up again, which clears its history. Audio thread only; `process` and `filter` never
/// allocate in steady state (see `ConverterBase`).
class ConverterFilterBase : public wave::Filter {
public:
    ConverterFilterBase(wave::Environment* environment, ConverterStyleBase* style,
                        std::unique_ptr<ConverterBase> converter);
    ~ConverterFilterBase() override;

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    /// Converts in (a block of the other side) into out; frames counts this node's samples.
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                int32_t mode) noexcept override;
    void reset() override;

    ConverterStyleBase* style() const noexcept { return style_; }
    ConverterBase* converter() const noexcept { return converter_.get(); }

protected:
    int32_t factor() const noexcept;
    /// Samples of the input's environment in a cycle of `frames` samples of this node's.
    virtual int32_t inputFrames(int32_t frames) const noexcept = 0;
    /// Host-rate samples in a cycle of `frames` samples of this node's.
    virtual int32_t hostFrames(int32_t frames) const noexcept = 0;

private:
    ConverterStyleBase* style_;
    std::unique_ptr<ConverterBase> converter_;
};

}  // namespace tessel::sr
