#pragma once

#include <cstdint>

#include "engine/FloatParameterBus.h"
#include "engine/StereoLinkInfo.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/MultiProducer.h"

namespace tessel {

/// The gain stage of a stereo band: turns the band's compander gains x1, x2 (first, second
/// channel) and its smoothed mid and side stage gains m, s (linear, 0..10^9, initially 1) into four
/// gains: left, right, mid, side. The linker's amount a picks the regime per sample: below 0.499
/// (x1, x2, m, s); from 0.499 left = right = 1 and, with k = clamp(2a - 1, 0, 1) and
/// y = x1 + (1 - x1) k, mid = m x1, side = s y in link modes 0 and 3, mid = m y, side = s x1 in
/// modes 1 and 2. A constant a gives one regime per block (input blocks or the unity block passed
/// on). NaN/inf: a NaN amount counts as left/right, one above 1 (+inf too) as 1; gains pass or
/// multiply through. Unconnected x1, x2 read as unity, no linker as a = 0. Audio thread only;
/// `process` never allocates.
class MidSideStereoProcessor : public wave::MultiProducer {
public:
    enum OutputIndex : int32_t {
        kLeftGain = 0,
        kRightGain = 1,
        kMidGain = 2,
        kSideGain = 3,
    };

    /// Link amounts from this value on select mid/side processing.
    static constexpr float kMidSideThreshold = 0.499f;

    explicit MidSideStereoProcessor(wave::Environment* environment);

    /// The first-channel (x1) and second-channel (x2) compander gains; null reads as unity.
    void setFirstGain(wave::Producer* gain) noexcept { firstGain_ = gain; }
    void setSecondGain(wave::Producer* gain) noexcept { secondGain_ = gain; }
    wave::Producer* firstGain() const noexcept { return firstGain_; }
    wave::Producer* secondGain() const noexcept { return secondGain_; }
    /// The mid (m) and side (s) stage gains.
    FloatParameterBus& midGain() noexcept { return midGain_; }
    FloatParameterBus& sideGain() noexcept { return sideGain_; }
    /// The band's linker, read for the link amount and mode; null means unlinked. Not owned.
    void setLinkInfo(StereoLinkInfo* link) noexcept { link_ = link; }
    StereoLinkInfo* linkInfo() const noexcept { return link_; }

    void process(wave::BasicBlock<float>** blocks, int32_t frames, int32_t mode) noexcept override;

private:
    wave::Producer* firstGain_ = nullptr;
    wave::Producer* secondGain_ = nullptr;
    FloatParameterBus midGain_;
    FloatParameterBus sideGain_;
    wave::ConstValueBlock unity_;
    StereoLinkInfo* link_ = nullptr;
};

}  // namespace tessel
