#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "bands/CrossoverMultiBandModel.h"
#include "support/DeferredEvent.h"
#include "support/NotifyEvent.h"
#include "support/Property.h"
#include "support/UpdatedObject.h"

namespace tessel {

/// The six freely placed user bands, and the layout that turns them into the contiguous model
/// bands of a CrossoverMultiBandModel. Bands may leave gaps, touch or overlap; the layout gives
/// every used band a model band at least 0.8 octave wide, shares one crossover between touching
/// or overlapping bands, closes gaps of at most 0.1 octave and makes wider gaps inactive model
/// bands. Frequencies are octave values (log2 Hz) within 30 Hz..30 kHz, slopes dB/oct in 1..48.
/// A band property change re-runs the layout in the next update (at once, or when the
/// outermost hold ends); the crossover model's notifications are held until the layout is done,
/// so its listeners see one consistent change. Nothing here allocates after construction, so
/// the processor's pair of models may be driven on the audio thread. Not locked.
class FloatingMultiBandModel : public UpdatedObject {
public:
    static constexpr int32_t kBandCount = 6;
    static constexpr float kHighestFrequencyOctaves = 14.872674f;  // 30 kHz
    static constexpr float kLowestFrequencyOctaves = 4.9068909f;   // 30 Hz
    static constexpr float kMinimumBandWidthOctaves = 0.8f;
    /// Gaps up to this wide are closed; wider ones become an inactive model band.
    static constexpr float kMinimumGapOctaves = 0.1f;
    static constexpr float kMinimumSlopeDbPerOctave = 1.0f;
    static constexpr float kMaximumSlopeDbPerOctave = 48.0f;
    static constexpr float kDefaultSlopeDbPerOctave = 24.0f;

    /// One user band. `bypassed` mirrors a band switched off by its state (still laid out, not
    /// processed), so changing it leaves the layout alone.
    class Band : public PropertyOwner {
    public:
        Band(FloatingMultiBandModel* owner, int32_t number);

        /// Takes part in the layout (false for an unused band slot).
        Property<bool>& used() noexcept { return used_; }
        /// The model band that carries this band, written by the layout (-1 when none).
        Property<int32_t>& modelBandIndex() noexcept { return modelBandIndex_; }
        LimitedProperty<float>& lowFrequencyOctaves() noexcept { return lowFrequency_; }
        LimitedProperty<float>& highFrequencyOctaves() noexcept { return highFrequency_; }
        LimitedProperty<float>& lowSlopeDbPerOctave() noexcept { return lowSlope_; }
        LimitedProperty<float>& highSlopeDbPerOctave() noexcept { return highSlope_; }
        Property<bool>& bypassed() noexcept { return bypassed_; }

        const Property<bool>& used() const noexcept { return used_; }
        const Property<int32_t>& modelBandIndex() const noexcept { return modelBandIndex_; }
        const LimitedProperty<float>& lowFrequencyOctaves() const noexcept { return lowFrequency_; }
        const LimitedProperty<float>& highFrequencyOctaves() const noexcept {
            return highFrequency_;
        }
        const LimitedProperty<float>& lowSlopeDbPerOctave() const noexcept { return lowSlope_; }
        const LimitedProperty<float>& highSlopeDbPerOctave() const noexcept { return highSlope_; }
        const Property<bool>& bypassed() const noexcept { return bypassed_; }

        int32_t number() const noexcept { return number_; }
        FloatingMultiBandModel* owner() const noexcept { return owner_; }

        /// Sets both edges (octave values) in one layout pass.
        void setRange(float lowOctaves, float highOctaves);

        void propertyChanged(AbstractProperty* property) override;

    private:
        Property<bool> used_;
        Property<int32_t> modelBandIndex_;
        LimitedProperty<float> lowFrequency_;
        LimitedProperty<float> highFrequency_;
        LimitedProperty<float> lowSlope_;
        LimitedProperty<float> highSlope_;
        Property<bool> bypassed_;
        int32_t number_;
        FloatingMultiBandModel* owner_;
    };

    /// Drives `crossoverModel`, which must have room for 2 * kBandCount + 1 bands and outlive
    /// this model. Lays out the initial state (no band used: one inactive model band).
    explicit FloatingMultiBandModel(CrossoverMultiBandModel* crossoverModel);

    Band& band(int32_t number) noexcept { return *bands_[static_cast<std::size_t>(number)]; }
    const Band& band(int32_t number) const noexcept {
        return *bands_[static_cast<std::size_t>(number)];
    }
    CrossoverMultiBandModel* crossoverModel() const noexcept { return crossoverModel_; }
    bool layoutChanged() const noexcept { return layoutChanged_; }

    /// Fired after each layout pass, with this model as the sender.
    NotifyEvent& layoutEvent() noexcept { return layoutEvent_; }

protected:
    void performUpdate() override;

private:
    /// A band property that affects the layout changed.
    void markLayoutChanged();
    void layout();

    std::array<std::unique_ptr<Band>, kBandCount> bands_;
    CrossoverMultiBandModel* crossoverModel_;
    bool layoutChanged_ = true;
    NotifyEvent layoutEvent_;
    DeferredEvent layoutDone_;
};

}  // namespace tessel
