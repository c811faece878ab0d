#include "engine/Mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/Tolerance.h"

namespace tessel {

namespace {

using Operation = Mixer::Operation;

// Internal pseudo-operation for the first contributing input: out = t.
constexpr int kAssign = -1;

// One sample of an operation. Comparisons are written so that a NaN loses them: it never
// replaces a maximum, and operation 4 maps it to 0. Branch-free selects, so loops vectorise.
template <int Op>
inline float combine(float o, float t) noexcept {
    if constexpr (Op == kAssign) {
        return t;
    } else if constexpr (Op == static_cast<int>(Operation::kAdd)) {
        return o + t;
    } else if constexpr (Op == static_cast<int>(Operation::kSubtract)) {
        return o - t;
    } else if constexpr (Op == static_cast<int>(Operation::kMaxMagnitude)) {
        const float a = std::fabs(t);
        return a > o ? a : o;
    } else if constexpr (Op == static_cast<int>(Operation::kMultiply)) {
        return o * t;
    } else if constexpr (Op == static_cast<int>(Operation::kDivideClamped)) {
        // Divide by 1 where |t| is not positive so no lane ever divides by zero.
        const float a = std::fabs(t);
        const float q = o / (a > 0.0f ? a : 1.0f);
        const float c = q > 0.0f ? (q < 1.0f ? q : 1.0f) : 0.0f;
        return a > 0.0f ? c : 0.0f;
    } else if constexpr (Op == static_cast<int>(Operation::kRatio)) {
        const float a = std::fabs(t);
        return (o > 1e-9f ? o : 1e-9f) / (a > 1e-9f ? a : 1e-9f);
    } else if constexpr (Op == static_cast<int>(Operation::kMax)) {
        return t > o ? t : o;
    } else {
        static_assert(Op == static_cast<int>(Operation::kMagnitude));
        return std::fabs(t);
    }
}

template <int Op>
void combineScaledByBlock(float* __restrict out, const float* __restrict in,
                          const float* __restrict g, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = combine<Op>(out[i], in[i] * g[i]);
}

template <int Op>
void combineScaled(float* __restrict out, const float* __restrict in, float g,
                   int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = combine<Op>(out[i], in[i] * g);
}

template <int Op>
void combineUnscaled(float* __restrict out, const float* __restrict in, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = combine<Op>(out[i], in[i]);
}

// Running maximum of |in * g| (operation 6). A float maximum reduction does not vectorise without
// -ffinite-math-only, so the maximum is taken over the bit patterns: for non-negative floats the
// ordering of the patterns as signed integers is the ordering of the values. A NaN (pattern above
// that of infinity) is replaced by 0 first, so it is ignored as in the scalar comparison.
inline int32_t peakBits(float a) noexcept {
    int32_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    return bits > 0x7F800000 ? 0 : bits;
}

inline float fromPeakBits(int32_t bits) noexcept {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float peakScaledByBlock(const float* __restrict in, const float* __restrict g, int32_t frames,
                        float peak) noexcept {
    int32_t best = peakBits(peak);
    for (int32_t i = 0; i < frames; ++i)
        best = std::max(best, peakBits(std::fabs(in[i] * g[i])));
    return fromPeakBits(best);
}

float peakScaled(const float* __restrict in, float g, int32_t frames, float peak) noexcept {
    int32_t best = peakBits(peak);
    for (int32_t i = 0; i < frames; ++i)
        best = std::max(best, peakBits(std::fabs(in[i] * g)));
    return fromPeakBits(best);
}

template <int Op>
void combineBlock(float* out, const wave::BasicBlock<float>* in, const wave::BasicBlock<float>* g,
                  int32_t frames) noexcept {
    if (!g->isConstant()) {
        combineScaledByBlock<Op>(out, in->data(), g->data(), frames);
    } else if (nearlyEqual(g->data()[0], 1.0f)) {
        combineUnscaled<Op>(out, in->data(), frames);
    } else {
        combineScaled<Op>(out, in->data(), g->data()[0], frames);
    }
}

// Combines one further input into out, the whole block; op is already within 0..8.
void combineBlock(Operation op, float* out, const wave::BasicBlock<float>* in,
                  const wave::BasicBlock<float>* g, int32_t frames, float& peak) noexcept {
    switch (op) {
        case Operation::kAdd:
            return combineBlock<0>(out, in, g, frames);
        case Operation::kSubtract:
            return combineBlock<1>(out, in, g, frames);
        case Operation::kMaxMagnitude:
            return combineBlock<2>(out, in, g, frames);
        case Operation::kMultiply:
            return combineBlock<3>(out, in, g, frames);
        case Operation::kDivideClamped:
            return combineBlock<4>(out, in, g, frames);
        case Operation::kRatio:
            return combineBlock<5>(out, in, g, frames);
        case Operation::kPeak:
            peak = g->isConstant() ? peakScaled(in->data(), g->data()[0], frames, peak)
                                   : peakScaledByBlock(in->data(), g->data(), frames, peak);
            return;
        case Operation::kMax:
            return combineBlock<7>(out, in, g, frames);
        case Operation::kMagnitude:
            return combineBlock<8>(out, in, g, frames);
    }
}

// The same combination for one sample (all inputs constant).
float combineValue(Operation op, float o, float t, float& peak) noexcept {
    switch (op) {
        case Operation::kAdd:
            return combine<0>(o, t);
        case Operation::kSubtract:
            return combine<1>(o, t);
        case Operation::kMaxMagnitude:
            return combine<2>(o, t);
        case Operation::kMultiply:
            return combine<3>(o, t);
        case Operation::kDivideClamped:
            return combine<4>(o, t);
        case Operation::kRatio:
            return combine<5>(o, t);
        case Operation::kPeak: {
            const float a = std::fabs(t);
            peak = a > peak ? a : peak;
            return o;
        }
        case Operation::kMax:
            return combine<7>(o, t);
        case Operation::kMagnitude:
            return combine<8>(o, t);
    }
    return o;
}

// The term in * g for constant blocks, with the same unity shortcut as the block kernels.
inline float term(float in, float g) noexcept {
    return nearlyEqual(g, 1.0f) ? in : in * g;
}

}  // namespace

Mixer::Mixer(wave::Environment* environment, int32_t inputCount) : wave::Source(environment) {
    inputCount_ = inputCount;
}

Mixer::~Mixer() = default;

int32_t Mixer::addInput(wave::Producer* input) {
    const int32_t index = static_cast<int32_t>(inputs_.size());
    inputCount_ = index + 1;
    inputs_[static_cast<std::size_t>(index)]->producer = input;
    return index;
}

void Mixer::setInput(int32_t index, wave::Producer* input) noexcept {
    if (index >= 0 && index < static_cast<int32_t>(inputs_.size())) {
        inputs_[static_cast<std::size_t>(index)]->producer = input;
    }
}

wave::Producer* Mixer::input(int32_t index) const noexcept {
    if (index < 0 || index >= static_cast<int32_t>(inputs_.size())) return nullptr;
    return inputs_[static_cast<std::size_t>(index)]->producer;
}

FloatParameterSource* Mixer::inputGain(int32_t index) noexcept {
    if (index < 0 || index >= static_cast<int32_t>(inputs_.size())) return nullptr;
    return &inputs_[static_cast<std::size_t>(index)]->gain;
}

void Mixer::setInputGainLimits(int32_t index, float minimumLinear, float maximumLinear) noexcept {
    FloatParameterSource* gain = inputGain(index);
    if (gain == nullptr || std::isnan(minimumLinear) || std::isnan(maximumLinear)) return;
    gain->parameter().setLimits(std::clamp(minimumLinear, -1.0f, 1.0f),
                                std::clamp(maximumLinear, -1.0f, 1.0f));
}

void Mixer::propertyChanged(AbstractProperty* property) {
    if (property == &inputCount_) {
        // Re-assigning from inside the handler notifies again with the corrected value.
        if (inputCount_.get() < 0) {
            inputCount_ = 0;
            return;
        }
        resizeInputs(inputCount_.get());
    } else if (property == &operation_) {
        const int32_t op = static_cast<int32_t>(operation_.get());
        if (op < 0) operation_ = Operation::kAdd;
        if (op > 8) operation_ = Operation::kMagnitude;
    }
}

void Mixer::resizeInputs(int32_t count) {
    const std::size_t n = static_cast<std::size_t>(count);
    if (n < inputs_.size()) inputs_.resize(n);
    inputs_.reserve(n);
    while (inputs_.size() < n)
        inputs_.push_back(std::make_unique<Input>(environment()));
}

bool Mixer::contributes(Input& input, int32_t frames) const noexcept {
    if (input.producer == nullptr) return false;
    const wave::BasicBlock<float>* g = input.gain.pull(frames);
    return !(static_ && g->isConstant() && nearlyEqual(g->data()[0], 0.0f));
}

void Mixer::process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept {
    // First pass: which inputs contribute, and are they all constant? Every pull is cached for
    // the cycle, so the second pass reads the same blocks again without recomputing anything.
    int32_t contributing = 0;
    bool allConstant = true;
    wave::BasicBlock<float>* firstIn = nullptr;
    const wave::BasicBlock<float>* firstGain = nullptr;
    for (const std::unique_ptr<Input>& input : inputs_) {
        if (!contributes(*input, frames)) continue;
        wave::BasicBlock<float>* in = input->producer->pull(frames);
        const wave::BasicBlock<float>* g = input->gain.outputBlock();
        if (contributing++ == 0) {
            firstIn = in;
            firstGain = g;
        }
        allConstant = allConstant && in->isConstant() && g->isConstant();
    }
    if (contributing == 0) {
        setOutputBlock(environment()->zeroBlock());
        return;
    }
    if (contributing == 1 && firstGain->isConstant() && nearlyEqual(firstGain->data()[0], 1.0f)) {
        setOutputBlock(firstIn);
        return;
    }

    const Operation op = operation_.get();
    if (allConstant) {
        float o = 0.0f;
        bool first = true;
        for (const std::unique_ptr<Input>& input : inputs_) {
            if (!contributes(*input, frames)) continue;
            const float t = term(input->producer->pull(frames)->data()[0],
                                 input->gain.outputBlock()->data()[0]);
            o = first ? t : combineValue(op, o, t, peak_);
            first = false;
        }
        block->fillConstant(o, frames);
        return;
    }

    float* out = block->data();
    bool first = true;
    for (const std::unique_ptr<Input>& input : inputs_) {
        if (!contributes(*input, frames)) continue;
        const wave::BasicBlock<float>* in = input->producer->pull(frames);
        const wave::BasicBlock<float>* g = input->gain.outputBlock();
        if (first) {
            combineBlock<kAssign>(out, in, g, frames);
            first = false;
        } else {
            combineBlock(op, out, in, g, frames, peak_);
        }
    }
    block->setConstant(false);
}

}  // namespace tessel
