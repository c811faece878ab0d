#pragma once

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

#include "engine/StereoLinkInfo.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Producer.h"

namespace tessel::testing {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

/// Equal, or both NaN.
inline bool same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

/// Sample n of the stream is pattern[n mod size]. Counts its process calls. Its blocks are never
/// flagged constant, whatever their values; a ConstantSource's always are.
struct PatternSource : wave::Source {
    PatternSource(wave::Environment* environment, std::vector<float> values, bool flag = false)
        : wave::Source(environment), pattern(std::move(values)), flagConstant(flag) {}
    float at(int64_t n) const { return pattern[static_cast<std::size_t>(n) % pattern.size()]; }
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept override {
        ++calls;
        for (int32_t i = 0; i < frames; ++i)
            block->data()[i] = at(environment()->samplePosition() + i);
        block->setConstant(flagConstant);
    }
    std::vector<float> pattern;
    const bool flagConstant;
    int calls = 0;
};

struct ConstantSource : PatternSource {
    ConstantSource(wave::Environment* environment, float value)
        : PatternSource(environment, {value}, true) {}
    void setValue(float value) { pattern[0] = value; }
};

/// A stereo linker stand-in: the amount from any producer, and a settable mode.
struct FixedLink final : StereoLinkInfo {
    explicit FixedLink(wave::Producer* a) : amount(a) {}
    wave::Producer* linkAmount() noexcept override { return amount; }
    StereoLinkMode stereoLinkMode() const noexcept override { return mode; }
    wave::Producer* amount;
    StereoLinkMode mode = StereoLinkMode::kMid;
};

/// Runs one cycle that pulls each producer in turn (none: the graph idles while time passes) and
/// returns their output blocks, valid until the next cycle.
inline std::vector<const wave::BasicBlock<float>*> pullCycle(
    wave::Environment& environment, int32_t frames, std::initializer_list<wave::Producer*> nodes) {
    environment.beginCycle();
    std::vector<const wave::BasicBlock<float>*> blocks;
    for (wave::Producer* node : nodes)
        blocks.push_back(node->pull(frames));
    environment.advance(frames, 0);
    return blocks;
}

/// Runs one cycle that pulls `producer` and returns a copy of its output.
inline std::vector<float> runCycle(wave::Environment& environment, wave::Producer& producer,
                                   int32_t frames) {
    const float* out = pullCycle(environment, frames, {&producer})[0]->data();
    return std::vector<float>(out, out + frames);
}

}  // namespace tessel::testing
