#include "bands/BiquadFilter.h"

#include <algorithm>

namespace tessel {

BiquadFilter::BiquadFilter(wave::Environment* environment, int32_t sectionCount, int32_t maxRuns)
    : wave::Filter(environment),
      processor_(sectionCount, maxRuns, environment->sampleRate()),
      outgoing_(1, 1, environment->sampleRate()),
      outgoingBlock_(environment),
      enabled_(this, true) {
    environment->addResettable(this);
}

BiquadFilter::~BiquadFilter() {
    unlink();
}

void BiquadFilter::setCoefficients(const BiquadCoefficients* cascade, float weight) noexcept {
    // One pushed sample between blocks: the last run of a block extends to its end, so these
    // values cover the whole next block.
    processor_.pushCoefficients(1, cascade, weight);
}

void BiquadFilter::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                          int32_t) noexcept {
    if (leader_ != nullptr) {
        // The leader forwards its runs (kind 1) or computes this node's output (kind 2); make
        // sure it has run this cycle whichever of the two is pulled first.
        leader_->pull(frames);
        if (linkKind_ == BiquadProcessor::LinkKind::kStereoPair) return;
    }
    processBlock(in, out, frames);
}

void BiquadFilter::processBlock(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                                int32_t frames) noexcept {
    processor_.setSampleRate(environment()->sampleRate());
    if (leader_ == nullptr) refreshCoefficients(frames);
    if (partner_ != nullptr && linkKind_ == BiquadProcessor::LinkKind::kStereoPair) {
        wave::BasicBlock<float>* in1 = partner_->pullInput(frames);
        wave::BasicBlock<float>* out1 = partner_->ownBlock();
        const bool ran =
            processor_.runPair(in->data(), out->data(), in1->data(), out1->data(), frames);
        out->setConstant(false);
        out1->setConstant(false);
        setOutputBlock(ran ? out : in);
        partner_->setOutputBlock(ran ? out1 : in1);
        partner_->markComputed();
        return;
    }
    if (processor_.run(in->data(), out->data(), frames)) {
        out->setConstant(false);
        setOutputBlock(out);
    } else {
        setOutputBlock(in);
    }
    running_ = true;
    if (fadeLeft_ > 0) crossfade(in, out, frames);
}

void BiquadFilter::beginCrossfade() noexcept {
    if (!running_ || fadeLeft_ > 0 || processor_.wetGain() <= 0.0f ||
        linkKind_ == BiquadProcessor::LinkKind::kStereoPair)
        return;
    outgoing_.continueFrom(processor_);
    fadeLength_ =
        std::max(1, static_cast<int32_t>(kCrossfadeSeconds * environment()->sampleRate()));
    fadeLeft_ = fadeLength_;
}

void BiquadFilter::crossfade(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out,
                             int32_t frames) noexcept {
    if (frames <= 0) return;
    float* old = outgoingBlock_.data();
    if (!outgoing_.run(in->data(), old, frames)) std::copy(in->data(), in->data() + frames, old);
    const float* now = outputBlock()->data();  // the new filter's output (may be `in` itself)
    float* y = out->data();
    const float step = 1.0f / static_cast<float>(fadeLength_);
    float g = static_cast<float>(fadeLength_ - fadeLeft_) * step;
    const int32_t fading = std::min(frames, fadeLeft_);
    for (int32_t i = 0; i < fading; ++i, g += step)
        y[i] = old[i] + g * (now[i] - old[i]);
    if (now != y) std::copy(now + fading, now + frames, y + fading);
    fadeLeft_ -= fading;
    out->setConstant(false);
    setOutputBlock(out);
}

void BiquadFilter::propertyChanged(AbstractProperty* property) {
    if (property != &enabled_) return;
    processor_.setEnabled(enabled_.get());
    // Before the first block (after construction or a reset) there is nothing to fade from.
    if (!running_) processor_.finishEnableRamp();
}

void BiquadFilter::reset() {
    fadeLeft_ = 0;
    running_ = false;
    processor_.reset();
}

void BiquadFilter::link(BiquadFilter* partner, BiquadProcessor::LinkKind kind) noexcept {
    if (partner == nullptr || partner == this) return;
    unlink();
    partner->unlink();
    if (kind == BiquadProcessor::LinkKind::kNone) return;
    processor_.link(&partner->processor_, kind);
    partner_ = partner;
    partner->leader_ = this;
    linkKind_ = kind;
    partner->linkKind_ = kind;
}

void BiquadFilter::unlink() noexcept {
    if (leader_ != nullptr) {
        leader_->unlink();
        return;
    }
    if (partner_ == nullptr) return;
    BiquadFilter* partner = partner_;
    processor_.unlink();
    partner->leader_ = nullptr;
    partner->linkKind_ = BiquadProcessor::LinkKind::kNone;
    partner_ = nullptr;
    linkKind_ = BiquadProcessor::LinkKind::kNone;
    processor_.setEnabled(enabled_.get());
    partner->processor_.setEnabled(partner->enabled_.get());
}

}  // namespace tessel
