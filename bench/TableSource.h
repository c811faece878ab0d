#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/wave/Environment.h"
#include "engine/wave/Producer.h"

namespace tessel::bench {

/// A graph source that plays a precomputed table over and over, indexed by the environment's
/// sample position, so that a benchmark measures the node under test and not its test signal.
/// The table's length must be a power of two.
class TableSource final : public wave::Source {
public:
    TableSource(wave::Environment* environment, std::vector<float> table)
        : wave::Source(environment),
          table_(std::move(table)),
          mask_(static_cast<int64_t>(table_.size()) - 1) {}

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        const int64_t p = environment()->samplePosition();
        for (int32_t i = 0; i < frames; ++i)
            block->data()[i] = table_[static_cast<std::size_t>((p + i) & mask_)];
        block->setConstant(false);
    }

private:
    std::vector<float> table_;
    int64_t mask_;
};

}  // namespace tessel::bench
