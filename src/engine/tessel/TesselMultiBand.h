#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "bands/Convolver.h"
#include "bands/CrossoverMultiBandModel.h"
#include "bands/FloatingMultiBandModel.h"
#include "bands/FrequencyResponseKernel.h"
#include "bands/MultiBand.h"
#include "engine/Mixer.h"
#include "engine/Router.h"
#include "engine/wave/DelayFilter.h"
#include "engine/wave/Filter.h"
#include "engine/wave/SubEnvironment.h"
#include "sr/ConverterStyle.h"
#include "sr/InterpolatorFilter.h"
#include "support/Property.h"

namespace tessel {

/// One channel's band splitting: takes a host-rate signal and gives the six user bands' signals
/// and the remainder (what no band covers) in the band-processing environment. Two structures:
/// the FIR structure of Linear Phase (each band the input convolved with its linear-phase kernel,
/// the remainder the delayed input less every band, so the parts sum to the delayed input
/// exactly) and the IIR structure of the other modes (a crossover tree whose outputs sum to an
/// all-pass of the input).
/// A change in the number of crossovers, or in which model band carries a user band, cannot glide:
/// the tree is rewired and its filters start from silence. So every channel has two splitters;
/// such a change goes to the idle one, restarted from silence, and each band signal and the
/// remainder crossfade to it over kSplitSwitchMs, which hides the new filters' start. Frequency
/// and slope moves that keep the tree go to the running splitter and glide.
/// Audio thread only; `follow` never allocates, `rebuild` does.
class TesselMultiBand {
public:
    class Style;

    static constexpr int32_t kBandCount = FloatingMultiBandModel::kBandCount;
    static constexpr int32_t kModelBandCount = CrossoverMultiBandModel::kDefaultMaxBandCount;
    /// Crossfade between the two splitters after a change that rewires the tree.
    static constexpr float kSplitSwitchMs = 40.0f;

    TesselMultiBand(Style* style, wave::Environment* root, wave::SubEnvironment* bands);
    ~TesselMultiBand();
    TesselMultiBand(const TesselMultiBand&) = delete;
    TesselMultiBand& operator=(const TesselMultiBand&) = delete;

    /// The signal to split, a node of the root environment.
    void setInput(wave::Producer* input) noexcept { input_.setInput(input); }
    /// User band b's signal (silence while the band is not in use).
    wave::Producer* bandOutput(int32_t band) noexcept {
        return &*bandOutputs_[static_cast<std::size_t>(band)];
    }
    wave::Producer* remainderOutput() noexcept { return &remainderOutput_; }

    /// Follows the style: its structure, its running splitter and the bands in use. Call after
    /// every layout or structure change. [audio thread]
    void follow() noexcept;
    /// FIR structure: stops the convolvers of bands that have been out of use long enough for
    /// their output to be silence. Call once per host block. [audio thread]
    void stopIdleConvolvers() noexcept;
    /// Creates the FIR objects for the style's current configuration (when the structure is
    /// FIR) and sizes the dry delay. Allocates. [audio thread, inside a rebuild]
    void rebuild();

    /// Stereo: this channel's splitters filter `second`'s channel too, in the same passes.
    void pairWith(TesselMultiBand& second) noexcept {
        for (std::size_t i = 0; i < splitters_.size(); ++i)
            splitters_[i]->pairWith(*second.splitters_[i]);
    }
    MultiBand& splitter(int32_t index) noexcept {
        return *splitters_[static_cast<std::size_t>(index)];
    }
    bool hasFirStructure() const noexcept { return fir_ != nullptr; }

private:
    struct Fir;

    Style* style_;
    wave::Environment* root_;
    wave::SubEnvironment* bands_;
    wave::Forwarder input_;
    sr::InterpolatorFilter upsampler_;
    std::array<std::unique_ptr<MultiBand>, 2> splitters_;
    std::array<std::unique_ptr<Mixer>, 2> splitterSums_;  // model outputs no user band takes
    std::array<std::unique_ptr<Router>, kBandCount> bandRouters_;
    Router remainderRouter_;
    std::array<std::unique_ptr<wave::Forwarder>, kBandCount> bandOutputs_;
    wave::Forwarder remainderOutput_;
    std::unique_ptr<Fir> fir_;
    uint32_t switchGeneration_ = 0;
    int32_t structure_ = -1;
};

/// The splitting state every channel shares: the structure (0 FIR, 1 IIR), the any-band-soloed
/// flag, the converter style, the crossover model the layout drives (band responses for the
/// kernels and the editor), the two splitter models the channels' splitters follow, and, for
/// the FIR structure, one linear-phase kernel per user band whose response is the model band
/// that carries it. Audio thread only; `rebuild` allocates.
class TesselMultiBand::Style : public wave::Component, public PropertyOwner {
public:
    Style(wave::Environment* root, wave::SubEnvironment* bands, sr::ConverterStyle* converters,
          FloatingMultiBandModel* layout);
    ~Style() override;

    /// 0 for the FIR split of Linear Phase, 1 for the crossover tree.
    Property<int32_t>& processingStructure() noexcept { return structure_; }
    Property<bool>& anyBandSoloed() noexcept { return anyBandSoloed_; }
    sr::ConverterStyle* converterStyle() const noexcept { return converters_; }
    FloatingMultiBandModel* layout() const noexcept { return layout_; }
    CrossoverMultiBandModel* crossoverModel() const noexcept { return layout_->crossoverModel(); }
    wave::SubEnvironment* bandEnvironment() const noexcept { return bands_; }

    CrossoverMultiBandModel& splitterModel(int32_t index) noexcept {
        return *splitterModels_[static_cast<std::size_t>(index)];
    }
    int32_t activeSplitter() const noexcept { return active_; }
    /// Counts the switches from one splitter to the other.
    uint32_t switchGeneration() const noexcept { return switchGeneration_; }
    /// The model band of `splitter` that carries user band b, -1 when b is not in use.
    int32_t modelBandOf(int32_t splitter, int32_t band) const noexcept {
        return bandMap_[static_cast<std::size_t>(splitter)][static_cast<std::size_t>(band)];
    }
    bool bandInUse(int32_t band) const noexcept { return modelBandOf(active_, band) >= 0; }

    /// Kernels exist only while the structure is FIR (after `rebuild`).
    FrequencyResponseKernel* kernel(int32_t band) const noexcept {
        return kernels_[static_cast<std::size_t>(band)].get();
    }
    const std::shared_ptr<const Convolver::Configuration>& configuration() const noexcept {
        return configuration_;
    }
    /// Creates or drops the FIR kernels for the structure and the root's sample rate, and
    /// re-reads the layout. Allocates.
    void rebuild();
    /// Number of rebuilds so far.
    int32_t rebuildCount() const noexcept { return rebuildCount_; }
    /// Channel splitters that follow this style (each registers itself). Allocates.
    void addFollower(TesselMultiBand* follower) { followers_.push_back(follower); }
    void removeFollower(TesselMultiBand* follower) noexcept { std::erase(followers_, follower); }
    /// Takes the layout's pending change into the splitter models and tells the followers.
    /// The processor commits after each batch of parameter changes, so that the several
    /// parameters of one edit make one change, and before every host block; a change that needs the
    /// other splitter while the last switch is still crossfading waits until it has finished
    /// (unless forced). [audio thread]
    void commit(bool force) noexcept;
    bool changePending() const noexcept { return pending_; }

    void propertyChanged(AbstractProperty* property) override;

private:
    void layoutChanged(void* sender);
    /// Copies the driven model into splitter model `index` (one change notification).
    void copyInto(int32_t index);
    void repointKernels() noexcept;

    wave::SubEnvironment* bands_;
    sr::ConverterStyle* converters_;
    FloatingMultiBandModel* layout_;
    Property<int32_t> structure_;
    Property<bool> anyBandSoloed_;
    std::array<std::unique_ptr<CrossoverMultiBandModel>, 2> splitterModels_;
    std::array<std::array<int32_t, kBandCount>, 2> bandMap_{};
    int32_t active_ = 0;
    uint32_t switchGeneration_ = 0;
    std::shared_ptr<const Convolver::Configuration> configuration_;
    std::array<std::unique_ptr<FrequencyResponseKernel>, kBandCount> kernels_;
    int32_t rebuildCount_ = 0;
    bool pending_ = false;
    int64_t lastSwitchPosition_ = -(int64_t{1} << 40);
    std::vector<TesselMultiBand*> followers_;
};

}  // namespace tessel
