#pragma once

#include <cstdint>
#include <memory>

#include "engine/wave/BasicBlock.h"
#include "engine/wave/Component.h"
#include "engine/wave/Environment.h"

namespace tessel::wave {

/// A node of the signal graph: produces one block of float samples per cycle. Consumers read it
/// with `pull`, which computes the output at most once per cycle however many consumers read it.
/// The output block is normally the producer's own block, but `process` may re-point it to another
/// node's block (pass-through without copying) or to the environment's zero block (silence).
/// A block with its constant flag set holds one value in every sample the consumer reads.
/// Audio thread only. `process` must not allocate, lock, throw or make system calls.
class Producer : public Component {
public:
    /// Creates the producer in `environment`; with createBlock false it has no own block and its
    /// `process` must always set the output block.
    explicit Producer(Environment* environment, bool createBlock = true);
    virtual ~Producer();
    Producer(const Producer&) = delete;
    Producer& operator=(const Producer&) = delete;

    /// First sample of the current output block; 0.0 without one.
    virtual float value() const noexcept;
    /// True when the node has no pending tail.
    virtual bool isSettled() const { return true; }
    virtual void produce(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept {
        process(block, frames, mode);
    }
    /// Computes this cycle's output into block (the own block) or re-points the output block.
    /// mode is 0 for a pull, 1 or 2 for a root-list run (2 for entries at the front).
    virtual void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept = 0;
    /// Clears internal state.
    virtual void reset() {}

    /// The pull rule: computes the output once per cycle and returns this cycle's output block.
    BasicBlock<float>* pull(int32_t frames) noexcept {
        const uint32_t cycle = environment()->cycleNumber();
        if (lastCycle_ != cycle) {
            outputBlock_ = ownBlock_.get();
            process(ownBlock_.get(), frames, 0);
            lastCycle_ = cycle;
        }
        return outputBlock_;
    }

    /// Pulls p, or returns the environment's zero block when p is null (an unconnected input).
    static BasicBlock<float>* pullOrZero(Producer* p, Environment* environment,
                                         int32_t frames) noexcept;

    /// Detaching takes the producer out of the root list and out of attached-only resets;
    /// attaching puts it back (with its root mode) and resets it when it is resettable.
    void setAttached(bool attached);

    BasicBlock<float>* ownBlock() const noexcept { return ownBlock_.get(); }
    BasicBlock<float>* outputBlock() const noexcept { return outputBlock_; }
    bool isAttached() const noexcept { return attached_; }
    bool inRootList() const noexcept { return inRootList_; }
    bool inResetList() const noexcept { return inResetList_; }
    int32_t rootMode() const noexcept { return rootMode_; }
    uint32_t lastCycle() const noexcept { return lastCycle_; }
    /// True when the output of the current cycle has been computed.
    bool computedThisCycle() const noexcept { return lastCycle_ == environment()->cycleNumber(); }

protected:
    void setOutputBlock(BasicBlock<float>* block) noexcept { outputBlock_ = block; }
    /// Marks the current cycle computed (for producers that set their output outside `pull`).
    void markComputed() noexcept { lastCycle_ = environment()->cycleNumber(); }

private:
    friend class Environment;

    std::unique_ptr<BasicBlock<float>> ownBlock_;
    int32_t rootMode_ = 2;
    bool attached_ = true;
    bool inRootList_ = false;
    bool inResetList_ = false;
    uint32_t lastCycle_;
    BasicBlock<float>* outputBlock_;
};

/// Holds the producer a node reads from. The slot may be re-wired at any time on the audio thread.
class Consumer {
public:
    Producer* input() const noexcept { return input_; }
    void setInput(Producer* input) noexcept { input_ = input; }
    /// The slot itself, for nodes that follow this consumer's re-wiring (InputForwarder).
    Producer* const* inputSlot() const noexcept { return &input_; }

protected:
    ~Consumer() = default;

private:
    Producer* input_ = nullptr;
};

/// A producer with no audio input: mixers, parameter sources, generators.
class Source : public Producer {
public:
    using Producer::Producer;
};

}  // namespace tessel::wave
