#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/wave/BasicBlock.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Producer.h"

namespace tessel::testing {

/// A source whose every block is constant at `value`; counts its process calls.
class ConstantSource : public wave::Source {
public:
    ConstantSource(wave::Environment* environment, float value)
        : wave::Source(environment), value_(value) {}

    void setValue(float value) noexcept { value_ = value; }
    int processCount() const noexcept { return processCount_; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        ++processCount_;
        block->fillConstant(value_, frames);
    }

private:
    float value_;
    int processCount_ = 0;
};

/// A varying source that repeats `pattern` along the stream: sample n of the stream is
/// pattern[n mod size]. Its blocks are never flagged constant. Counts its process calls.
class PatternSource : public wave::Source {
public:
    PatternSource(wave::Environment* environment, std::vector<float> pattern)
        : wave::Source(environment), pattern_(std::move(pattern)) {}

    int processCount() const noexcept { return processCount_; }
    /// The sample the source produces at stream position `position`.
    float at(int64_t position) const noexcept {
        return pattern_[static_cast<std::size_t>(position % static_cast<int64_t>(pattern_.size()))];
    }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        ++processCount_;
        const int64_t start = environment()->samplePosition();
        for (int32_t i = 0; i < frames; ++i)
            block->data()[i] = at(start + i);
        block->setConstant(false);
    }

private:
    std::vector<float> pattern_;
    int processCount_ = 0;
};

/// The first `frames` samples of a block.
inline std::vector<float> samplesOf(const wave::BasicBlock<float>* block, int32_t frames) {
    return std::vector<float>(block->data(), block->data() + frames);
}

/// Runs one cycle of `frames` samples that pulls `producer`, and returns a copy of its output.
inline std::vector<float> runCycle(wave::Environment& environment, wave::Producer& producer,
                                   int32_t frames) {
    environment.beginCycle();
    std::vector<float> out = samplesOf(producer.pull(frames), frames);
    environment.advance(frames, 0);
    return out;
}

/// Runs one cycle that pulls nothing (the graph is idle while time passes).
inline void skipCycle(wave::Environment& environment, int32_t frames) {
    environment.beginCycle();
    environment.advance(frames, 0);
}

}  // namespace tessel::testing
