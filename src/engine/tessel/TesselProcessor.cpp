#include "engine/tessel/TesselProcessor.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "analysis/DisplayData.h"
#include "bands/LinearPhaseSizing.h"
#include "support/FastExp.h"
#include "support/FastLog.h"

namespace tessel {

namespace {

constexpr float kEpsilon = 1.1920929e-7f;
constexpr int32_t kLinearPhase = static_cast<int32_t>(ProcessingMode::kLinearPhase);

/// A level or pan gain scaled by Mix in decibels: at 0 % no gain acts, at 200 % it acts twice.
/// A gain of 0 stays silence unless Mix is 0 %.
float mixScaledGain(float gain, float mix) noexcept {
    const float v = std::fabs(gain);
    if (!(v > kEpsilon)) return std::fabs(mix) <= kEpsilon ? 1.0f : 0.0f;
    const double db = v <= 1e-10f ? -180.0 : std::max(20.0 * std::log10(v), -180.0);
    return static_cast<float>(std::pow(10.0, mix * db / 20.0));
}

/// The balance law: the left channel loses what the pan takes towards the right and the other
/// way round.
float panned(float gain, float pan, int32_t channel) noexcept {
    return channel == 0 ? gain * (1.0f - std::max(pan, 0.0f)) : gain * (1.0f + std::min(pan, 0.0f));
}

void configureBandMeter(LevelMeter& meter, bool detection) {
    meter.inputDomain() = LevelMeter::LevelDomain::kLinear;
    meter.fastHoldSeconds() = 0.1f;
    if (detection) {
        meter.detectionProperty() = LevelSource::Detection::kLevel;
        meter.clipDetection() = false;
        meter.topDb() = 4.0f;
        meter.floorDb() = -180.0f;
        meter.fastFallDbPerSecond() = 80.0f;
    } else {
        meter.detectionProperty() = LevelSource::Detection::kGainReduction;
        meter.topDb() = 0.0f;
        meter.floorDb() = -30.0f;
        meter.fastFallDbPerSecond() = 10000.0f;
    }
}

int32_t maximumLookahead(double rateHz) noexcept {
    return BandCompander::maximumLookaheadSamples(rateHz);
}

}  // namespace

// ---- FiniteFilter ----

void FiniteFilter::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                          int32_t) noexcept {
    const float* x = in->data();
    const int32_t n = in->isConstant() ? 1 : frames;
    // One branch-free pass over the exponent bits finds out whether anything must change; the
    // usual block passes on.
    uint32_t nonFinite = 0;
    for (int32_t i = 0; i < n; ++i)
        nonFinite |= (std::bit_cast<uint32_t>(x[i]) & 0x7f800000u) == 0x7f800000u;
    if (nonFinite == 0) {
        setOutputBlock(in);
        return;
    }
    float* y = out->data();
    for (int32_t i = 0; i < n; ++i)
        y[i] = std::fabs(x[i]) <= 3.4028235e38f ? x[i] : 0.0f;
    out->setConstant(in->isConstant());
    if (in->isConstant()) out->fillConstant(y[0], frames);
}

// ---- StereoGainStage ----

namespace {

/// True when two gain blocks hold the same values for the cycle.
bool sameGains(const wave::BasicBlock<float>* a, const wave::BasicBlock<float>* b,
               int32_t frames) noexcept {
    if (a == b) return true;
    if (a->isConstant() && b->isConstant()) return a->data()[0] == b->data()[0];
    if (a->isConstant() != b->isConstant()) return false;
    return std::memcmp(a->data(), b->data(), sizeof(float) * static_cast<std::size_t>(frames)) == 0;
}

/// out = in * g, reading a constant g once.
void multiply(float* out, const float* in, const wave::BasicBlock<float>* g,
              int32_t frames) noexcept {
    const float* gv = g->data();
    if (g->isConstant()) {
        const float k = gv[0];
        for (int32_t i = 0; i < frames; ++i)
            out[i] = in[i] * k;
    } else {
        for (int32_t i = 0; i < frames; ++i)
            out[i] = in[i] * gv[i];
    }
}

}  // namespace

void StereoGainStage::process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept {
    wave::Environment* env = environment();
    const wave::BasicBlock<float>* in[2];
    const wave::BasicBlock<float>* g[2];
    for (int32_t c = 0; c < 2; ++c) {
        in[c] = wave::Producer::pullOrZero(audio_[c], env, frames);
        g[c] = gain_[c] != nullptr ? gain_[c]->pull(frames) : nullptr;
    }
    const wave::BasicBlock<float>* mid = wave::Producer::pullOrZero(mid_, env, frames);
    const wave::BasicBlock<float>* side =
        mid_ == nullptr || side_ == nullptr ? mid : side_->pull(frames);
    float* out[2] = {blocks[0]->data(), blocks[1]->data()};
    // Each channel times its own gain first (its block, or a constant 1 when unconnected).
    for (int32_t c = 0; c < 2; ++c) {
        const float* x = in[c]->data();
        if (in[c]->isConstant()) {
            for (int32_t i = 0; i < frames; ++i)
                out[c][i] = x[0];
            x = out[c];
        }
        if (g[c] != nullptr && !(g[c]->isConstant() && g[c]->data()[0] == 1.0f)) {
            multiply(out[c], x, g[c], frames);
        } else if (x != out[c]) {
            std::memcpy(out[c], x, sizeof(float) * static_cast<std::size_t>(frames));
        }
    }
    if (mid_ == nullptr) {
        // No mid/side stage connected: left/right gains only.
    } else if (sameGains(mid, side, frames)) {
        // mid - side and mid + side of equally scaled halves: each channel times the gain.
        for (int32_t c = 0; c < 2; ++c)
            if (!(mid->isConstant() && mid->data()[0] == 1.0f))
                multiply(out[c], out[c], mid, frames);
    } else {
        const float* m = mid->data();
        const float* s = side->data();
        const bool mc = mid->isConstant(), sc = side->isConstant();
        float* l = out[0];
        float* r = out[1];
        for (int32_t i = 0; i < frames; ++i) {
            const float gm = mc ? m[0] : m[i];
            const float gs = sc ? s[0] : s[i];
            const float mv = (l[i] + r[i]) * 0.5f * gm;
            const float sv = (r[i] - l[i]) * 0.5f * gs;
            l[i] = mv - sv;
            r[i] = mv + sv;
        }
    }
    blocks[0]->setConstant(false);
    blocks[1]->setConstant(false);
}

// ---- GainGlide ----

void GainGlide::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                       int32_t) noexcept {
    const float* x = in->data();
    const int32_t last = in->isConstant() ? 0 : frames - 1;
    // Does the regime change within this block, or since the last one?
    bool passage = false;
    bool midSide = midSide_;
    if (amount_ != nullptr) {
        const wave::BasicBlock<float>* a = amount_->pull(frames);
        const float* av = a->data();
        const int32_t n = a->isConstant() ? 1 : frames;
        int32_t count = 0;
        for (int32_t i = 0; i < n; ++i)
            count += av[i] >= MidSideStereoProcessor::kMidSideThreshold ? 1 : 0;
        midSide = av[n - 1] >= MidSideStereoProcessor::kMidSideThreshold;
        passage = (count != 0 && count != n) || midSide != midSide_;
    }
    if (fresh_) passage = false;  // nothing to glide from after a reset
    fresh_ = false;
    midSide_ = midSide;
    // The log of a gain floored at -180 dB: silence and NaN glide to the floor, not to -inf.
    auto logOf = [](float g) noexcept { return fastLog(g > 1e-9f ? g : 1e-9f); };
    if (passage && !gliding_) {
        gliding_ = true;
        logGain_ = logOf(lastGain_);
    }
    lastGain_ = x[last];
    if (!gliding_) {
        setOutputBlock(in);
        return;
    }
    const float fs = environment()->sampleRate();
    if (fs != rateHz_) {
        rateHz_ = fs;
        coefficient_ = 1.0f - std::exp(-1000.0f / (kTimeConstantMs * (fs > 0.0f ? fs : 44100.0f)));
    }
    float* y = out->data();
    for (int32_t i = 0; i < frames; ++i)
        y[i] = logOf(x[in->isConstant() ? 0 : i]);
    float state = logGain_;
    float gap = 0.0f;
    for (int32_t i = 0; i < frames; ++i) {
        gap = y[i] - state;
        state += coefficient_ * gap;
        y[i] = state;
    }
    logGain_ = state;
    // Caught up (within 0.001 dB) and no passage in this block: pass through from the next one.
    if (!passage && std::fabs(gap) < 1.2e-4f) gliding_ = false;
    for (int32_t i = 0; i < frames; ++i)
        y[i] = fastExp(y[i]);
    out->setConstant(false);
}

// ---- TesselBand ----

TesselProcessor::TesselBand::Stereo::Stereo(wave::Environment* bands)
    : detectionLinker(bands), auditionLinker(bands), gains(bands), gainStage(bands) {
    detectionLinker.linkOperation() = MidSideStereoLinker::LinkOperation::kMagnitude;
    auditionLinker.linkOperation() = MidSideStereoLinker::LinkOperation::kSignal;
    gains.setLinkInfo(&detectionLinker);
    gainStage.setMidSideGains(gains.output(MidSideStereoProcessor::kMidGain),
                              gains.output(MidSideStereoProcessor::kSideGain));
}

TesselProcessor::TesselBand::TesselBand(TesselProcessor* processor, TesselChannel* channel,
                                        int32_t band)
    : processor_(processor),
      channel_(channel),
      band_(band),
      sideChainSource_(processor->environment()),
      sideChainFilter_(processor->environment()),
      sideChainDelay_(processor->environment(), 0),
      sideChainUpsampler_(processor->bandEnvironment(), processor->converterStyle_.get()),
      detectionRouter_(processor->bandEnvironment()),
      lookahead_(processor->bandEnvironment(), 0),
      compander_(processor->bandEnvironment()),
      gain_(processor->bandEnvironment()),
      stateRouter_(processor->bandEnvironment()),
      level_(processor->bandEnvironment()),
      auditionGain_(processor->bandEnvironment()),
      chainGain_(processor->bandEnvironment()),
      leftRightGlide_(processor->bandEnvironment()),
      midSideGlide_(processor->bandEnvironment()),
      detectionMeter_(processor->bandEnvironment()),
      gainMeter_(processor->bandEnvironment()),
      shelfLeftRight_(processor->bandEnvironment()),
      shelfMidSide_(processor->bandEnvironment()),
      chainRouter0_(processor->bandEnvironment()),
      chainRouter1_(processor->bandEnvironment()) {
    wave::Environment* bands = processor->bandEnvironment();
    if (processor->channelCount() == 2 && channel->index() == 0)
        stereo_ = std::make_unique<Stereo>(bands);

    sideChainSource_.addInput(&channel->inputGain());
    sideChainSource_.addInput(&channel->sideChain_);
    sideChainFilter_.setInput(&sideChainSource_);
    sideChainDelay_.setInput(&sideChainFilter_);
    sideChainUpsampler_.setInput(&sideChainDelay_);

    TesselMultiBand& split = channel->multiBand();
    detectionRouter_.addInput(split.bandOutput(band));
    detectionRouter_.addInput(&sideChainUpsampler_);
    lookahead_.setInput(split.bandOutput(band));
    gain_.setInput(&lookahead_);
    gain_.setMaximumGain(1000.0f);
    level_.setInput(&stateRouter_);
    level_.setMaximumGain(std::pow(10.0f, 36.0f / 20.0f));
    auditionGain_.setMaximumGain(1.0f);
    configureBandMeter(detectionMeter_, true);
    configureBandMeter(gainMeter_, false);
    gainMeter_.setInput(&compander_);

    for (ShelfBand* shelf : {&shelfLeftRight_, &shelfMidSide_}) {
        shelf->lowerFrequencyLimitOctaves() = FloatingMultiBandModel::kLowestFrequencyOctaves;
        shelf->upperFrequencyLimitOctaves() = FloatingMultiBandModel::kHighestFrequencyOctaves;
        shelf->enabled() = false;
    }
    chainRouter0_.addInput(&shelfLeftRight_);
    chainRouter0_.addInput(nullptr);
    chainRouter1_.addInput(&shelfMidSide_);
    chainRouter1_.addInput(nullptr);
    chainRouter0_.switchTimeMs() = kChainMuteSwitchMs;
    chainRouter1_.switchTimeMs() = kChainMuteSwitchMs;
    (void)bands;
}

TesselProcessor::TesselBand::~TesselBand() = default;

const BandParameterSet& TesselProcessor::TesselBand::parameters() const noexcept {
    return processor_->band(band_);
}

TesselProcessor::TesselBand* TesselProcessor::TesselBand::partner() const noexcept {
    if (processor_->channelCount() != 2) return nullptr;
    return &processor_->tesselChannel(1 - channel_->index()).band(band_);
}

void TesselProcessor::TesselBand::connect() {
    const bool stereo = processor_->channelCount() == 2;
    const int32_t c = channel_->index();
    TesselBand& first = stereo ? processor_->tesselChannel(0).band(band_) : *this;
    wave::Producer* detection = &detectionRouter_;
    wave::Producer* leftRightGain = &compander_;
    wave::Producer* midSideGain = nullptr;
    wave::Producer* processed = &gain_;
    if (stereo) {
        Stereo& s = *first.stereo_;
        TesselBand& second = processor_->tesselChannel(1).band(band_);
        if (c == 0) {
            s.detectionLinker.setLeftInput(&detectionRouter_);
            s.detectionLinker.setRightInput(&second.detectionRouter_);
            s.auditionLinker.setLeftInput(&detectionRouter_);
            s.auditionLinker.setRightInput(&second.detectionRouter_);
            s.gains.setFirstGain(&compander_);
            s.gains.setSecondGain(&second.compander_);

        } else {
            compander_.setLinkedCompander(&first.compander_);
            first.compander_.smoothingFilter().link(&compander_.smoothingFilter(),
                                                    BiquadProcessor::LinkKind::kFollow);
            shelfLeftRight_.setPartner(&first.shelfLeftRight_);
            shelfMidSide_.setPartner(&first.shelfMidSide_);
            // Both channels' side-chain filters share one schedule and run in one pass.
            SideChainFilter& lead = first.sideChainFilter_;
            lead.highPass().link(&sideChainFilter_.highPass(),
                                 BiquadProcessor::LinkKind::kStereoPair);
            lead.middle().link(&sideChainFilter_.middle(), BiquadProcessor::LinkKind::kStereoPair);
            lead.lowPass().link(&sideChainFilter_.lowPass(),
                                BiquadProcessor::LinkKind::kStereoPair);
        }
        detection = s.detectionLinker.output(c);
        leftRightGain = s.gains.output(c == 0 ? MidSideStereoProcessor::kLeftGain
                                              : MidSideStereoProcessor::kRightGain);
        midSideGain = s.gains.output(c == 0 ? MidSideStereoProcessor::kMidGain
                                            : MidSideStereoProcessor::kSideGain);
        // Where the band passes between left/right and mid/side linking, its gains glide (see
        // GainGlide), in the gain stage as in the dynamic-phase chain.
        leftRightGlide_.setInput(leftRightGain);
        midSideGlide_.setInput(midSideGain);
        leftRightGlide_.setLinkAmount(s.detectionLinker.linkAmount());
        midSideGlide_.setLinkAmount(s.detectionLinker.linkAmount());
        leftRightGain = &leftRightGlide_;
        midSideGain = &midSideGlide_;
        s.gainStage.setChannel(c, &lookahead_, leftRightGain);
        if (c == 1) s.gainStage.setMidSideGains(&first.midSideGlide_, &midSideGlide_);
        processed = s.gainStage.output(c);
        auditionGain_.setInput(s.auditionLinker.output(c));
    } else {
        auditionGain_.setInput(&detectionRouter_);
    }
    compander_.setInput(detection);
    detectionMeter_.setInput(detection);
    gain_.setSecondGain(leftRightGain);
    // In the dynamic-phase chain the band's level and pan act through its shelving gain.
    chainGain_.setInput(leftRightGain);
    chainGain_.setMaximumGain(std::pow(10.0f, 36.0f / 20.0f));
    shelfLeftRight_.setGainInput(&chainGain_);
    shelfMidSide_.setGainInput(midSideGain);
    stateRouter_.addInput(processed);
    stateRouter_.addInput(&lookahead_);
}

void TesselProcessor::TesselBand::apply() {
    const BandParameterSet& p = parameters();
    const TesselProcessor& tp = *processor_;
    const BandState state = p.state.storedValue();
    used_ = state != BandState::kUnused;
    enabled_ = state == BandState::kEnabled;

    const float low = p.lowCrossover.currentValue();
    const float high = p.highCrossover.currentValue();
    const float lowSlope = p.lowSlope.displayOfValue(p.lowSlope.currentValue());
    const float highSlope = p.highSlope.displayOfValue(p.highSlope.currentValue());

    BandCompander& k = compander_;
    k.attackPercent() = p.attack.currentValue();
    k.releasePercent() = p.release.currentValue();
    k.dynamicsMode() = p.dynamicsMode.storedValue();
    k.lowCrossoverOctaves() = low;
    k.highCrossoverOctaves() = high;
    k.kneeDb() = p.knee.currentValue();
    k.lookaheadMs() = p.lookahead.currentValue();
    k.lookaheadEnabled() = tp.lookaheadEnabled.storedValue();
    k.mix() = tp.mix.currentValue();
    k.rangeDb() = p.range.currentValue();
    k.ratio() = p.ratio.displayOfValue(p.ratio.currentValue());
    k.thresholdDb() = p.threshold.displayOfValue(p.threshold.currentValue());

    // Detection: the band's own signal, or in Expert Mode the filtered side chain.
    SideChainFilter::BandSettings settings;
    settings.expertMode = tp.expertMode.storedValue();
    settings.filtering = p.sideChainFiltering.storedValue();
    settings.input = p.sideChainInput.storedValue();
    settings.bandLowOctaves = low;
    settings.bandHighOctaves = high;
    settings.freeLowOctaves = p.sideChainLowFrequency.currentValue();
    settings.freeHighOctaves = p.sideChainHighFrequency.currentValue();
    const SideChainFilter::Selection selection = SideChainFilter::select(settings);
    sideChainFilter_.lowFrequencyOctaves() = selection.lowOctaves;
    sideChainFilter_.highFrequencyOctaves() = selection.highOctaves;
    sideChainSource_.selectedInput() = selection.externalInput ? 1 : 0;
    detectionRouter_.selectedInput() = selection.detectSideChain ? 1 : 0;
    auditionGain_.gain().assign(sideChainFilter_.auditionGain(settings.filtering));

    for (ShelfBand* shelf : {&shelfLeftRight_, &shelfMidSide_}) {
        shelf->lowerFrequencyOctaves().assign(low);
        shelf->upperFrequencyOctaves().assign(std::max(high, low));
        shelf->lowerSlopeDbPerOctave().assign(lowSlope);
        shelf->upperSlopeDbPerOctave().assign(highSlope);
    }
    stateRouter_.selectedInput() = enabled_ ? 0 : 1;
    // The band meters run only while the band processes.
    detectionMeter_.setAttached(enabled_);
    gainMeter_.setAttached(enabled_);

    if (stereo_ != nullptr) {
        const float amount = tp.expertMode.storedValue() ? p.stereoLink.currentValue() : 0.5f;
        const StereoLinkMode mode = p.stereoLinkMode.storedValue();
        for (MidSideStereoLinker* linker : {&stereo_->detectionLinker, &stereo_->auditionLinker}) {
            linker->amount().setValue(amount, -1.0f);
            linker->linkMode() = mode;
        }
    }
    applyGain();
}

void TesselProcessor::TesselBand::applyGain() {
    const BandParameterSet& p = parameters();
    const TesselProcessor& tp = *processor_;
    const SoloMuteState solo = p.soloMuteState.storedValue();
    muted_ = used_ && (solo == SoloMuteState::kMute || solo == SoloMuteState::kSoloMute ||
                       (tp.anyBandSoloed_ && solo == SoloMuteState::kNormal));
    float gain = p.level.linearOfValue(p.level.currentValue());
    if (tp.channelCount() == 2) gain = panned(gain, p.pan.currentValue(), channel_->index());
    gain = mixScaledGain(gain, tp.mix.currentValue());
    level_.gain().assign(muted_ ? 0.0f : gain);
    chainGain_.gain().assign(gain);

    // The dynamic-phase chain: a muted band steps out of it slowly; its stages run only while
    // the band is enabled and heard.
    const bool dynamicPhase = tp.effectiveMode_ == ProcessingMode::kDynamicPhase;
    const bool chainMuted = dynamicPhase && muted_;
    chainRouter0_.selectedInput() = chainMuted ? 1 : 0;
    chainRouter1_.selectedInput() = chainMuted ? 1 : 0;
    const bool active = enabled_ && !muted_;
    shelfLeftRight_.enabled() = active;
    shelfMidSide_.enabled() = active;
}

void TesselProcessor::TesselBand::applyDelays(int32_t lookaheadBandSamples,
                                              int32_t linearPhaseSamples) noexcept {
    lookahead_.setDelay(lookaheadBandSamples);
    sideChainDelay_.setDelay(linearPhaseSamples);
}

void TesselProcessor::TesselBand::rebuild() {
    const double fs = processor_->environment()->sampleRate();
    lookahead_.setMaximumDelay(maximumLookahead(processor_->bandEnvironment()->sampleRate()));
    sideChainDelay_.setMaximumDelay(LinearPhaseSizing::latencySamples(fs));
}

// ---- TesselChannel ----

float TesselProcessor::TesselChannel::GainChangeLevelSource::level(int32_t reading) const {
    float deepest = 0.0f;
    bool any = false;
    const TesselProcessor& tp = *channel_->processor_;
    for (int32_t b = 0; b < kBandCount; ++b) {
        TesselBand& band = channel_->band(b);
        const BandParameterSet& p = tp.band(b);
        if (!band.enabled() || p.dynamicsMode.storedValue() != DynamicsMode::kCompression) continue;
        const float range = p.range.currentValue();
        const float v = band.gainMeter().level(reading) - (range > 0.0f ? range : 0.0f);
        deepest = any ? std::min(deepest, v) : v;
        any = true;
    }
    return any ? deepest : 0.0f;
}

TesselProcessor::TesselChannel::TesselChannel(TesselProcessor* processor, int32_t index)
    : GenericPluginProcessor::Channel(processor, index),
      processor_(processor),
      input_(processor->environment()),
      sideChain_(processor->environment()),
      inputGain_(processor->environment()),
      outputGain_(processor->environment()),
      multiBand_(&processor->style(), processor->environment(), processor->bandEnvironment()),
      bandSum_(processor->bandEnvironment(), kBandCount + 1),
      pathRouter_(processor->bandEnvironment()),
      auditionRouter_(processor->bandEnvironment()),
      outputRouter_(processor->bandEnvironment()),
      chainUpsampler_(processor->bandEnvironment(), processor->converterStyle_.get()),
      downsampler_(processor->environment(), processor->converterStyle_.get()),
      dryDelay_(processor->environment(), 0),
      sideChainDelay_(processor->environment(), 0),
      chainDelay_(processor->environment(), 0),
      remainderDelay_(processor->bandEnvironment(), 0),
      auditionDelay_(processor->bandEnvironment(), 0),
      outputMeter_(processor->environment()),
      gainChange_(this),
      warmer_(processor->bandEnvironment()) {
    const float maximumGain =
        std::pow(10.0f, (processor->channelCount() == 2 ? 200.0f : 36.0f) / 20.0f);
    inputGain_.setMaximumGain(maximumGain);
    outputGain_.setMaximumGain(maximumGain);
    input_.setInput(&input());
    sideChain_.setInput(&connectedSideChainInput());
    inputGain_.setInput(&input_);
    multiBand_.setInput(&inputGain_);
    for (int32_t b = 0; b < kBandCount; ++b)
        bands_[static_cast<std::size_t>(b)] = std::make_unique<TesselBand>(processor, this, b);
    for (int32_t b = 0; b < kBandCount; ++b) {
        bandSum_.setInput(b, band(b).output());
        auditionRouter_.addInput(band(b).auditionSignal());
    }
    remainderDelay_.setInput(multiBand_.remainderOutput());
    bandSum_.setInput(kBandCount, &remainderDelay_);
    auditionDelay_.setInput(&auditionRouter_);
    chainDelay_.setInput(&inputGain_);
    chainUpsampler_.setInput(&chainDelay_);
    pathRouter_.addInput(&bandSum_);
    pathRouter_.addInput(nullptr);
    pathRouter_.switchTimeMs() = kPathSwitchMs;
    outputRouter_.addInput(&pathRouter_);
    outputRouter_.addInput(&auditionDelay_);
    outputRouter_.switchTimeMs() = 0.0f;
    downsampler_.setInput(&outputRouter_);
    outputGain_.setInput(&downsampler_);
    setOutput(&outputGain_);
    dryDelay_.setInput(&input());
    sideChainDelay_.setInput(&connectedSideChainInput());

    outputMeter_.detectionProperty() = LevelSource::Detection::kLevel;
    outputMeter_.clipDetection() = true;
    outputMeter_.fastHoldSeconds() = 0.05f;
    outputMeter_.inputDomain() = LevelMeter::LevelDomain::kLinear;
    outputMeter_.topDb() = 4.0f;
    outputMeter_.floorDb() = -180.0f;
    outputMeter_.fastFallDbPerSecond() = 40.0f;
    outputMeter_.setInput(&outputGain_);
}

TesselProcessor::TesselChannel::~TesselChannel() = default;

wave::Producer* TesselProcessor::TesselChannel::chainEnd() noexcept {
    if (processor_->channelCount() == 2) return processor_->chainToLeftRight_->output(index());
    return &band(kBandCount - 1).chainRouter(0);
}

void TesselProcessor::TesselChannel::build() {
    for (auto& b : bands_)
        b->connect();
    // The dynamic-phase chain: the first stages in left/right, then (stereo) the second stages
    // in mid/side.
    const bool stereo = processor_->channelCount() == 2;
    wave::Producer* at = &chainUpsampler_;
    for (int32_t b = 0; b < kBandCount; ++b) {
        band(b).shelf(0).setInput(at);
        band(b).chainRouter(0).setInput(1, at);
        at = &band(b).chainRouter(0);
    }
    if (stereo) {
        MidSideConverter& in = *processor_->chainToMidSide_;
        if (index() == 0)
            in.setFirstInput(at);
        else
            in.setSecondInput(at);
        at = in.output(index());
        for (int32_t b = 0; b < kBandCount; ++b) {
            band(b).shelf(1).setInput(at);
            band(b).chainRouter(1).setInput(1, at);
            at = &band(b).chainRouter(1);
        }
        MidSideConverter& out = *processor_->chainToLeftRight_;
        if (index() == 0)
            out.setFirstInput(at);
        else
            out.setSecondInput(at);
    }
    pathRouter_.setInput(1, chainEnd());
}

void TesselProcessor::TesselChannel::parameterChanged(int32_t index) {
    const TesselProcessor& tp = *processor_;
    if (index < 0 || index == tp.mix.identifier() || index == tp.inputLevel.identifier() ||
        index == tp.inputPan.identifier() || index == tp.outputLevel.identifier() ||
        index == tp.outputPan.identifier())
        applyGains();
    if (index < 0 || index == tp.auditionSideChain.identifier() ||
        index == tp.expertMode.identifier() || tp.setIndexOfIdentifier(index) >= 0)
        applyAudition();
}

void TesselProcessor::TesselChannel::applyGains() {
    const TesselProcessor& tp = *processor_;
    const float mix = tp.mix.currentValue();
    const bool stereo = tp.channelCount() == 2;
    auto gainOf = [&](const FloatPluginParameter& level, const StereoPanParameter& pan) {
        float v = level.linearOfValue(level.currentValue());
        if (stereo) v = panned(v, pan.currentValue(), index());
        return mixScaledGain(v, mix);
    };
    inputGain_.gain().assign(gainOf(tp.inputLevel, tp.inputPan));
    outputGain_.gain().assign(gainOf(tp.outputLevel, tp.outputPan));
}

void TesselProcessor::TesselChannel::applyAudition() {
    const TesselProcessor& tp = *processor_;
    const int32_t selected = tp.auditionSideChain.storedValue() - 1;
    const bool on = tp.expertMode.storedValue() && selected >= 0 && selected < kBandCount &&
                    tp.band(selected).state.storedValue() != BandState::kUnused;
    if (on) {
        // Starting to audition switches at once; moving to another band crossfades.
        auditionRouter_.switchTimeMs() = auditionedBand_ < 0 ? 0.0f : kAuditionChangeMs;
        auditionRouter_.selectedInput() = selected;
        outputRouter_.selectedInput() = 1;
        auditionedBand_ = selected;
    } else {
        outputRouter_.selectedInput() = 0;
        auditionedBand_ = -1;
    }
}

void TesselProcessor::TesselChannel::applyPath() noexcept {
    builtMode_ = processor_->effectiveMode_;
    const int32_t path = builtMode_ == ProcessingMode::kDynamicPhase ? 1 : 0;
    if (path != pathRouter_.selectedInput().get() && pendingPath_ != path) {
        // The other path has not run: it is pulled unheard for the lookahead and a block, so
        // that the crossfade meets a path full of signal rather than one starting from silence.
        pendingPath_ = path;
        warmer_.target_ = pathRouter_.input(path);
        pathSwitchAt_ = processor_->environment()->samplePosition() + chainDelay_.delay() +
                        processor_->environment()->processingBlockSize();
    } else if (path == pathRouter_.selectedInput().get()) {
        pendingPath_ = -1;
        warmer_.target_ = nullptr;
    }
    // While a band is soloed, what no band covers is not heard either.
    bandSum_.inputGain(kBandCount)->assign(processor_->anyBandSoloed_ ? 0.0f : 1.0f);
}

void TesselProcessor::TesselChannel::advancePathSwitch() noexcept {
    if (pendingPath_ < 0 || processor_->environment()->samplePosition() < pathSwitchAt_) return;
    pathRouter_.selectedInput() = pendingPath_;
    pendingPath_ = -1;
    warmer_.target_ = nullptr;  // the router pulls it from now on
}

void TesselProcessor::TesselChannel::follow() noexcept {
    multiBand_.follow();
}

void TesselProcessor::TesselChannel::applyDelays(const TesselLatency& latency) {
    const int32_t factor = processor_->oversamplingFactor();
    const int32_t l = latency.lookaheadSamples;
    const int32_t p = latency.linearPhaseSamples;
    dryDelay_.setDelay(l + p + latency.oversamplingSamples);
    sideChainDelay_.setDelay(l + p + latency.oversamplingSamples);
    chainDelay_.setDelay(l);
    remainderDelay_.setDelay(factor * l);
    auditionDelay_.setDelay(l);
    for (auto& b : bands_)
        b->applyDelays(factor * l, p);
}

void TesselProcessor::TesselChannel::rebuild() {
    const double fs = processor_->environment()->sampleRate();
    const double bandRate = processor_->bandEnvironment()->sampleRate();
    const int32_t rootMaximum = maximumLookahead(fs) + LinearPhaseSizing::latencySamples(fs) +
                                sr::ConverterStyle::conversionLatency(4, fs);
    if (dryDelay_.maximumDelay() != rootMaximum) {
        dryDelay_.setMaximumDelay(rootMaximum);
        sideChainDelay_.setMaximumDelay(rootMaximum);
    }
    if (chainDelay_.maximumDelay() != maximumLookahead(fs))
        chainDelay_.setMaximumDelay(maximumLookahead(fs));
    if (remainderDelay_.maximumDelay() != maximumLookahead(bandRate)) {
        remainderDelay_.setMaximumDelay(maximumLookahead(bandRate));
        auditionDelay_.setMaximumDelay(maximumLookahead(bandRate));
    }
    for (auto& b : bands_)
        b->rebuild();
    multiBand_.rebuild();
}

// ---- TesselProcessor ----

TesselProcessor::TesselProcessor(int32_t layout, bool sideChain)
    : GenericPluginProcessor(layout, sideChain ? kFeatureSideChain : 0u, true),
      TesselParameters(static_cast<GenericPluginBase*>(this)),
      crossoverModel_(TesselMultiBand::kModelBandCount),
      layoutModel_(&crossoverModel_) {
    setMidiStateParameter(&midiState);
    setBypassParameter(&bypass);
    setMidiStateIndex(midiState.identifier());
    setBypassIndex(bypass.identifier());
    initialize();
    wave::Environment* root = environment();
    const int32_t channels = channelCount();

    analyzerFeed_ = std::make_unique<RealTimeAudioBuffer>(root);
    analyzerFeed_->configure(channels, root->sampleRate());
    root->addRoot(analyzerFeed_->node(), 2);

    bandEnvironment_ =
        std::make_unique<wave::SubEnvironment>(root, 1, root->maxBlockSize(), root->isFixed());
    converterStyle_ = std::make_unique<sr::ConverterStyle>(root, bandEnvironment_.get());
    converterStyle_->attenuationDb() =
        static_cast<float>(sr::ConverterStyle::kDefaultAttenuationDb);
    converterStyle_->passBandEdgeHz() =
        static_cast<float>(sr::ConverterStyle::kDefaultPassBandEdgeHz);
    if (channels == 2) {
        chainToMidSide_ = std::make_unique<MidSideConverter>(
            bandEnvironment_.get(), MidSideConverter::Conversion::kLeftRightToMidSide);
        chainToLeftRight_ = std::make_unique<MidSideConverter>(
            bandEnvironment_.get(), MidSideConverter::Conversion::kMidSideToLeftRight);
    }
    style_ = std::make_unique<TesselMultiBand::Style>(root, bandEnvironment_.get(),
                                                      converterStyle_.get(), &layoutModel_);

    // The frame's channels were created by initialize() before the band environment existed;
    // replace them now that everything they build on is in place.
    for (int32_t c = 0; c < channels; ++c)
        replaceChannel(c, std::make_unique<TesselChannel>(this, c));
    for (int32_t c = 0; c < channels; ++c)
        tesselChannel(c).build();
    if (channels == 2) tesselChannel(0).multiBand().pairWith(tesselChannel(1).multiBand());

    for (int32_t c = 0; c < channels; ++c) {
        TesselChannel& ch = tesselChannel(c);
        auto inputMeter = std::make_unique<LevelMeter>(root);
        inputMeter->detectionProperty() = LevelSource::Detection::kLevel;
        inputMeter->inputDomain() = LevelMeter::LevelDomain::kLinear;
        inputMeter->setInput(&ch.input());
        inputMeters_.push_back(std::move(inputMeter));
        levelSources_.push_back(&ch.outputMeter());
        levelSources_.push_back(&ch.gainChangeSource());
        displayMeters_.push_back(&ch.outputMeter());
        for (int32_t b = 0; b < kBandCount; ++b) {
            levelSources_.push_back(&ch.band(b).detectionMeter());
            levelSources_.push_back(&ch.band(b).gainMeter());
            displayMeters_.push_back(&ch.band(b).detectionMeter());
            displayMeters_.push_back(&ch.band(b).gainMeter());
        }
        analyzerFeed_->measurement(RealTimeAudioBuffer::kPre).setInput(c, &ch.dryDelay());
        analyzerFeed_->measurement(RealTimeAudioBuffer::kPost).setInput(c, &ch.outputGain());
        analyzerFeed_->measurement(RealTimeAudioBuffer::kSideChain)
            .setInput(c, &ch.sideChainDelay());
    }

    built_ = true;
    latencyInputs_.store(currentLatencyInputs());
    updateLatency();
    effectiveMode_ = processingMode.storedValue();
    style_->processingStructure() = effectiveMode_ == ProcessingMode::kLinearPhase ? 0 : 1;
    rebuild();
    applyAll();
    setMaximumLatency(
        TesselLatency::compute(root->sampleRate(), ProcessingMode::kLinearPhase, true, 2).total());
    root->reset(wave::Environment::kResetAll);
}

TesselProcessor::~TesselProcessor() {
    exitInstance();
    // The channels' nodes live in the band environment and read the style: they go first.
    destroyChannels();
    inputMeters_.clear();
}

std::unique_ptr<GenericPluginProcessor::Channel> TesselProcessor::createChannel(int32_t index) {
    return GenericPluginProcessor::createChannel(index);
}

TesselProcessor::TesselChannel& TesselProcessor::tesselChannel(int32_t index) const noexcept {
    return *static_cast<TesselChannel*>(channel(index));
}

TesselLatencyInputs::Values TesselProcessor::currentLatencyInputs() const noexcept {
    TesselLatencyInputs::Values v;
    v.sampleRateHz = environment()->sampleRate();
    v.mode = processingMode.storedValue();
    v.lookaheadEnabled = lookaheadEnabled.storedValue();
    v.oversampling = static_cast<int32_t>(oversampling.storedValue());
    return v;
}

void TesselProcessor::parameterWillChange(int32_t index, float value) {
    if (index == processingMode.identifier()) {
        const int32_t mode = std::clamp(static_cast<int32_t>(std::lround(value)), 0, 2);
        latencyInputs_.update([&](auto& v) { v.mode = static_cast<ProcessingMode>(mode); });
    } else if (index == oversampling.identifier()) {
        const int32_t os = std::clamp(static_cast<int32_t>(std::lround(value)), 0, 2);
        latencyInputs_.update([&](auto& v) { v.oversampling = os; });
    } else if (index == lookaheadEnabled.identifier()) {
        latencyInputs_.update([&](auto& v) { v.lookaheadEnabled = value >= 0.5f; });
    } else if (index != -1) {
        return;
    }
    updateLatency();
}

void TesselProcessor::updateLatency() noexcept {
    setLatency(latencyInputs_.load().latency().total());
}

void TesselProcessor::sampleRateChanged() {
    latencyInputs_.update([&](auto& v) { v.sampleRateHz = environment()->sampleRate(); });
    updateLatency();
    analyzerFeed_->configure(channelCount(), environment()->sampleRate());
    rebuild();
    setMaximumLatency(
        TesselLatency::compute(environment()->sampleRate(), ProcessingMode::kLinearPhase, true, 2)
            .total());
    environment()->reset(wave::Environment::kResetAll);
}

void TesselProcessor::rebuild() {
    style_->processingStructure() = effectiveMode_ == ProcessingMode::kLinearPhase ? 0 : 1;
    style_->rebuild();
    for (int32_t c = 0; c < channelCount(); ++c)
        tesselChannel(c).rebuild();
    updateDelays();
}

void TesselProcessor::updateDelays() {
    const TesselLatency latency = TesselLatency::compute(
        environment()->sampleRate(), processingMode.storedValue(), lookaheadEnabled.storedValue(),
        static_cast<int32_t>(oversampling.storedValue()));
    for (int32_t c = 0; c < channelCount(); ++c)
        tesselChannel(c).applyDelays(latency);
}

void TesselProcessor::setOversampling() {
    const int32_t factor = 1 << static_cast<int32_t>(oversampling.storedValue());
    if (bandEnvironment_->factor() == factor) return;
    bandEnvironment_->setFactor(factor);
    rebuild();
}

void TesselProcessor::updateSoloAndMode() {
    bool soloed = false;
    for (int32_t b = 0; b < kBandCount; ++b) {
        const BandParameterSet& p = band(b);
        const int32_t solo = static_cast<int32_t>(p.soloMuteState.storedValue());
        soloed = soloed || (p.state.storedValue() != BandState::kUnused && (solo & 1) != 0);
    }
    anyBandSoloed_ = soloed;
    style_->anyBandSoloed() = soloed;
    ProcessingMode mode = processingMode.storedValue();
    if (mode == ProcessingMode::kDynamicPhase && soloed) mode = ProcessingMode::kMinimumPhase;
    const bool rebuildNeeded =
        (mode == ProcessingMode::kLinearPhase) != (effectiveMode_ == ProcessingMode::kLinearPhase);
    effectiveMode_ = mode;
    crossoverModel_.processingMode() = mode;
    if (rebuildNeeded) {
        rebuild();
        environment()->reset(wave::Environment::kResetAttached);
    }
    for (int32_t c = 0; c < channelCount(); ++c) {
        TesselChannel& ch = tesselChannel(c);
        ch.follow();
        ch.applyPath();
        for (int32_t b = 0; b < kBandCount; ++b)
            ch.band(b).applyGain();
    }
}

void TesselProcessor::updateAnalyzer() noexcept {
    const int32_t view = analyzer.analyzer.storedValue();
    analyzerFeed_->measurement(RealTimeAudioBuffer::kPre).enabled() = view == 1 || view == 3;
    analyzerFeed_->measurement(RealTimeAudioBuffer::kPost).enabled() = view == 2 || view == 3;
    analyzerFeed_->measurement(RealTimeAudioBuffer::kSideChain).enabled() =
        analyzer.sideChain.storedValue();
}

void TesselProcessor::applyAll() {
    {
        UpdatedObject::ScopedHold hold(layoutModel_);
        for (int32_t b = 0; b < kBandCount; ++b) {
            const BandParameterSet& p = band(b);
            FloatingMultiBandModel::Band& band = layoutModel_.band(b);
            band.used() = p.state.storedValue() != BandState::kUnused;
            band.bypassed() = p.state.storedValue() == BandState::kDisabled;
            band.setRange(p.lowCrossover.currentValue(), p.highCrossover.currentValue());
            band.lowSlopeDbPerOctave() = p.lowSlope.displayOfValue(p.lowSlope.currentValue());
            band.highSlopeDbPerOctave() = p.highSlope.displayOfValue(p.highSlope.currentValue());
        }
    }
    // A whole new parameter set (a preset, a reset) takes effect at once.
    style_->commit(true);
    updateSoloAndMode();
    setOversampling();
    for (int32_t c = 0; c < channelCount(); ++c) {
        TesselChannel& ch = tesselChannel(c);
        for (int32_t b = 0; b < kBandCount; ++b)
            ch.band(b).apply();
        ch.applyGains();
        ch.applyAudition();
    }
    updateDelays();
    updateAnalyzer();
}

void TesselProcessor::parameterChanged(int32_t index) {
    changesApplied_ = true;
    if (!built_) return;
    if (index < 0) {
        applyAll();
        environment()->reset(wave::Environment::kResetAttached);
    } else if (const int32_t b = setIndexOfIdentifier(index); b >= 0) {
        const int32_t field = index - band(b).state.identifier();
        if (field <= 4) {
            // State, crossovers and slopes move the layout.
            const BandParameterSet& p = band(b);
            FloatingMultiBandModel::Band& band = layoutModel_.band(b);
            UpdatedObject::ScopedHold hold(layoutModel_);
            band.used() = p.state.storedValue() != BandState::kUnused;
            band.bypassed() = p.state.storedValue() == BandState::kDisabled;
            band.setRange(p.lowCrossover.currentValue(), p.highCrossover.currentValue());
            band.lowSlopeDbPerOctave() = p.lowSlope.displayOfValue(p.lowSlope.currentValue());
            band.highSlopeDbPerOctave() = p.highSlope.displayOfValue(p.highSlope.currentValue());
        }
        for (int32_t c = 0; c < channelCount(); ++c)
            tesselChannel(c).band(b).apply();
        if (field == 0 || index == band(b).soloMuteState.identifier()) updateSoloAndMode();
    } else if (index == processingMode.identifier() || index == oversampling.identifier() ||
               index == lookaheadEnabled.identifier()) {
        updateSoloAndMode();
        setOversampling();
        for (int32_t c = 0; c < channelCount(); ++c)
            for (int32_t b = 0; b < kBandCount; ++b)
                tesselChannel(c).band(b).apply();
        updateDelays();
        environment()->reset(wave::Environment::kResetAttached);
        latencyInputs_.store(currentLatencyInputs());
        updateLatency();
    } else if (index == mix.identifier() || index == expertMode.identifier()) {
        for (int32_t c = 0; c < channelCount(); ++c)
            for (int32_t b = 0; b < kBandCount; ++b)
                tesselChannel(c).band(b).apply();
    } else if (index == analyzer.analyzer.identifier() ||
               index == analyzer.sideChain.identifier()) {
        updateAnalyzer();
    }
    GenericPluginProcessor::parameterChanged(index);
}

void TesselProcessor::applyParameterChanges() {
    changesApplied_ = false;
    GenericPluginProcessor::applyParameterChanges();
    // A change commits at once; one still waiting for a splitter crossfade commits on the grid.
    if (changesApplied_ && style_ != nullptr) style_->commit(false);
}

void TesselProcessor::cycleBoundary() noexcept {
    if (style_ == nullptr) return;
    style_->commit(false);
    for (int32_t c = 0; c < channelCount(); ++c)
        tesselChannel(c).advancePathSwitch();
    if (effectiveMode_ == ProcessingMode::kLinearPhase)
        for (int32_t c = 0; c < channelCount(); ++c)
            tesselChannel(c).multiBand().stopIdleConvolvers();
}

float TesselProcessor::hostMeter(HostMeter meter) const noexcept {
    const float linear = std::pow(10.0f, hostMeterDb(meter) / 20.0f);
    return meter == kGainChangeMeter ? 1.0f - linear : linear;
}

float TesselProcessor::hostMeterDb(HostMeter meter) const noexcept {
    float result = meter == kGainChangeMeter ? 0.0f : -180.0f;
    for (int32_t c = 0; c < channelCount(); ++c) {
        const TesselChannel& ch = tesselChannel(c);
        switch (meter) {
            case kGainChangeMeter:
                result =
                    std::min(result, const_cast<TesselChannel&>(ch).gainChangeSource().level(0));
                break;
            case kInputMeter:
                result = std::max(result, inputMeters_[static_cast<std::size_t>(c)]->level(0));
                break;
            case kOutputMeter:
                result = std::max(result, const_cast<TesselChannel&>(ch).outputMeter().level(0));
                break;
        }
    }
    return result;
}

void TesselProcessor::writeDisplayData(std::vector<uint8_t>& stream) {
    DisplayDataWriter::write(*analyzerFeed_, displayMeters_, stream);
    GenericPluginProcessor::writeDisplayData(stream);
}

}  // namespace tessel
