#include "bands/EQFilter.h"

#include <algorithm>
#include <cmath>

#include "bands/BilinearTransform.h"
#include "bands/CoefficientRefreshSchedule.h"
#include "support/Tolerance.h"

namespace tessel {

namespace {

constexpr double kLn2 = 0.6931471805599453;
constexpr double kDbToNeper = 0.1151292546497023;
using Schedule = CoefficientRefreshSchedule;

bool isEllipticCut(EQFilter::Shape shape, EQFilter::Slope slope) noexcept {
    return slope == EQFilter::kSteepest &&
           (shape == AnalogFilterPrototype::kLowPass || shape == AnalogFilterPrototype::kHighPass);
}

}  // namespace

EQFilter::EQFilter(wave::Environment* environment)
    : BiquadFilter(environment, sectionCountFor(AnalogFilterPrototype::kBandGain, k12DbPerOctave)),
      shape_(this, AnalogFilterPrototype::kLowPass, AnalogFilterPrototype::kComposite,
             AnalogFilterPrototype::kBandGain),
      slope_(this, k6DbPerOctave, kSteepest, k12DbPerOctave),
      calculation_(this, kMatched, kBilinearPrewarpedQ, kMatched),
      frequency_(environment, kDefaultFrequencyOctaves),
      gain_(environment, 0.0f),
      q_(environment, 1.0f) {
    frequency_.parameter().setLimits(0.0f, kMaxFrequencyOctaves);
    gain_.parameter().setLimits(-kMaxGainDb, kMaxGainDb);
    q_.parameter().setLimits(-10.0f, 10.0f);
    processor().setKernel(BiquadProcessor::Kernel::kStateVariable);
    updateKernelCascade();
}

int32_t EQFilter::orderFor(Shape shape, Slope slope) noexcept {
    static constexpr int32_t kOrders[] = {1, 2, 3, 4, 5, 6, 8, 12, 16, 16};
    if (shape == AnalogFilterPrototype::kComposite) return 6;
    if (isEllipticCut(shape, slope)) return 12;
    int32_t order =
        kOrders[std::clamp(static_cast<int32_t>(slope), 0, static_cast<int32_t>(kSteepest))];
    if (AnalogFilterPrototype::isBandShape(shape)) order += order & 1;
    return order;
}

int32_t EQFilter::sectionCountFor(Shape shape, Slope slope) noexcept {
    const int32_t order = orderFor(shape, slope);
    // The band substitution turns each section of the half-order prototype into two.
    return AnalogFilterPrototype::isBandShape(shape) ? order / 2 : (order + 1) / 2;
}

double EQFilter::prototypeQ(double qControl) noexcept {
    return 0.125 * std::pow(32.0, 0.13554251 * qControl + 0.5);
}

float EQFilter::runWeight(double gainDb) noexcept {
    const double magnitude = std::fabs(gainDb);
    return magnitude < 0.05 ? static_cast<float>(20.0 * magnitude) : 1.0f;
}

void EQFilter::propertyChanged(AbstractProperty* property) {
    if (property == &shape_ || property == &slope_) {
        beginCrossfade();
        // Section counts change only between blocks: the schedule of a block holds one count.
        processor().setSectionCount(sectionCountFor(shape_, slope_));
        designNow_ = true;
    } else if (property == &calculation_) {
        designNow_ = true;
    } else {
        BiquadFilter::propertyChanged(property);
    }
}

namespace {

// The gain a gain-taking shape is designed at: limited to +-30 dB, NaN as 0, and kept at least
// 0.01 dB away from 0 (the run weight fades the filter out below 0.05 dB instead).
double designGainDb(float gainDb) noexcept {
    double dB = std::clamp(static_cast<double>(gainDb), -30.0, 30.0);
    if (std::isnan(dB)) dB = 0.0;
    if (std::fabs(dB) < 0.01) dB = std::copysign(0.01, dB);
    return dB;
}

float weightFor(float gainDb) noexcept {
    return std::isnan(gainDb) ? 0.0f : EQFilter::runWeight(std::clamp(gainDb, -30.0f, 30.0f));
}

}  // namespace

void EQFilter::design(float frequencyOctaves, float gainDb, float qControl) noexcept {
    lastFrequency_ = frequencyOctaves;
    lastGain_ = gainDb;
    lastQ_ = qControl;
    bracketValid_ = false;
    ++designCount_;
    const bool gainShape = AnalogFilterPrototype::takesGain(shape_);
    weight_ = gainShape ? weightFor(gainDb) : 1.0f;
    designCascade(frequencyOctaves, gainShape ? designGainDb(gainDb) : 0.0, qControl,
                  cascade_.data());
    updateKernelCascade();
}

void EQFilter::updateKernelCascade() noexcept {
    for (std::size_t i = 0; i < cascade_.size(); ++i)
        kernelCascade_[i] = BiquadProcessor::stateVariableFromDirectForm(cascade_[i]);
}

void EQFilter::designCascade(double frequencyOctaves, double gainDb, double qControl,
                             BiquadCoefficients* cascade) noexcept {
    const Shape shape = shape_;
    const Slope slope = slope_;
    const double sampleRate = environment()->sampleRate();
    const double octaves = std::min(frequencyOctaves, static_cast<double>(kMaxFrequencyOctaves));
    const double frequencyHz = std::max(std::exp(octaves * kLn2), 1.0);

    const bool elliptic = isEllipticCut(shape, slope);
    const double gainLinear =
        AnalogFilterPrototype::takesGain(shape) ? std::exp(gainDb * kDbToNeper) : 1.0;
    double q = prototypeQ(elliptic ? 1.0 : qControl);
    if (AnalogFilterPrototype::isBandShape(shape) && calculation_ == kBilinearPrewarpedQ)
        q = prewarpedBandQ(q, clampedAngularFrequency(frequencyHz, sampleRate));

    const auto family =
        elliptic ? AnalogFilterPrototype::kElliptic : AnalogFilterPrototype::kButterworth;
    prototype_.design(family, shape, orderFor(shape, slope), gainLinear, 1.0 / frequencyHz, q);
    const auto method = calculation_ == kMatched
                            ? AnalogFilterPrototype::CoefficientMethod::kMagnitudeMatched
                            : AnalogFilterPrototype::CoefficientMethod::kBilinear;
    const int32_t count = prototype_.digitalCoefficients(frequencyHz, sampleRate, method, cascade);
    for (int32_t i = count; i < BiquadProcessor::kMaxSections; ++i)
        cascade[i] = BiquadCoefficients{};
}

void EQFilter::followGain(float gainDb) noexcept {
    lastGain_ = gainDb;
    weight_ = weightFor(gainDb);
    const double dB = designGainDb(gainDb);
    if (!bracketValid_ || dB < bracketLowDb_ || dB > bracketHighDb_) {
        // Brackets sit on whole decibels, except the one that would touch 0 dB: no design is
        // ever made at 0 dB, so it moves 0.01 dB away on the side of the gain.
        double low = std::clamp(std::floor(dB), -30.0, 29.0);
        double high = low + 1.0;
        if (low == 0.0 && dB > 0.0) {
            low = 0.01;
            high = 1.01;
        } else if (high == 0.0 && dB < 0.0) {
            low = -1.01;
            high = -0.01;
        }
        designCascade(lastFrequency_, low, lastQ_, bracketLow_.data());
        designCascade(lastFrequency_, high, lastQ_, bracketHigh_.data());
        designCount_ += 2;
        bracketLowDb_ = low;
        bracketHighDb_ = high;
        bracketValid_ = true;
    }
    const double t = (dB - bracketLowDb_) / (bracketHighDb_ - bracketLowDb_);
    for (std::size_t i = 0; i < cascade_.size(); ++i) {
        const BiquadCoefficients& a = bracketLow_[i];
        const BiquadCoefficients& b = bracketHigh_[i];
        cascade_[i] = {a.b0 + t * (b.b0 - a.b0), a.b1 + t * (b.b1 - a.b1), a.b2 + t * (b.b2 - a.b2),
                       a.a1 + t * (b.a1 - a.a1), a.a2 + t * (b.a2 - a.a2)};
    }
    updateKernelCascade();
}

void EQFilter::refreshCoefficients(int32_t frames) noexcept {
    const wave::BasicBlock<float>* f = frequency_.source()->pull(frames);
    const wave::BasicBlock<float>* g = gain_.source()->pull(frames);
    const wave::BasicBlock<float>* q = q_.source()->pull(frames);
    if (designedSampleRate_ != environment()->sampleRate()) {
        designedSampleRate_ = environment()->sampleRate();
        designNow_ = true;
    }
    if (frames <= 0) return;
    const float* fd = f->data();
    const float* gd = g->data();
    const float* qd = q->data();
    if (designNow_) {
        designNow_ = false;
        design(fd[0], gd[0], qd[0]);
    }
    auto push = [&](int32_t n) { processor().pushCoefficients(n, kernelCascade_.data(), weight_); };
    // Only the gain moves: follow it every 4 samples through the bracket designs (a gain step
    // is cheap there, so every move counts as one to follow at once).
    if (AnalogFilterPrototype::takesGain(shape_) && f->isConstant() && q->isConstant() &&
        nearlyEqual(fd[0], lastFrequency_) && nearlyEqual(qd[0], lastQ_)) {
        Schedule::walk(
            frames, g->isConstant(), Schedule::kStep, environment()->samplePosition(),
            [&](int32_t i) {
                return nearlyEqual(gd[i], lastGain_) ? Schedule::Movement::kNone
                                                     : Schedule::Movement::kJumped;
            },
            [&](int32_t i) { followGain(gd[i]); }, push);
        return;
    }
    Schedule::walk(
        frames, f->isConstant() && g->isConstant() && q->isConstant(), Schedule::kStep,
        environment()->samplePosition(),
        [&](int32_t i) {
            return Schedule::either(Schedule::frequencyMovement(fd[i], lastFrequency_),
                                    Schedule::either(Schedule::valueMovement(gd[i], lastGain_),
                                                     Schedule::valueMovement(qd[i], lastQ_)));
        },
        [&](int32_t i) { design(fd[i], gd[i], qd[i]); }, push);
}

}  // namespace tessel
