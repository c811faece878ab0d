#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/FloatParameter.h"
#include "engine/wave/Producer.h"
#include "support/Property.h"

namespace tessel {

/// A crossfading input selector: selecting input k ramps k's weight to 1 and every other weight to
/// 0 over the switch time (ms; 0 switches at once), and the output is the weighted sum of the
/// inputs. Inputs whose weight has settled at 0 are not pulled at all; once the selected weight
/// has settled at 1 and nothing else contributes, the router remembers that input and from then
/// on passes its block on without touching the weights (no copy, no arithmetic) until the next
/// selection. Weight ramps keep time over cycles in which nobody pulled the router, and a reset of
/// the environment since the last pull finishes them at once, as for any smoothed control.
/// NaN/inf: passed on unchanged in pass-through, multiplied into the sum during a crossfade, never
/// taken from an input whose weight is settled at 0. Audio thread only; `process` and selection
/// changes never allocate; adding inputs allocates.
class Router : public wave::Source, public PropertyOwner {
public:
    explicit Router(wave::Environment* environment) : wave::Source(environment) {}
    ~Router() override;

    /// The selected input, clamped to 0..inputCount - 1 (0 without inputs) when assigned.
    Property<int32_t>& selectedInput() noexcept { return selected_; }
    const Property<int32_t>& selectedInput() const noexcept { return selected_; }
    /// Crossfade time of the next selections in ms (default 20); negative or NaN becomes 0.
    Property<float>& switchTimeMs() noexcept { return switchTimeMs_; }
    const Property<float>& switchTimeMs() const noexcept { return switchTimeMs_; }

    /// Appends an input (input may be null) and returns its index; its weight starts at 1 when
    /// the index is the selected one, else at 0. Allocates.
    int32_t addInput(wave::Producer* input);
    /// Re-wires input `index`; out-of-range indices are ignored.
    void setInput(int32_t index, wave::Producer* input) noexcept;
    wave::Producer* input(int32_t index) const noexcept;
    int32_t inputCount() const noexcept { return static_cast<int32_t>(entries_.size()); }
    /// The smoothed weight of input `index` (null when out of range), for inspection.
    const FloatParameter* weight(int32_t index) const noexcept;
    /// The input currently passed through without arithmetic, or -1 while crossfading.
    int32_t passThroughInput() const noexcept { return passThrough_; }

    void process(wave::BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;
    void propertyChanged(AbstractProperty* property) override;

private:
    struct Entry {
        Entry(wave::Environment* environment, float initialWeight)
            : weight(environment, initialWeight) {}
        FloatParameter weight;
        wave::Producer* producer = nullptr;
    };

    void select(int32_t index) noexcept;

    std::vector<std::unique_ptr<Entry>> entries_;
    Property<int32_t> selected_{this, 0};
    Property<float> switchTimeMs_{this, 20.0f};
    int32_t passThrough_ = -1;
};

}  // namespace tessel
