#include "dynamics/BandCompander.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "support/Decibels.h"
#include "support/FastExp.h"
#include "support/Octave.h"

namespace tessel {

namespace {

// The band's defaults: the whole audible range, 20 Hz .. 30 kHz, as octave values.
constexpr float kDefaultLowOctaves = static_cast<float>(kOctave20Hz);
constexpr float kDefaultHighOctaves = static_cast<float>(kOctave30kHz);
constexpr float kMaximumCrossoverOctaves = 20.0f;
constexpr float kSmoothingStartHz = 50.0f;
// Below this the lookahead no longer shortens the smoothing and hold in a meaningful way.
constexpr float kMinimumLookaheadMs = 0.1f;
constexpr float kDirectionRampMs = 20.0f;
// Share of the slow envelope (in dB on the inverted scale) added to the fast release time in
// the "below" direction: a gate that has been open for long closes more slowly.
constexpr float kBelowReleaseCoupling = 0.007f;
// Two envelopes this close (dB) may be replaced by one.
constexpr double kShareTolerance = 0.01;

// Release percent to seconds: a piecewise-linear taper through these points (fraction of the
// knob, fraction of the travel), stretched above 0.7 so that the last part of the knob reaches
// the long times.
constexpr float kReleaseTaperX[] = {0.0f, 0.1f, 0.25f, 0.5f, 0.7f, 0.9f, 1.0f};
constexpr float kReleaseTaperY[] = {0.0f, 0.002f, 0.05f, 0.16f, 0.36f, 0.91f, 1.0f};

float releaseSecondsFor(float releasePercent) noexcept {
    const float r = std::fabs(releasePercent * 0.01f);
    float y = 0.0f;
    if (r >= 1.0f) {
        y = 1.0f;
    } else if (r > 0.0f) {
        int32_t k = 1;
        while (kReleaseTaperX[k] < r)
            ++k;
        const float x0 = kReleaseTaperX[k - 1];
        const float y0 = kReleaseTaperY[k - 1];
        y = y0 + (r - x0) * (kReleaseTaperY[k] - y0) / (kReleaseTaperX[k] - x0);
    }
    if (releasePercent < 0.0f) y = -y;
    if (y > 0.7f) y = (y - 0.7f) * 4.333333f + 0.7f;
    return y * 2.495f + 0.005f;  // 5 ms at 0 %, 404 ms at 50 %, 4.995 s at 100 %
}

// e^x for the gain factors, x = change * ln 10 / 20. The change stays within +-360 dB (twice the
// largest range), x within +-42, so unlike fastExp this needs no split scaling by 2^n, and n comes
// from a rounding addition instead of conversions: about half its operations, with its polynomial
// (the same factor within an ulp or two). x is clamped to +-80 all the same, so that 2^n always
// fits the exponent field; NaN takes the lower clamp.
inline float gainFactor(float nepers) noexcept {
    constexpr float kRound = 12582912.0f;  // 1.5 * 2^23: adding it rounds to an integer
    float x = nepers > -80.0f ? nepers : -80.0f;
    x = x < 80.0f ? x : 80.0f;
    const float shifted = x * 1.442695f + kRound;
    const float n = shifted - kRound;
    const float y = fastExpReduced(x, n);
    // y is within [0.70, 1.42]; n is added to its exponent field.
    const int32_t e = std::bit_cast<int32_t>(shifted) - std::bit_cast<int32_t>(kRound);
    return std::bit_cast<float>(std::bit_cast<int32_t>(y) + e * (1 << 23));
}

}  // namespace

void BandCompander::ChangeLimit::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                                        int32_t frames, int32_t) noexcept {
    const float* __restrict x = in->data();
    const float limit = limitDb_;
    const int32_t n = in->isConstant() ? 1 : frames;
    // Counted rather than and-ed together: a count vectorises.
    int32_t beyond = 0;
    for (int32_t i = 0; i < n; ++i)
        beyond += x[i] <= limit ? 0 : 1;
    if (beyond == 0) {
        setOutputBlock(in);  // the usual case: no copy
        return;
    }
    if (in->isConstant()) {
        out->fillConstant(limit, frames);
        return;
    }
    float* __restrict y = out->data();
    for (int32_t i = 0; i < frames; ++i)
        y[i] = x[i] < limit ? x[i] : limit;
    out->setConstant(false);
}

BandCompander::Settings::Settings(PropertyOwner* owner)
    : attackPercent(owner, 0.0f),
      dynamicsMode(owner, DynamicsMode::kCompression),
      highCrossoverOctaves(owner, 0.0f, kMaximumCrossoverOctaves, kDefaultHighOctaves),
      kneeDb(owner, 0.0f),
      lookaheadMs(owner, 0.0f),
      lookaheadEnabled(owner, true),
      lowCrossoverOctaves(owner, 0.0f, kMaximumCrossoverOctaves, kDefaultLowOctaves),
      mix(owner, 0.0f, 2.0f, 1.0f),
      rangeDb(owner, -18.0f),
      ratio(owner, 4.0f),
      releasePercent(owner, 0.0f),
      thresholdDb(owner, -36.0f) {}

BandCompander::BandCompander(wave::Environment* environment)
    : wave::Producer(environment),
      ceiling_(environment, kCeilingDb),
      mixControl_(environment, 1.0f),
      directionScale_(environment, 1.0f),
      releaseSeconds_(environment, 0.0f),
      delay_(environment, maximumLookaheadSamples(environment->sampleRate())),
      detector_(environment),
      invertedCurve_(environment),
      curveRouter_(environment),
      peakHold_(environment),
      smoothing_(environment),
      limit_(environment),
      slow_(environment),
      envelopeMaximum_(environment),
      releaseMixer_(environment),
      fast_(environment),
      invertedEnvelope_(environment),
      envelopeRouter_(environment),
      smoothingAtBlockStart_(BiquadProcessor::kMaxSections, 1, environment->sampleRate()) {
    mixControl_.parameter().setLimits(0.0f, 2.0f);
    directionScale_.parameter().setLimits(-1.0f, 1.0f);
    releaseSeconds_.parameter().setLimits(0.0f, 5.0f);

    detector_.setLinearInput(true);
    detector_.setInput(&delay_);
    invertedCurve_.addInput(&ceiling_, 1.0f);
    invertedCurve_.addInput(&detector_, -1.0f);
    curveRouter_.addInput(&detector_);
    curveRouter_.addInput(&invertedCurve_);
    peakHold_.setInput(&curveRouter_);

    smoothing_.setShape(AnalogFilterPrototype::kLowPass);
    smoothing_.setSlope(EQFilter::k12DbPerOctave);
    smoothing_.frequencyOctaves().parameter().setValue(
        static_cast<float>(hzToOctave(kSmoothingStartHz)), 0.0f);
    smoothing_.setInput(&peakHold_);

    limit_.setInput(&smoothing_);
    slow_.setInput(&limit_);
    envelopeMaximum_.operation() = Mixer::Operation::kMaxMagnitude;
    envelopeMaximum_.addInput(&slow_);
    envelopeMaximum_.addInput(&limit_);

    releaseMixer_.operation() = Mixer::Operation::kAdd;
    releaseMixer_.addInput(&releaseSeconds_);
    releaseMixer_.addInput(&slow_);
    // Static: in the "above" direction the slow envelope's share is 0 and the sum stays the
    // constant release time, which keeps the fast envelope on its cached coefficient.
    releaseMixer_.setStatic(true);

    fast_.setInput(&envelopeMaximum_);
    invertedEnvelope_.addInput(&ceiling_, 1.0f);
    invertedEnvelope_.addInput(&fast_, -1.0f);
    envelopeRouter_.addInput(&fast_);
    envelopeRouter_.addInput(&invertedEnvelope_);
    // The two directions' signals mean different things (a gain change, or its inverse on the
    // 36 dB scale): a crossfade between them would be a gain change neither asked for, so a
    // change of direction switches at once, and the envelopes restart from rest.
    curveRouter_.switchTimeMs() = 0.0f;
    envelopeRouter_.switchTimeMs() = 0.0f;

    detector_.ratio().setValue(settings_.ratio, 0.0f);
    updateDirection(true);
    delay_.setMaximumDelay(maximumLookaheadSamples(environment->sampleRate()));
    updateTimes();
    // A sample-rate change reaches reset() through the environment.
    environment->addResettable(this);
}

BandCompander::~BandCompander() {
    // Neither side of a link keeps a dangling pointer.
    if (linked_ != nullptr) linked_->twin_ = nullptr;
    if (twin_ != nullptr) {
        twin_->linked_ = nullptr;
        twin_->sharing_ = false;
    }
}

void BandCompander::setLinkedCompander(BandCompander* first) noexcept {
    if (linked_ != nullptr) linked_->twin_ = nullptr;
    linked_ = first != this ? first : nullptr;
    if (linked_ != nullptr) linked_->twin_ = this;
    sharing_ = false;
}

void BandCompander::propertyChanged(AbstractProperty* property) {
    if (property == &settings_.mix) {
        mixControl_.assign(settings_.mix);
    } else if (property == &settings_.ratio) {
        detector_.ratio().assign(settings_.ratio);
    } else if (property == &settings_.dynamicsMode || property == &settings_.thresholdDb ||
               property == &settings_.rangeDb || property == &settings_.kneeDb) {
        updateDirection(false);
    } else {
        updateTimes();
    }
}

void BandCompander::updateDirection(bool initial) {
    detector_.thresholdDb().assign(settings_.thresholdDb);

    const float range = settings_.rangeDb;
    const bool above = settings_.dynamicsMode.get() == DynamicsMode::kCompression ? range < 0.0f
                       : settings_.dynamicsMode.get() == DynamicsMode::kExpansion ? range >= 0.0f
                                                                                  : true;
    const Direction direction = above ? Direction::kAbove : Direction::kBelow;
    float rampMs = kDirectionRampMs;
    if (direction != direction_) {
        // The envelopes' values mean something else on the other side of the threshold.
        direction_ = direction;
        peakHold_.reset();
        smoothing_.reset();
        slow_.reset();
        fast_.reset();
        // In the "below" direction the envelopes run on the inverted 36 dB scale, where rest
        // (no gain change) is the ceiling, not 0: they restart there, or the first samples
        // would carry the whole range.
        if (direction == Direction::kBelow) {
            slow_.setState(kCeilingDb, false, false);
            fast_.setState(kCeilingDb, false, false);
        }
        rampMs = 0.0f;
    }

    const float knee = settings_.kneeDb;
    float scale;
    if (above) {
        detector_.purpose() = Detector::Purpose::kAboveThreshold;
        detector_.rangeDb().setValue(std::fabs(range), 0.0f);
        limit_.setLimitDb(detector_.rangeDb().target());
        detector_.kneeDb().setValue(knee, 0.0f);
        // The approach to the range limit is rounded, at least over 12 dB.
        detector_.rangeKneeDb().setValue(knee * 0.6f + 12.0f, 0.0f);
        releaseMixer_.inputGain(1)->parameter().setValue(0.0f, 0.0f);
        // The slow envelope's share is 0: the fast envelope reads the release control itself,
        // so the two envelopes may run in one pass.
        fast_.setReleaseTimeInput(&releaseSeconds_);
        scale = range > 0.0f ? 1.0f : -1.0f;
        curveRouter_.selectedInput() = 0;
        envelopeRouter_.selectedInput() = 0;
    } else {
        detector_.purpose() = Detector::Purpose::kBelowThreshold;
        detector_.rangeDb().setValue(kCeilingDb, 0.0f);
        limit_.setLimitDb(kCeilingDb);
        detector_.kneeDb().setValue(knee, 0.0f);
        detector_.rangeKneeDb().setValue(knee, 0.0f);
        releaseMixer_.inputGain(1)->parameter().setValue(kBelowReleaseCoupling, 0.0f);
        fast_.setReleaseTimeInput(&releaseMixer_);
        scale = range * 0.027777778f;  // range / 36
        curveRouter_.selectedInput() = 1;
        envelopeRouter_.selectedInput() = 1;
    }
    directionScale_.parameter().setValue(scale, initial ? 0.0f : rampMs);
}

void BandCompander::updateTimes() {
    const float attack = settings_.attackPercent;
    const float release = settings_.releasePercent;

    const float attackSquared = attack * 0.01f * (attack * 0.01f);
    const float fastAttackSeconds = attackSquared * attackSquared * 0.59975f + 0.00025f;
    const float releaseTime = releaseSecondsFor(release);
    releaseSeconds_.assign(releaseTime);

    // 1 at 0 % attack, 0 from 20 % up: short attacks get a slower slow envelope, a hold and a
    // release that grows with the drop, which keeps fast attacks from distorting.
    const float weight = 1.0f - std::min(attack * 0.05f, 1.0f);
    slow_.attackTime().assign(static_cast<float>(static_cast<double>(weight) * 0.5 + 0.12));
    slow_.releaseTime().assign((releaseTime + 1.0f) * 0.25f);
    fast_.attackTime().assign(fastAttackSeconds);
    fast_.releaseDependency().assign(static_cast<float>(static_cast<double>(releaseTime) * 0.1));
    fast_.releaseShape().assign(1.0f - 0.7f * weight);

    const float fs = environment()->sampleRate();
    float lookahead = kMinimumLookaheadMs;
    int32_t delaySamples = 0;
    if (settings_.lookaheadEnabled) {
        // The band's geometric centre: low bands look further ahead (half a period of 100 Hz at
        // most), so the gain is down before a slow wave's first peak arrives.
        const float centreHz =
            std::exp2((settings_.lowCrossoverOctaves + settings_.highCrossoverOctaves) * 0.5f);
        lookahead = 500.0f / std::max(centreHz, 100.0f) + settings_.lookaheadMs;
        // Written so that NaN ends at the minimum.
        lookahead = lookahead >= kMinimumLookaheadMs ? std::min(lookahead, kMaximumLookaheadMs)
                                                     : kMinimumLookaheadMs;
        // The audio waits the full 20 ms; the detector sees it `lookahead` early. Each term is
        // truncated on its own, as the band delays the audio by the truncated 20 ms.
        delaySamples = static_cast<int32_t>(kMaximumLookaheadMs * fs * 0.001f) -
                       static_cast<int32_t>(lookahead * fs * 0.001f);
    }
    effectiveLookaheadMs_ = lookahead;
    delay_.setDelay(delaySamples);
    peakHold_.holdTimeMs().assign(
        static_cast<float>(static_cast<double>(lookahead) * 1.1 +
                           (static_cast<double>(release) + 2.0) * static_cast<double>(weight)));
    // 6500 Hz at 0.1 ms down to 32.5 Hz at 20 ms: the smoothing settles within the lookahead.
    smoothing_.frequencyOctaves().assign(std::log2(650.0f / lookahead));
}

void BandCompander::reset() {
    delay_.setMaximumDelay(static_cast<int32_t>(kMaximumLookaheadMs * 0.001 *
                                                static_cast<double>(environment()->sampleRate())));
    updateTimes();
}

bool BandCompander::isSettled() const {
    if (sharing_ && linked_ != nullptr) return linked_->isSettled();
    return slow_.isSettled() && fast_.isSettled();
}

BandCompander::EnvelopeState BandCompander::stateOf(const Capacitor& envelope) noexcept {
    return EnvelopeState{envelope.state(), envelope.inRelease(), envelope.resetPending()};
}

bool BandCompander::sameSettings(const BandCompander& other) const noexcept {
    return settings_ == other.settings_ && direction_ == other.direction_;
}

bool BandCompander::envelopesMatch(const BandCompander& other) const noexcept {
    // A pending reset starts the envelope at 0, so that is where it effectively stands.
    const auto effective = [](const EnvelopeState& s) { return s.resetPending ? 0.0 : s.value; };
    return std::fabs(effective(stateOf(slow_)) - effective(other.slowAtBlockStart_)) <=
               kShareTolerance &&
           std::fabs(effective(stateOf(fast_)) - effective(other.fastAtBlockStart_)) <=
               kShareTolerance;
}

void BandCompander::takeOverFrom(const BandCompander& other) noexcept {
    const EnvelopeState& s = other.slowAtBlockStart_;
    const EnvelopeState& f = other.fastAtBlockStart_;
    slow_.setState(s.value, s.inRelease, s.resetPending);
    fast_.setState(f.value, f.inRelease, f.resetPending);
    // The hold window and the low-pass last ran before sharing began. Left as they are, stale
    // peaks would come back for up to a hold time and the low-pass would ring from an old value.
    // The low-pass continues exactly where the twin's stood at this block's start (the detection
    // was identical up to here); the window restarts on the twin's held value, which it keeps
    // for one hold time. Both are constant-time, so leaving the shared path costs no more than
    // an ordinary block.
    const wave::BasicBlock<float>* held = other.peakHold_.outputBlock();
    peakHold_.restartFrom(held != nullptr && held->size() > 0 ? held->data()[0] : 0.0f);
    smoothing_.processor().continueFrom(other.smoothingAtBlockStart_);
}

void BandCompander::process(wave::BasicBlock<float>* block, int32_t frames, int32_t) noexcept {
    if (linked_ != nullptr) {
        // The delay runs every cycle, shared or not, so its line stays continuous.
        const wave::BasicBlock<float>* mine = delay_.pull(frames);
        wave::BasicBlock<float>* shared = linked_->pull(frames);
        const wave::BasicBlock<float>* theirs = linked_->delay_.pull(frames);
        const bool identical = std::memcmp(mine->data(), theirs->data(),
                                           static_cast<std::size_t>(frames) * sizeof(float)) == 0 &&
                               sameSettings(*linked_);
        if (identical) {
            if (!sharing_ && envelopesMatch(*linked_)) sharing_ = true;
            if (sharing_) {
                setOutputBlock(shared);
                return;
            }
        } else if (sharing_) {
            takeOverFrom(*linked_);
            sharing_ = false;
        }
    }
    runChain(block, frames);
}

void BandCompander::runChain(wave::BasicBlock<float>* block, int32_t frames) noexcept {
    slowAtBlockStart_ = stateOf(slow_);
    fastAtBlockStart_ = stateOf(fast_);
    if (twin_ != nullptr && twin_->sharing_)
        smoothingAtBlockStart_.continueFrom(smoothing_.processor());

    // In the "above" direction the fast envelope's release does not depend on the slow one, and
    // both run in one pass; the graph then finds them computed.
    if (direction_ == Direction::kAbove) slow_.pullWithFollower(fast_, frames);
    const wave::BasicBlock<float>* change = envelopeRouter_.pull(frames);
    const wave::BasicBlock<float>* mix = mixControl_.pull(frames);
    const wave::BasicBlock<float>* scale = directionScale_.pull(frames);
    if (change->isConstant() && mix->isConstant() && scale->isConstant()) {
        const float g = change->data()[0] * mix->data()[0] * scale->data()[0];
        block->fillConstant(gainFactor(g * kDbToNeper), frames);
        return;
    }
    // Four samples per step on baseline SSE2.
    const float* __restrict x = change->data();
    float* __restrict y = block->data();
    block->setConstant(false);
    if (mix->isConstant() && scale->isConstant()) {
        const float nepersPerDb = mix->data()[0] * scale->data()[0] * kDbToNeper;
        for (int32_t i = 0; i < frames; ++i)
            y[i] = gainFactor(x[i] * nepersPerDb);
        return;
    }
    const float* __restrict m = mix->data();
    const float* __restrict s = scale->data();
    for (int32_t i = 0; i < frames; ++i)
        y[i] = gainFactor(x[i] * m[i] * s[i] * kDbToNeper);
}

}  // namespace tessel
