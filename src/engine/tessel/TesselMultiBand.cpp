#include "engine/tessel/TesselMultiBand.h"

#include "bands/LinearPhaseSizing.h"

namespace tessel {

// ---- Style ----

TesselMultiBand::Style::Style(wave::Environment* root, wave::SubEnvironment* bands,
                              sr::ConverterStyle* converters, FloatingMultiBandModel* layout)
    : wave::Component(root),
      bands_(bands),
      converters_(converters),
      layout_(layout),
      structure_(this, 1),
      anyBandSoloed_(this, false) {
    for (auto& model : splitterModels_)
        model = std::make_unique<CrossoverMultiBandModel>(kModelBandCount);
    for (auto& map : bandMap_)
        map.fill(-1);
    layout_->layoutEvent().addHandler(this, &Style::layoutChanged);
    copyInto(0);
    copyInto(1);
    followers_.reserve(8);
}

TesselMultiBand::Style::~Style() {
    layout_->layoutEvent().removeHandler(this, &Style::layoutChanged);
}

void TesselMultiBand::Style::propertyChanged(AbstractProperty*) {}

void TesselMultiBand::Style::copyInto(int32_t index) {
    CrossoverMultiBandModel& from = *crossoverModel();
    CrossoverMultiBandModel& to = splitterModel(index);
    {
        UpdatedObject::ScopedHold hold(to);
        to.sampleRate() = bands_->sampleRate();
        to.bandCount() = from.bandCount().get();
        for (int32_t k = 0; k + 1 < from.bandCount(); ++k) {
            to.crossover(k).frequencyOctaves() = from.crossover(k).frequencyOctaves().get();
            to.crossover(k).slopeDbPerOctave() = from.crossover(k).slopeDbPerOctave().get();
        }
        for (int32_t j = 0; j < from.maxBandCount() && j < to.maxBandCount(); ++j)
            to.band(j).active() = from.band(j).active().get();
    }
    auto& map = bandMap_[static_cast<std::size_t>(index)];
    for (int32_t b = 0; b < kBandCount; ++b) {
        const FloatingMultiBandModel::Band& band = layout_->band(b);
        map[static_cast<std::size_t>(b)] = band.used() ? band.modelBandIndex().get() : -1;
    }
}

void TesselMultiBand::Style::layoutChanged(void*) {
    pending_ = true;
}

void TesselMultiBand::Style::commit(bool force) noexcept {
    if (!pending_ && !force) return;
    // The running splitter can glide to the new layout when its tree keeps its shape and every
    // user band stays on the same model band; anything else goes to the idle splitter.
    const CrossoverMultiBandModel& running = splitterModel(active_);
    bool sameShape = running.bandCount() == crossoverModel()->bandCount();
    for (int32_t b = 0; b < kBandCount && sameShape; ++b) {
        const FloatingMultiBandModel::Band& band = layout_->band(b);
        const int32_t modelBand = band.used() ? band.modelBandIndex().get() : -1;
        sameShape = modelBand == modelBandOf(active_, b);
    }
    if (sameShape) {
        copyInto(active_);
    } else {
        // The splitter faded out last time may still be heard: it takes over only when that
        // crossfade is over.
        const int64_t now = environment()->samplePosition();
        const auto fade =
            static_cast<int64_t>(kSplitSwitchMs * 0.001f * environment()->sampleRate()) +
            environment()->processingBlockSize();
        if (!force && now - lastSwitchPosition_ < fade) return;
        active_ = 1 - active_;
        copyInto(active_);
        ++switchGeneration_;
        lastSwitchPosition_ = now;
    }
    pending_ = false;
    repointKernels();
    for (TesselMultiBand* follower : followers_)
        follower->follow();
}

void TesselMultiBand::Style::repointKernels() noexcept {
    CrossoverMultiBandModel& model = *crossoverModel();
    for (int32_t b = 0; b < kBandCount; ++b) {
        FrequencyResponseKernel* k = kernels_[static_cast<std::size_t>(b)].get();
        if (k == nullptr) continue;
        const int32_t modelBand = modelBandOf(active_, b);
        k->setResponseSource(modelBand >= 0 ? &model.band(modelBand) : nullptr);
        k->markForUpdate();
    }
}

void TesselMultiBand::Style::rebuild() {
    const float fs = environment()->sampleRate();
    CrossoverMultiBandModel& model = *crossoverModel();
    if (structure_.get() == 0) {
        // The kernels are designed at the host rate from the layout's linear-phase responses.
        auto configuration = Convolver::Configuration::forSampleRate(fs);
        FrequencyResponseKernel::configureGrid(model.mapping(), *configuration);
        model.sampleRate() = fs;
        for (auto& k : kernels_) {
            if (k == nullptr)
                k = std::make_unique<FrequencyResponseKernel>(environment(), configuration);
            else
                k->setConfiguration(configuration);
        }
        configuration_ = std::move(configuration);
    } else {
        for (auto& k : kernels_)
            k.reset();
        configuration_.reset();
        model.sampleRate() = bands_->sampleRate();
    }
    for (int32_t i = 0; i < 2; ++i) {
        CrossoverMultiBandModel& m = splitterModel(i);
        m.sampleRate() = bands_->sampleRate();
    }
    commit(true);
    ++rebuildCount_;
}

// ---- the channel's splitting ----

struct TesselMultiBand::Fir {
    Fir(wave::Environment* root, wave::SubEnvironment* bands, Style* style)
        : dryDelay(root, LinearPhaseSizing::latencySamples(root->sampleRate())),
          dryUpsampler(bands, style->converterStyle()),
          remainder(bands, kBandCount + 1) {
        for (int32_t b = 0; b < kBandCount; ++b) {
            auto& convolver = convolvers[static_cast<std::size_t>(b)];
            convolver = std::make_unique<Convolver>(root, style->kernel(b));
            auto& up = upsamplers[static_cast<std::size_t>(b)];
            up = std::make_unique<sr::InterpolatorFilter>(bands, style->converterStyle());
            up->setInput(convolver.get());
        }
        dryDelay.setDelay(LinearPhaseSizing::latencySamples(root->sampleRate()));
        dryUpsampler.setInput(&dryDelay);
        remainder.setInput(0, &dryUpsampler);
        // The remainder subtracts every band's convolver that may still sound: a band coming
        // into use or leaving it changes only its kernel, which the convolver crossfades, so
        // the parts always sum to the delayed input. A band out of use stops running once its
        // silent kernel has taken over and its output has died away (`idle`).
        for (int32_t b = 0; b < kBandCount; ++b) {
            remainder.setInputGainLimits(b + 1, -1.0f, 1.0f);
            remainder.setInput(b + 1, upsamplers[static_cast<std::size_t>(b)].get());
            remainder.inputGain(b + 1)->parameter().setValue(-1.0f, 0.0f);
        }
    }

    wave::DelayFilter dryDelay;
    sr::InterpolatorFilter dryUpsampler;
    std::array<std::unique_ptr<Convolver>, kBandCount> convolvers;
    std::array<std::unique_ptr<sr::InterpolatorFilter>, kBandCount> upsamplers;
    Mixer remainder;
    // Per band: the root position from which it is out of use (-1 while in use or idle), and
    // whether it is idle (its convolver stopped and left out of the remainder).
    std::array<int64_t, kBandCount> unusedSince{};
    std::array<bool, kBandCount> idle{};
};

TesselMultiBand::TesselMultiBand(Style* style, wave::Environment* root, wave::SubEnvironment* bands)
    : style_(style),
      root_(root),
      bands_(bands),
      input_(root),
      upsampler_(bands, style->converterStyle()),
      remainderRouter_(bands),
      remainderOutput_(bands) {
    upsampler_.setInput(&input_);
    for (int32_t i = 0; i < 2; ++i) {
        auto& splitter = splitters_[static_cast<std::size_t>(i)];
        splitter = std::make_unique<MultiBand>(bands, &style->splitterModel(i));
        splitter->setInput(&upsampler_);
        auto& sum = splitterSums_[static_cast<std::size_t>(i)];
        sum = std::make_unique<Mixer>(bands, kModelBandCount);
        for (int32_t j = 0; j < kModelBandCount; ++j)
            sum->setInput(j, splitter->output(j));
        remainderRouter_.addInput(sum.get());
    }
    remainderRouter_.switchTimeMs() = kSplitSwitchMs;
    for (int32_t b = 0; b < kBandCount; ++b) {
        auto& router = bandRouters_[static_cast<std::size_t>(b)];
        router = std::make_unique<Router>(bands);
        router->addInput(nullptr);
        router->addInput(nullptr);
        router->switchTimeMs() = kSplitSwitchMs;
        bandOutputs_[static_cast<std::size_t>(b)] = std::make_unique<wave::Forwarder>(bands);
    }
    switchGeneration_ = style_->switchGeneration();
    style_->addFollower(this);
    follow();
}

TesselMultiBand::~TesselMultiBand() {
    style_->removeFollower(this);
}

void TesselMultiBand::stopIdleConvolvers() noexcept {
    if (fir_ == nullptr) return;
    const std::shared_ptr<const Convolver::Configuration>& c = style_->configuration();
    if (c == nullptr) return;
    // Its silent kernel is built and faded in, and the last input has left the kernel.
    const int64_t quiet = 2 * static_cast<int64_t>(c->schedulingSamples() + c->crossfadeSamples() +
                                                   c->kernelLength() + c->lagSamples());
    const int64_t now = root_->samplePosition();
    for (int32_t b = 0; b < kBandCount; ++b) {
        const auto k = static_cast<std::size_t>(b);
        if (fir_->unusedSince[k] < 0 || now - fir_->unusedSince[k] < quiet) continue;
        fir_->unusedSince[k] = -1;
        fir_->idle[k] = true;
        fir_->remainder.inputGain(b + 1)->parameter().setValue(0.0f, 0.0f);
        bandOutputs_[k]->setInput(nullptr);
    }
}

void TesselMultiBand::rebuild() {
    if (style_->processingStructure().get() == 0) {
        auto fir = std::make_unique<Fir>(root_, bands_, style_);
        fir->dryDelay.setInput(&input_);
        for (auto& convolver : fir->convolvers)
            convolver->setInput(&input_);
        fir_ = std::move(fir);
    } else {
        fir_.reset();
    }
    structure_ = -1;
    follow();
}

void TesselMultiBand::follow() noexcept {
    const int32_t active = style_->activeSplitter();
    const bool switched = switchGeneration_ != style_->switchGeneration();
    switchGeneration_ = style_->switchGeneration();
    if (switched) {
        // The idle splitter took the new layout: it starts from silence and fades in.
        splitters_[static_cast<std::size_t>(active)]->restart();
    }
    // Each splitter's sum takes the model outputs no user band takes.
    for (int32_t i = 0; i < 2; ++i) {
        Mixer& sum = *splitterSums_[static_cast<std::size_t>(i)];
        for (int32_t j = 0; j < kModelBandCount; ++j) {
            bool taken = false;
            for (int32_t b = 0; b < kBandCount; ++b)
                taken = taken || style_->modelBandOf(i, b) == j;
            sum.inputGain(j)->assign(taken ? 0.0f : 1.0f);
            if (!switched || i != active) continue;
            sum.inputGain(j)->parameter().finishRamp();
        }
    }
    for (int32_t b = 0; b < kBandCount; ++b) {
        Router& router = *bandRouters_[static_cast<std::size_t>(b)];
        for (int32_t i = 0; i < 2; ++i) {
            const int32_t modelBand = style_->modelBandOf(i, b);
            router.setInput(i, modelBand >= 0
                                   ? splitters_[static_cast<std::size_t>(i)]->output(modelBand)
                                   : nullptr);
        }
        router.selectedInput() = active;
    }
    remainderRouter_.selectedInput() = active;

    const int32_t structure = fir_ != nullptr ? 0 : 1;
    if (structure == 0) {
        for (int32_t b = 0; b < kBandCount; ++b) {
            const auto k = static_cast<std::size_t>(b);
            const bool used = style_->bandInUse(b);
            // A band leaving use keeps its signal while the convolver fades it out, since the
            // remainder subtracts it until then.
            bandOutputs_[k]->setInput(used || !fir_->idle[k] ? fir_->upsamplers[k].get() : nullptr);
            if (used) {
                // Back in use: its convolver restarts from silence and the remainder subtracts
                // it again from the same sample on, so the sum stays whole.
                fir_->unusedSince[k] = -1;
                fir_->idle[k] = false;
                fir_->remainder.inputGain(b + 1)->parameter().setValue(-1.0f, 0.0f);
            } else if (!fir_->idle[k] && fir_->unusedSince[k] < 0) {
                fir_->unusedSince[k] = root_->samplePosition();
            }
        }
        remainderOutput_.setInput(&fir_->remainder);
    } else {
        for (int32_t b = 0; b < kBandCount; ++b)
            bandOutputs_[static_cast<std::size_t>(b)]->setInput(
                bandRouters_[static_cast<std::size_t>(b)].get());
        remainderOutput_.setInput(&remainderRouter_);
    }
    structure_ = structure;
}

}  // namespace tessel
