#pragma once

#include <cstdint>
#include <vector>

#include "engine/wave/Producer.h"

namespace tessel {

/// A mixer with fixed linear gains: out = sum of gain_i * in_i over the connected inputs. Inputs at
/// gain 0 (within the float tolerance) are left out, so silence costs nothing; a gain of 1 adds
/// without multiplying; a single contributing input at gain 1 passes its block on; constant input
/// blocks are folded into one offset and only expanded when another input varies, and an
/// all-constant sum is a constant block. NaN and infinities of contributing inputs (and NaN gains)
/// reach the output by IEEE arithmetic; an input at gain 0 never does. Audio thread only;
/// `process` never allocates; adding inputs allocates.
class StaticMixer : public wave::Source {
public:
    explicit StaticMixer(wave::Environment* environment) : wave::Source(environment) {}

    /// Appends an input (input may be null) with a fixed gain and returns its index. Allocates.
    int32_t addInput(wave::Producer* input, float gainLinear = 1.0f);
    /// Re-wires input `index`; out-of-range indices are ignored.
    void setInput(int32_t index, wave::Producer* input) noexcept;
    /// Changes the gain of input `index`; out-of-range indices are ignored.
    void setGain(int32_t index, float gainLinear) noexcept;

    int32_t inputCount() const noexcept { return static_cast<int32_t>(inputs_.size()); }
    wave::Producer* input(int32_t index) const noexcept;
    /// Gain of input `index`; 0 when out of range.
    float gain(int32_t index) const noexcept;

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;

private:
    struct Entry {
        float gainLinear;
        wave::Producer* producer;
    };

    bool validIndex(int32_t index) const noexcept {
        return index >= 0 && index < static_cast<int32_t>(inputs_.size());
    }

    std::vector<Entry> inputs_;
};

}  // namespace tessel
