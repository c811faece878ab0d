#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "bands/FrequencyResponseSource.h"
#include "params/TesselEnumerations.h"
#include "support/DeferredEvent.h"
#include "support/NotifyEvent.h"
#include "support/Property.h"
#include "support/UpdatedObject.h"

namespace tessel {

/// The spectrum as contiguous model bands separated by crossovers, lowest first: band j lies
/// between crossover j-1 and crossover j. The crossovers form a balanced tree (recursive halving
/// of their index range), which is both how the minimum-phase splitter is wired and how a band's
/// response is composed: the half of its leaf crossover times, walking up, the half of each
/// parent on which the subtree hangs. Every band's response is sampled on one frequency grid
/// (the Mapping) and the bands sum to 1 + 0j at every grid point in every processing mode.
/// In linear-phase mode (the shape the kernels are built from) a half needs no libm call: it is
/// computed from the grid's table of octave values with a polynomial 2^x (band responses within
/// 1e-10 relative of the pow formula, plus the rounding of 1 - low that both share), and a band
/// computes runs of points on the stack, not through the caches.
/// Frequencies are octave values (log2 Hz), slopes dB per octave. Bands and crossovers are all
/// created up front for the largest band count, so changing the count, frequencies, slopes,
/// activity, sample rate or mode never allocates (only grid changes do). Changes are coalesced
/// through UpdatedObject: one changedEvent per update, after a hold ends. Not locked: the model
/// is changed and read on one thread (the audio thread for the processor's model).
class CrossoverMultiBandModel : public PropertyOwner, public UpdatedObject {
public:
    /// Six user bands, each with a possible gap band below, plus a gap above the last.
    static constexpr int32_t kDefaultMaxBandCount = 2 * 6 + 1;
    static constexpr float kDefaultSampleRate = 44100.0f;
    /// log2(1000 Hz).
    static constexpr float kDefaultCrossoverOctaves = 9.965784f;
    static constexpr float kDefaultSlopeDbPerOctave = 24.0f;

    class Crossover;

    /// The low side of one crossover on the model's grid, cached. The high side is 1 - low.
    class CrossoverResponseSource : public CachedDiscreteFrequencyResponseSource {
    public:
        CrossoverResponseSource(Crossover* crossover, Mapping* mapping)
            : CachedDiscreteFrequencyResponseSource(mapping), crossover_(crossover) {}

    protected:
        Complex computeResponse(int32_t index) const override;

    private:
        Crossover* crossover_;
    };

    /// One split point: frequency (octave value) and slope (dB/oct), the derived 1/fc and 1/Kc
    /// that the responses use, and its place in the tree.
    class Crossover : public PropertyOwner {
    public:
        Crossover(CrossoverMultiBandModel* owner, int32_t index);

        Property<float>& frequencyOctaves() noexcept { return frequencyOctaves_; }
        const Property<float>& frequencyOctaves() const noexcept { return frequencyOctaves_; }
        Property<float>& slopeDbPerOctave() noexcept { return slopeDbPerOctave_; }
        const Property<float>& slopeDbPerOctave() const noexcept { return slopeDbPerOctave_; }

        int32_t index() const noexcept { return index_; }
        CrossoverMultiBandModel* owner() const noexcept { return owner_; }
        CrossoverResponseSource& responseSource() noexcept { return responseSource_; }
        const CrossoverResponseSource& responseSource() const noexcept { return responseSource_; }

        /// 1 / fc with fc in Hz.
        double inverseFrequency() const noexcept { return inverseFrequency_; }
        /// 1 / tan(pi fc / fs), the angle clamped short of Nyquist.
        double inverseTangent() const noexcept { return inverseTangent_; }
        /// log2 fc of the fc above (the frequency limited to 1 Hz and up).
        double responseOctaves() const noexcept { return responseOctaves_; }

        /// Low (side 0) or high (side 1) half at grid index i; the two always sum to 1.
        FrequencyResponseSource::Complex halfResponse(int32_t side, int32_t index) const;
        /// Multiplies gains[k] by the linear-phase half on `side` at grid index first + k, for
        /// k < count (indices within the grid). Computed afresh without the cache, whose read
        /// costs about as much; bit for bit the value halfResponse gives. [audio thread]
        void multiplyLinearPhaseHalf(int32_t side, int32_t first, int32_t count,
                                     double* gains) const noexcept;

        /// Tree links: the parent (null for the root), its index (-1 for the root), the side of
        /// the parent this node hangs on (1 = upper subtree) and the sizes of both subtrees.
        Crossover* parent() const noexcept { return parent_; }
        int32_t parentIndex() const noexcept { return parent_ != nullptr ? parent_->index_ : -1; }
        int32_t side() const noexcept { return side_; }
        int32_t lowerSize() const noexcept { return lowerSize_; }
        int32_t upperSize() const noexcept { return upperSize_; }

        void propertyChanged(AbstractProperty* property) override;

    private:
        friend class CrossoverMultiBandModel;

        /// Recomputes 1/fc and 1/Kc and empties the response cache.
        void refresh() noexcept;

        CrossoverMultiBandModel* owner_;
        int32_t index_;
        Property<float> frequencyOctaves_;
        Property<float> slopeDbPerOctave_;
        CrossoverResponseSource responseSource_;
        float refreshedOctaves_;
        double inverseFrequency_ = 0.0;
        double inverseTangent_ = 0.0;
        double responseOctaves_ = 0.0;
        Crossover* parent_ = nullptr;
        int32_t side_ = 0;
        int32_t lowerSize_ = 0;
        int32_t upperSize_ = 0;
    };

    /// One model band: active when it carries a user band (inactive gap bands still pass their
    /// share of the spectrum). Its response is composed from the crossover tree.
    class Band : public DiscreteFrequencyResponseSource, public PropertyOwner {
    public:
        Band(CrossoverMultiBandModel* owner, int32_t index);

        Property<bool>& active() noexcept { return active_; }
        const Property<bool>& active() const noexcept { return active_; }
        int32_t index() const noexcept { return index_; }
        CrossoverMultiBandModel* owner() const noexcept { return owner_; }

        /// The crossover whose output this band is (null with a single band) and its side.
        Crossover* leafCrossover() const noexcept { return leaf_; }
        int32_t leafSide() const noexcept { return leafSide_; }

        Complex response(int32_t index) const override;
        /// In linear-phase mode the whole run is computed in blocks, crossover by crossover up
        /// the tree, on the stack; the same values as response(i). [audio thread]
        void responses(int32_t first, int32_t count, Complex* out) const override;
        void propertyChanged(AbstractProperty* property) override;

    private:
        friend class CrossoverMultiBandModel;

        CrossoverMultiBandModel* owner_;
        int32_t index_;
        Property<bool> active_;
        Crossover* leaf_ = nullptr;
        int32_t leafSide_ = 0;
    };

    explicit CrossoverMultiBandModel(int32_t maxBandCount = kDefaultMaxBandCount);
    ~CrossoverMultiBandModel() override;

    Property<float>& sampleRate() noexcept { return sampleRate_; }
    /// Model bands in use, 1..maxBandCount(); setting it rebuilds the tree.
    LimitedProperty<int32_t>& bandCount() noexcept { return bandCount_; }
    const LimitedProperty<int32_t>& bandCount() const noexcept { return bandCount_; }
    Property<ProcessingMode>& processingMode() noexcept { return processingMode_; }
    const Property<ProcessingMode>& processingMode() const noexcept { return processingMode_; }

    /// The grid every band and crossover response is sampled on (20 Hz..20 kHz, 255 points,
    /// linear by default).
    DiscreteFrequencyResponseSource::Mapping& mapping() noexcept { return mapping_; }

    int32_t maxBandCount() const noexcept { return static_cast<int32_t>(bands_.size()); }
    int32_t crossoverCount() const noexcept { return bandCount_ - 1; }
    Band& band(int32_t index) noexcept { return *bands_[static_cast<std::size_t>(index)]; }
    const Band& band(int32_t index) const noexcept {
        return *bands_[static_cast<std::size_t>(index)];
    }
    Crossover& crossover(int32_t index) noexcept {
        return *crossovers_[static_cast<std::size_t>(index)];
    }
    const Crossover& crossover(int32_t index) const noexcept {
        return *crossovers_[static_cast<std::size_t>(index)];
    }
    /// Index of the tree's root crossover; -1 with a single band.
    int32_t rootIndex() const noexcept { return rootIndex_; }

    /// Fired once per update in which anything changed, with the model as the sender.
    NotifyEvent& changedEvent() noexcept { return changedEvent_; }
    bool changePending() const noexcept { return changed_.isPending(); }

    void propertyChanged(AbstractProperty* property) override;

private:
    /// Marks the model changed and requests the (possibly held) update.
    void markChanged() { raise(changed_); }
    void rebuildTree() noexcept;
    /// Builds the subtree over crossovers first .. first + count - 1; returns its root index.
    int32_t buildRange(int32_t first, int32_t count, Crossover* parent) noexcept;

    Property<float> sampleRate_;
    LimitedProperty<int32_t> bandCount_;
    Property<ProcessingMode> processingMode_;
    NotifyEvent changedEvent_;
    DeferredEvent changed_;
    DiscreteFrequencyResponseSource::Mapping mapping_;
    std::vector<std::unique_ptr<Band>> bands_;
    std::vector<std::unique_ptr<Crossover>> crossovers_;
    int32_t rootIndex_ = -1;
};

}  // namespace tessel
