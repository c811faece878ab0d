#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "bands/CrossoverFilter.h"
#include "bands/CrossoverMultiBandModel.h"
#include "engine/FloatParameterBus.h"
#include "engine/wave/Filter.h"
#include "engine/wave/InputForwarder.h"
#include "engine/wave/MultiProducer.h"
#include "support/Property.h"

namespace tessel {

/// The minimum-phase band splitter: a tree of crossovers that follows a CrossoverMultiBandModel
/// and gives one output per model band, lowest first. Every branch also passes all-pass copies
/// of the crossovers it does not go through, so the outputs sum to the input through one common
/// all-pass (a flat magnitude). With one model band output 0 is the input itself.
/// Everything is created for the model's largest band count at construction: all crossovers,
/// one output forwarder and output per possible band, and the all-pass pool of the largest tree.
/// Outputs beyond the current band count give the zero block. So following the model, rewiring
/// to another band count included, never allocates. The model's change handler runs on the
/// thread that changes the model, which for the processor's model is the audio thread between
/// cycles. The model must outlive the splitter.
class MultiBand : public wave::MultiProducer {
public:
    /// One crossover: a low-pass and a high-pass half reading one shared frequency control
    /// (octave value, 0..15), an output forwarder per side (the end of each side's all-pass
    /// chain), and the pool all-passes elsewhere in the tree that copy this crossover's phase.
    /// Setting the slope sets it on both halves and on every attached all-pass. Audio thread.
    class Crossover : public PropertyOwner {
    public:
        Crossover(wave::Environment* environment, int32_t maxAttachedAllPasses);

        /// The shared frequency control; changes ramp (automatic time) unless given a time.
        FloatParameterBus& frequencyOctaves() noexcept { return frequency_; }
        /// The control as a graph node, read by both halves and every attached all-pass.
        wave::Producer* frequencySource() noexcept { return &frequencyForwarder_; }
        Property<CrossoverFilter::Slope>& slope() noexcept { return slope_; }

        /// 0 the low-pass half, 1 the high-pass half.
        CrossoverFilter& half(int32_t side) noexcept {
            return *halves_[static_cast<std::size_t>(side & 1)];
        }
        /// End of the low (0) or high (1) side's chain.
        wave::Forwarder& output(int32_t side) noexcept {
            return *outputs_[static_cast<std::size_t>(side & 1)];
        }
        int32_t attachedAllPassCount() const noexcept { return attachedCount_; }

        /// Makes `allPass` a copy of this crossover (frequency and slope) and keeps it in step.
        void attach(CrossoverFilter* allPass) noexcept;
        void detachAll() noexcept { attachedCount_ = 0; }

        void propertyChanged(AbstractProperty* property) override;

    private:
        FloatParameterBus frequency_;
        FloatParameterBusForwarder frequencyForwarder_;
        Property<CrossoverFilter::Slope> slope_;
        std::array<std::unique_ptr<CrossoverFilter>, 2> halves_;
        std::array<std::unique_ptr<wave::Forwarder>, 2> outputs_;
        std::vector<CrossoverFilter*> attached_;  // sized at construction
        int32_t attachedCount_ = 0;
    };

    /// Builds the splitter for `model` and follows it from now on (subscribes to its changes).
    MultiBand(wave::Environment* environment, CrossoverMultiBandModel* model);
    ~MultiBand() override;

    void setInput(wave::Producer* input) noexcept { input_ = input; }
    wave::Producer* input() const noexcept { return input_; }

    /// Model bands in use (outputs at and above it are silent).
    int32_t bandCount() const noexcept { return bandCount_; }
    int32_t crossoverCount() const noexcept { return bandCount_ - 1; }
    Crossover& crossover(int32_t index) noexcept {
        return *crossovers_[static_cast<std::size_t>(index)];
    }
    /// All-pass filters the current tree uses, and the size of the pool.
    int32_t allPassesInUse() const noexcept { return allPassesInUse_; }
    int32_t allPassPoolSize() const noexcept { return static_cast<int32_t>(allPasses_.size()); }
    CrossoverMultiBandModel* model() const noexcept { return model_; }

    /// All-pass filters a tree of `crossovers` crossovers needs: the sum over its nodes of the
    /// sizes of both subtrees (25 for 12 crossovers, 6 for 5).
    static int32_t allPassPoolSize(int32_t crossovers) noexcept;

    void process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept override;

    /// Rewires when the band count changed, then copies every crossover's frequency and mapped
    /// slope from the model. Runs once at construction and on every model change notification.
    void modelChanged(void* sender);
    /// Makes every filter of this splitter filter `follower`'s channel too, in one pass with the
    /// same coefficients (a stereo pair): both splitters must follow the same model. Never
    /// allocates. [audio thread, or before processing]
    void pairWith(MultiBand& follower) noexcept;
    /// Rewires the tree for the model as it stands and jumps every crossover to it: every filter
    /// starts from silence. For a splitter that was idle and is about to take over. Never
    /// allocates.
    void restart() noexcept;

private:
    void rewire() noexcept;
    /// Appends the all-passes copying crossovers first .. first + count - 1 behind `from`;
    /// returns the end of the chain.
    wave::Producer* chainAllPasses(wave::Producer* from, int32_t first, int32_t count) noexcept;

    CrossoverMultiBandModel* model_;
    wave::Producer* input_ = nullptr;
    wave::InputForwarder inputForwarder_;
    std::vector<std::unique_ptr<Crossover>> crossovers_;
    std::vector<std::unique_ptr<CrossoverFilter>> allPasses_;
    std::vector<std::unique_ptr<wave::Forwarder>> bandOutputs_;
    int32_t bandCount_ = 0;
    int32_t allPassesInUse_ = 0;
};

}  // namespace tessel
