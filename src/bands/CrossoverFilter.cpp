#include "bands/CrossoverFilter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "bands/BilinearTransform.h"
#include "bands/CoefficientRefreshSchedule.h"
#include "support/Tolerance.h"

namespace tessel {

CrossoverFilter::CrossoverFilter(wave::Environment* environment, Response response, Slope slope)
    : BiquadFilter(environment, 1),
      response_(this, response),
      slope_(this, slope),
      frequency_(environment, kDefaultFrequencyOctaves),
      frequencySource_(frequency_.source()) {
    frequency_.parameter().setLimits(0.0f, kMaxFrequencyOctaves);
    processor().setKernel(BiquadProcessor::Kernel::kStateVariable);
    updateDesignState();
}

CrossoverFilter::Slope CrossoverFilter::slopeForDbPerOctave(float dbPerOctave) noexcept {
    if (dbPerOctave < 9.0f) return Slope::k6DbPerOctave;
    if (dbPerOctave < 18.0f) return Slope::k12DbPerOctave;
    if (dbPerOctave < 30.0f) return Slope::k24DbPerOctave;
    if (dbPerOctave < 42.0f) return Slope::k36DbPerOctave;
    return Slope::k48DbPerOctave;
}

int32_t CrossoverFilter::orderOf(Slope slope) noexcept {
    static constexpr int32_t kOrders[] = {1, 2, 4, 6, 8};
    return kOrders[std::clamp(static_cast<int32_t>(slope), 0, 4)];
}

void CrossoverFilter::setFrequencySource(wave::Producer* source) noexcept {
    frequencySource_ = source != nullptr ? source : frequency_.source();
    lastFrequency_ = -1.0f;  // outside 0..15: the next block designs whatever it reads
}

void CrossoverFilter::propertyChanged(AbstractProperty* property) {
    if (property == &response_ || property == &slope_) {
        beginCrossfade();
        updateDesignState();
        lastFrequency_ = -1.0f;
    } else {
        BiquadFilter::propertyChanged(property);
    }
}

void CrossoverFilter::updateDesignState() noexcept {
    const int32_t n = orderOf(slope_);
    const Response response = response_;
    bool doubled = n % 2 == 0;
    int32_t m = doubled ? n / 2 : n;
    // An odd Butterworth order squared has a high-pass of opposite sign to its low-pass at the
    // crossover frequency; inverting it makes the two sum to an all-pass. (A lone first-order
    // pair already sums to unity.)
    inverted_ = response == Response::kHighPass && m % 2 == 1 && n != 1;
    if (response == Response::kAllPass) {
        // The sum of a squared pair is the all-pass of one Butterworth filter of order N/2, run
        // once; a first-order pair sums to the identity (order 0).
        doubled = false;
        m = n / 2;
    }
    order_ = n;
    doubled_ = doubled;
    butterworthOrder_ = m;
    int32_t s = 0;
    for (int32_t k = 0; k < m / 2; ++k, ++s) {
        sectionKind_[static_cast<std::size_t>(s)] = 2;
        sectionQ_[static_cast<std::size_t>(s)] =
            static_cast<float>(0.5 / std::cos(std::numbers::pi * (0.5 - (2 * k + 1) * 0.5 / m)));
    }
    if (m % 2 == 1) {
        sectionKind_[static_cast<std::size_t>(s)] = 1;
        sectionQ_[static_cast<std::size_t>(s)] = 0.0f;
        ++s;
    }
    butterworthSections_ = s;
    processor().setSectionCount(std::max(doubled ? 2 * s : s, 1));
}

void CrossoverFilter::design(float frequencyOctaves) noexcept {
    designSections(frequencyOctaves);
    const int32_t sections = processor().sectionCount();
    for (int32_t i = 0; i < sections; ++i) {
        kernelCascade_[static_cast<std::size_t>(i)] =
            BiquadProcessor::stateVariableFromDirectForm(cascade_[static_cast<std::size_t>(i)]);
    }
}

void CrossoverFilter::designSections(float frequencyOctaves) noexcept {
    lastFrequency_ = frequencyOctaves;
    ++designCount_;
    const double hz = std::exp2(static_cast<double>(frequencyOctaves));
    const double k = prewarpedTangent(hz, environment()->sampleRate());
    const Response response = response_;
    const int32_t s = butterworthSections_;

    if (s == 0) {
        cascade_[0] = BiquadCoefficients{};  // identity
        return;
    }
    for (int32_t i = 0; i < s; ++i) {
        const double sign = (inverted_ && !doubled_ && i == s - 1) ? -1.0 : 1.0;
        BiquadCoefficients& c = cascade_[static_cast<std::size_t>(i)];
        if (sectionKind_[static_cast<std::size_t>(i)] == 1) {
            const double d = 1.0 / (k + 1.0);
            c.a1 = (k - 1.0) * d;
            c.a2 = 0.0;
            c.b2 = 0.0;
            switch (response) {
                case Response::kLowPass:
                    c.b0 = c.b1 = sign * k * d;
                    break;
                case Response::kHighPass:
                    c.b0 = sign * d;
                    c.b1 = -sign * d;
                    break;
                case Response::kAllPass:
                    c.b0 = c.a1;
                    c.b1 = 1.0;
                    break;
            }
            continue;
        }
        const double q = sectionQ_[static_cast<std::size_t>(i)];
        const double w = response == Response::kHighPass ? k : 1.0 / k;
        const double ww = w * w;
        const double d = 1.0 / (1.0 + w / q + ww);
        c.a2 = (1.0 - w / q + ww) * d;
        switch (response) {
            case Response::kLowPass:
                c.a1 = 2.0 * (1.0 - ww) * d;
                c.b0 = c.b2 = sign * d;
                c.b1 = 2.0 * sign * d;
                break;
            case Response::kHighPass:
                c.a1 = 2.0 * (ww - 1.0) * d;
                c.b0 = c.b2 = sign * d;
                c.b1 = -2.0 * sign * d;
                break;
            case Response::kAllPass:
                c.a1 = 2.0 * (1.0 - ww) * d;
                c.b0 = c.a2;
                c.b1 = c.a1;
                c.b2 = 1.0;
                break;
        }
    }
    if (doubled_) {
        std::copy(cascade_.begin(), cascade_.begin() + s, cascade_.begin() + s);
        if (inverted_) {
            BiquadCoefficients& last = cascade_[static_cast<std::size_t>(2 * s - 1)];
            last.b0 = -last.b0;
            last.b1 = -last.b1;
            last.b2 = -last.b2;
        }
    }
}

void CrossoverFilter::refreshCoefficients(int32_t frames) noexcept {
    const wave::BasicBlock<float>* f = frequencySource_->pull(frames);
    if (designedSampleRate_ != environment()->sampleRate()) {
        designedSampleRate_ = environment()->sampleRate();
        lastFrequency_ = -1.0f;
    }
    const float* fd = f->data();
    using Schedule = CoefficientRefreshSchedule;
    if (lastFrequency_ < 0.0f) design(fd[0]);  // no design yet: at once, not on the grid
    Schedule::walk(
        frames, f->isConstant(), Schedule::kStep, environment()->samplePosition(),
        [&](int32_t i) { return Schedule::frequencyMovement(fd[i], lastFrequency_); },
        [&](int32_t i) { design(fd[i]); },
        [&](int32_t n) { processor().pushCoefficients(n, kernelCascade_.data()); });
}

}  // namespace tessel
