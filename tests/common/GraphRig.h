#pragma once

// The shared graph harness: stand-in nodes of known output, and cycle runners like a host's.

#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

#include "engine/StereoLinkInfo.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Environment.h"
#include "engine/wave/Filter.h"
#include "engine/wave/Producer.h"

namespace tessel::testing {

inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
inline constexpr float kInf = std::numeric_limits<float>::infinity();

/// Equal, or both NaN.
inline bool same(float a, float b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}

/// n samples rising by 1 from `start`: on a ramp every sample names its position.
inline std::vector<float> ramp(int32_t n, float start = 0.0f) {
    std::vector<float> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), start);
    return v;
}

/// Sample n (the environment's position) is pattern[n mod size], or n + 1 without a pattern;
/// blocks are flagged constant only when `flag` says so. Counts calls and resets, keeps the last
/// mode and reports itself settled as told.
struct PatternSource : wave::Source {
    explicit PatternSource(wave::Environment* environment, std::vector<float> values = {},
                           bool flag = false)
        : wave::Source(environment), pattern(std::move(values)), flagConstant(flag) {}
    float at(int64_t n) const {
        return pattern.empty() ? static_cast<float>(n + 1)
                               : pattern[static_cast<std::size_t>(n) % pattern.size()];
    }
    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override {
        ++calls;
        lastMode = mode;
        for (int32_t i = 0; i < frames; ++i)
            block->data()[i] = at(environment()->samplePosition() + i);
        block->setConstant(flagConstant);
    }
    void reset() override { ++resets; }
    bool isSettled() const override { return settled; }

    std::vector<float> pattern;
    const bool flagConstant;
    int calls = 0, resets = 0;
    int32_t lastMode = -1;
    bool settled = true;
};

struct ConstantSource : PatternSource {
    ConstantSource(wave::Environment* environment, float value)
        : PatternSource(environment, {value}, true) {}
    void setValue(float value) { pattern[0] = value; }
};

/// Multiplies by `gain`, passing the constant flag on; records the frame counts of its first 64
/// calls without allocating, counts resets and reports itself settled as told.
struct GainFilter : wave::Filter {
    explicit GainFilter(wave::Environment* environment, float g = 1.0f)
        : wave::Filter(environment), gain(g) {}
    void filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t n,
                int32_t) noexcept override {
        for (int32_t i = 0; i < n; ++i)
            out->data()[i] = in->data()[i] * gain;
        out->setConstant(in->isConstant());
        if (static_cast<std::size_t>(calls) < frames.size()) frames[calls] = n;
        ++calls;
    }
    void reset() override { ++resets; }
    bool isSettled() const override { return settled; }

    float gain;
    int calls = 0, resets = 0;
    std::array<int32_t, 64> frames{};
    bool settled = true;
};

/// A stereo linker stand-in: the amount from any producer, and a settable mode.
struct FixedLink final : StereoLinkInfo {
    explicit FixedLink(wave::Producer* a) : amount(a) {}
    wave::Producer* linkAmount() noexcept override { return amount; }
    StereoLinkMode stereoLinkMode() const noexcept override { return mode; }
    wave::Producer* amount;
    StereoLinkMode mode = StereoLinkMode::kMid;
};

/// One cycle pulling each producer (none: idle, root lists still run); returns their blocks.
inline std::vector<const wave::BasicBlock<float>*> pullCycle(
    wave::Environment& environment, int32_t frames, std::initializer_list<wave::Producer*> nodes,
    int32_t flags = 0) {
    environment.beginCycle();
    std::vector<const wave::BasicBlock<float>*> blocks;
    for (wave::Producer* node : nodes)
        blocks.push_back(node->pull(frames));
    environment.advance(frames, flags);
    return blocks;
}

/// Runs one cycle that pulls `producer` and returns a copy of its output.
inline std::vector<float> runCycle(wave::Environment& environment, wave::Producer& producer,
                                   int32_t frames) {
    const float* out = pullCycle(environment, frames, {&producer})[0]->data();
    return std::vector<float>(out, out + frames);
}

/// Pulls `producer` for `samples` samples in cycles of `frames` and returns the output.
inline std::vector<float> render(wave::Environment& environment, wave::Producer& producer,
                                 int64_t samples, int32_t frames) {
    std::vector<float> out;
    for (int64_t done = 0; done < samples; done += frames) {
        const std::vector<float> block = runCycle(environment, producer, frames);
        out.insert(out.end(), block.begin(), block.end());
    }
    return out;
}

/// An environment of fixed maximum block size at a sample rate, run in cycles of that size.
struct GraphRig {
    explicit GraphRig(int32_t blockSize = 256, float sampleRateHz = 48000.0f)
        : env(blockSize, true), block(blockSize) {
        env.setSampleRate(sampleRateHz);
    }
    std::vector<float> render(wave::Producer& node, int64_t samples) {
        return testing::render(env, node, samples, block);
    }
    void idle(int cycles = 1) {  // cycles pass without pulling anything
        for (int c = 0; c < cycles; ++c)
            pullCycle(env, block, {});
    }

    wave::Environment env;
    const int32_t block;
};

}  // namespace tessel::testing
