#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/FloatParameterSource.h"
#include "engine/wave/Producer.h"
#include "support/Property.h"

namespace tessel {

/// A smoothed multi-input mixer: each input is a producer with a smoothed linear gain (default 1,
/// limits 0..1, which owners may widen to -1..+1). The first contributing input gives out = in * g,
/// each further term t = in * g is combined with out by one of nine operations. Static mode leaves
/// out inputs whose gain has settled at 0. No contributing input gives the zero block, a single one
/// at unity gain passes its block on, all-constant inputs and gains are combined once into a
/// constant block; otherwise vectorised per-input passes. NaN/inf: IEEE arithmetic as written; a
/// NaN loses every comparison (ignored by the maxima and the peak; operation 4 gives 0 for it and
/// always stays within 0..1). Audio thread only; `process` never allocates; changing the input
/// count allocates.
class Mixer : public wave::Source, public PropertyOwner {
public:
    /// How a further term t = in * g is combined with the output so far.
    enum class Operation : int32_t {
        kAdd = 0,            ///< out + t
        kSubtract = 1,       ///< out - t
        kMaxMagnitude = 2,   ///< max(out, |t|)
        kMultiply = 3,       ///< out * t
        kDivideClamped = 4,  ///< out / |t| clamped to 0..1; 0 where t is 0
        kRatio = 5,          ///< max(out, 1e-9) / max(|t|, 1e-9)
        kPeak = 6,           ///< out unchanged; the running peak takes max(peak, |t|)
        kMax = 7,            ///< max(out, t)
        kMagnitude = 8,      ///< |t| (the last such input wins)
    };

    explicit Mixer(wave::Environment* environment, int32_t inputCount = 0);
    ~Mixer() override;

    /// Number of inputs; a negative count becomes 0. Growing adds unconnected inputs at gain 1.0,
    /// shrinking destroys the last inputs (and their gains). Allocates.
    Property<int32_t>& inputCount() noexcept { return inputCount_; }
    const Property<int32_t>& inputCount() const noexcept { return inputCount_; }
    /// Combining operation; a value outside 0..8 is clamped into it.
    Property<Operation>& operation() noexcept { return operation_; }
    const Property<Operation>& operation() const noexcept { return operation_; }

    /// Appends an input reading `input` (may be null) and returns its index. Allocates.
    int32_t addInput(wave::Producer* input);
    /// Re-wires input `index`; null leaves the input out. Out-of-range indices are ignored.
    void setInput(int32_t index, wave::Producer* input) noexcept;
    wave::Producer* input(int32_t index) const noexcept;
    /// The smoothed gain of input `index` (null when out of range); set values through it.
    FloatParameterSource* inputGain(int32_t index) noexcept;
    /// Sets the gain limits of input `index`, clamped to -1..+1.
    void setInputGainLimits(int32_t index, float minimumLinear, float maximumLinear) noexcept;

    /// Static mode: inputs whose gain block is constant 0.0 are dropped for the cycle.
    void setStatic(bool isStatic) noexcept { static_ = isStatic; }
    bool isStatic() const noexcept { return static_; }

    /// Largest |in * g| seen by Operation::kPeak since construction or the last reset.
    float peak() const noexcept { return peak_; }
    void resetPeak() noexcept { peak_ = 0.0f; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    /// Clears the running peak.
    void reset() override { resetPeak(); }
    void propertyChanged(AbstractProperty* property) override;

private:
    struct Input {
        explicit Input(wave::Environment* environment) : gain(environment, 1.0f) {}
        wave::Producer* producer = nullptr;
        FloatParameterSource gain;
    };

    /// True when input contributes this cycle; pulls its gain (and nothing else).
    bool contributes(Input& input, int32_t frames) const noexcept;
    void resizeInputs(int32_t count);

    std::vector<std::unique_ptr<Input>> inputs_;
    Property<int32_t> inputCount_{this, 0};
    Property<Operation> operation_{this, Operation::kAdd};
    bool static_ = false;
    float peak_ = 0.0f;
};

}  // namespace tessel
