#include "bands/MultiBand.h"

#include <algorithm>

namespace tessel {

// ---- MultiBand::Crossover ----

MultiBand::Crossover::Crossover(wave::Environment* environment, int32_t maxAttachedAllPasses)
    : frequency_(environment, CrossoverFilter::kDefaultFrequencyOctaves),
      frequencyForwarder_(environment, &frequency_),
      slope_(this, CrossoverFilter::Slope::k24DbPerOctave),
      attached_(static_cast<std::size_t>(std::max(maxAttachedAllPasses, 0)), nullptr) {
    frequency_.parameter().setLimits(0.0f, CrossoverFilter::kMaxFrequencyOctaves);
    const CrossoverFilter::Response responses[2] = {CrossoverFilter::Response::kLowPass,
                                                    CrossoverFilter::Response::kHighPass};
    for (std::size_t side = 0; side < 2; ++side) {
        halves_[side] = std::make_unique<CrossoverFilter>(environment, responses[side], slope_);
        halves_[side]->setFrequencySource(&frequencyForwarder_);
        outputs_[side] = std::make_unique<wave::Forwarder>(environment);
    }
}

void MultiBand::Crossover::attach(CrossoverFilter* allPass) noexcept {
    if (attachedCount_ >= static_cast<int32_t>(attached_.size())) return;  // cannot happen
    allPass->response() = CrossoverFilter::Response::kAllPass;
    allPass->slope() = slope_.get();
    allPass->setFrequencySource(&frequencyForwarder_);
    attached_[static_cast<std::size_t>(attachedCount_++)] = allPass;
}

void MultiBand::Crossover::propertyChanged(AbstractProperty* property) {
    if (property != &slope_) return;
    halves_[0]->slope() = slope_.get();
    halves_[1]->slope() = slope_.get();
    for (int32_t i = 0; i < attachedCount_; ++i)
        attached_[static_cast<std::size_t>(i)]->slope() = slope_.get();
}

// ---- MultiBand ----

int32_t MultiBand::allPassPoolSize(int32_t crossovers) noexcept {
    // F(n): all-passes of a subtree of n crossovers; its root needs one per crossover of each
    // of its subtrees, n - 1 in all.
    auto f = [](auto&& self, int32_t n) -> int32_t {
        if (n < 1) return 0;
        return self(self, n / 2) + self(self, n - n / 2 - 1) + n - 1;
    };
    return f(f, crossovers);
}

MultiBand::MultiBand(wave::Environment* environment, CrossoverMultiBandModel* model)
    : wave::MultiProducer(environment, model->maxBandCount()),
      model_(model),
      inputForwarder_(environment, &input_) {
    // Everything the largest tree needs is made now, so that following the model never
    // allocates: a band count change only re-points inputs.
    const int32_t maxBands = model->maxBandCount();
    const int32_t maxCrossovers = maxBands - 1;
    crossovers_.reserve(static_cast<std::size_t>(maxCrossovers));
    for (int32_t k = 0; k < maxCrossovers; ++k)
        crossovers_.push_back(std::make_unique<Crossover>(environment, maxCrossovers));
    const int32_t poolSize = allPassPoolSize(maxCrossovers);
    allPasses_.reserve(static_cast<std::size_t>(poolSize));
    for (int32_t i = 0; i < poolSize; ++i)
        allPasses_.push_back(
            std::make_unique<CrossoverFilter>(environment, CrossoverFilter::Response::kAllPass));
    bandOutputs_.reserve(static_cast<std::size_t>(maxBands));
    for (int32_t j = 0; j < maxBands; ++j)
        bandOutputs_.push_back(std::make_unique<wave::Forwarder>(environment));

    model_->changedEvent().addHandler(this, &MultiBand::modelChanged);
    modelChanged(model_);
}

MultiBand::~MultiBand() {
    model_->changedEvent().removeHandler(this, &MultiBand::modelChanged);
}

void MultiBand::pairWith(MultiBand& follower) noexcept {
    for (std::size_t k = 0; k < crossovers_.size() && k < follower.crossovers_.size(); ++k)
        for (int32_t side = 0; side < 2; ++side)
            crossovers_[k]->half(side).link(&follower.crossovers_[k]->half(side),
                                            BiquadProcessor::LinkKind::kStereoPair);
    // Both trees are rewired the same way from the same model, so pool entry j holds the same
    // all-pass in both.
    for (std::size_t j = 0; j < allPasses_.size() && j < follower.allPasses_.size(); ++j)
        allPasses_[j]->link(follower.allPasses_[j].get(), BiquadProcessor::LinkKind::kStereoPair);
}

void MultiBand::restart() noexcept {
    bandCount_ = -1;
    modelChanged(model_);
}

void MultiBand::modelChanged(void*) {
    const bool rewired = model_->bandCount() != bandCount_;
    if (rewired) rewire();
    for (int32_t k = 0; k + 1 < bandCount_; ++k) {
        const CrossoverMultiBandModel::Crossover& source = model_->crossover(k);
        Crossover& c = *crossovers_[static_cast<std::size_t>(k)];
        c.slope() = CrossoverFilter::slopeForDbPerOctave(source.slopeDbPerOctave());
        // In a new tree crossover k may stand for another split point: jump there. Otherwise
        // glide, so a moving band sweeps its filters smoothly.
        if (rewired)
            c.frequencyOctaves().parameter().setValue(source.frequencyOctaves(), 0.0f);
        else
            c.frequencyOctaves().assign(source.frequencyOctaves());
    }
}

wave::Producer* MultiBand::chainAllPasses(wave::Producer* from, int32_t first,
                                          int32_t count) noexcept {
    for (int32_t j = first; j < first + count; ++j) {
        CrossoverFilter& allPass = *allPasses_[static_cast<std::size_t>(allPassesInUse_++)];
        allPass.setInput(from);
        crossovers_[static_cast<std::size_t>(j)]->attach(&allPass);
        allPass.reset();
        from = &allPass;
    }
    return from;
}

void MultiBand::rewire() noexcept {
    const int32_t bands = model_->bandCount();
    const int32_t crossovers = bands - 1;
    for (auto& c : crossovers_) {
        c->detachAll();
        for (int32_t side = 0; side < 2; ++side) {
            c->half(side).setInput(nullptr);
            c->output(side).setInput(nullptr);
        }
    }
    for (auto& allPass : allPasses_)
        allPass->setInput(nullptr);
    allPassesInUse_ = 0;

    // Each node splits what its parent passes on its side. Its low side then copies the phase
    // of every crossover in its upper subtree, its high side that of its lower subtree, in
    // increasing index order: each branch ends up having passed every crossover of the subtree
    // once, as a half or as an all-pass, and the halves of each crossover sum to its all-pass.
    for (int32_t k = 0; k < crossovers; ++k) {
        const CrossoverMultiBandModel::Crossover& node = model_->crossover(k);
        Crossover& c = *crossovers_[static_cast<std::size_t>(k)];
        wave::Producer* in = &inputForwarder_;
        if (node.parent() != nullptr)
            in = &crossovers_[static_cast<std::size_t>(node.parentIndex())]->output(node.side());
        for (int32_t side = 0; side < 2; ++side) {
            c.half(side).setInput(in);
            // A filter in a new place starts from silence rather than from another signal's
            // state.
            c.half(side).reset();
        }
        c.output(0).setInput(chainAllPasses(&c.half(0), k + 1, node.upperSize()));
        c.output(1).setInput(chainAllPasses(&c.half(1), k - node.lowerSize(), node.lowerSize()));
    }
    for (int32_t j = 0; j < static_cast<int32_t>(bandOutputs_.size()); ++j) {
        wave::Forwarder& out = *bandOutputs_[static_cast<std::size_t>(j)];
        if (j >= bands) {
            out.setInput(nullptr);
            continue;
        }
        const CrossoverMultiBandModel::Band& band = model_->band(j);
        const CrossoverMultiBandModel::Crossover* leaf = band.leafCrossover();
        out.setInput(
            leaf == nullptr
                ? static_cast<wave::Producer*>(&inputForwarder_)
                : &crossovers_[static_cast<std::size_t>(leaf->index())]->output(band.leafSide()));
    }
    bandCount_ = bands;
}

void MultiBand::process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept {
    const int32_t outputs = outputCount();
    for (int32_t j = 0; j < outputs; ++j) {
        blocks[j] = j < bandCount_ ? bandOutputs_[static_cast<std::size_t>(j)]->pull(frames)
                                   : environment()->zeroBlock();
    }
}

}  // namespace tessel
