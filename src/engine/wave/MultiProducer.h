#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/wave/BasicBlock.h"
#include "engine/wave/Component.h"
#include "engine/wave/Producer.h"

namespace tessel::wave {

/// A node with several outputs computed together (band splitters, mid/side converters). Each
/// output is an `Output` producer; pulling any of them runs the owner's `process` once for the
/// cycle and sets every output's block. `process` receives one block pointer per output, which it
/// fills or overwrites to pass other blocks (or the zero block) through without copying.
/// Audio thread only; `process` must not allocate. Changing the output count allocates.
class MultiProducer : public Component {
public:
    class Output final : public Producer {
    public:
        Output(MultiProducer* owner, int32_t index);

        float value() const noexcept override { return owner_->value(index_); }
        void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
        void reset() override { owner_->reset(); }

        int32_t index() const noexcept { return index_; }
        MultiProducer* owner() const noexcept { return owner_; }

    private:
        MultiProducer* owner_;
        int32_t index_;
    };

    MultiProducer(Environment* environment, int32_t outputCount);
    virtual ~MultiProducer();
    MultiProducer(const MultiProducer&) = delete;
    MultiProducer& operator=(const MultiProducer&) = delete;

    /// First sample of output `index` this cycle; 0.0 without a block.
    virtual float value(int32_t index) const noexcept;
    /// Computes all outputs: blocks[i] is output i's own block on entry and its result on exit.
    virtual void process(BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept = 0;
    virtual void reset() {}

    /// Creates blocks and outputs for new indices, keeps existing ones, destroys surplus ones.
    void setOutputCount(int32_t count);
    int32_t outputCount() const noexcept { return static_cast<int32_t>(outputs_.size()); }
    Output* output(int32_t index) const noexcept {
        return outputs_[static_cast<std::size_t>(index)].get();
    }
    BasicBlock<float>* block(int32_t index) const noexcept {
        return blocks_[static_cast<std::size_t>(index)].get();
    }

private:
    std::vector<std::unique_ptr<BasicBlock<float>>> blocks_;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::vector<BasicBlock<float>*> scratch_;
};

}  // namespace tessel::wave
