#include "sr/ConverterStyle.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "sr/Decimator.h"
#include "sr/HalfBandKernels.h"
#include "sr/Interpolator.h"
#include "support/Tolerance.h"

namespace tessel::sr {

namespace {

/// Zeroth-order modified Bessel function by its power series, summed until a term is at most
/// 1e-9 of the sum (the window needs no more: the taps end up in single precision).
double besselI0(double y) noexcept {
    double sum = 1.0;
    double term = 1.0;
    for (int32_t j = 1; j < 1000; ++j) {
        const double r = y / (2.0 * j);
        term *= r * r;
        sum += term;
        if (term <= 1.0e-9 * sum) break;
    }
    return sum;
}

void normalise(std::vector<double>& taps) noexcept {
    double sum = 0.0;
    for (double t : taps)
        sum += t;
    for (double& t : taps)
        t /= sum;
}

/// Kaiser-windowed half-band low-pass of 4k + 1 taps, unit sum. The taps at even non-zero
/// distances from the centre are exactly 0, which is what lets the kernels skip them.
std::vector<double> kaiserHalfBand(double attenuationDb, double transition) {
    const int32_t k = ConverterStyle::tableOrder(attenuationDb, transition);
    const int32_t m = 2 * k;
    const double beta = 0.1102 * (attenuationDb - 8.7);
    const double i0Beta = besselI0(beta);
    std::vector<double> h(static_cast<std::size_t>(4 * k + 1));
    for (int32_t i = 0; i <= 2 * m; ++i) {
        const int32_t n = i - m;
        const double w =
            besselI0(beta * std::sqrt(static_cast<double>((2 * m - i) * i)) / m) / i0Beta;
        if (n == 0) {
            h[i] = 0.5 * w;
        } else if (n % 2 != 0) {
            const double x = n * std::numbers::pi;
            h[i] = w * std::sin(x / 2.0) / x;
        }
    }
    normalise(h);
    return h;
}

/// The odd-distance taps of a full half-band table, doubled and renormalised to unit sum.
std::vector<double> reduced(const std::vector<double>& h) {
    std::vector<double> r(h.size() / 2);
    for (std::size_t j = 0; j < r.size(); ++j)
        r[j] = 2.0 * h[2 * j + 1];
    normalise(r);
    return r;
}

/// What a stage's kernel makes of a constant 1.0 with this table.
float unitResponse(const AlignedBuffer<float>& table, bool full) {
    const std::vector<float> ones(static_cast<std::size_t>(table.size()), 1.0f);
    float y = 0.0f;
    if (full)
        kernels::halfBand(table.data(), table.size(), ones.data(), ones.data(), &y, 1);
    else
        kernels::dot(table.data(), 1, table.size(), ones.data(), &y, 1);
    return y;
}

/// Moves table[index] (by bisection: the kernel's result grows with every tap) to a value at
/// which the kernel turns 1.0 into exactly 1.0, if one lies within 1e-6; else leaves it.
bool settleUnitResponse(AlignedBuffer<float>& table, int32_t index, bool full) {
    const float original = table[index];
    float low = original - 1.0e-6f, high = original + 1.0e-6f;
    for (float middle = low + (high - low) / 2; middle != low && middle != high;
         middle = low + (high - low) / 2) {
        table[index] = middle;
        const float y = unitResponse(table, full);
        if (y == 1.0f) return true;
        (y < 1.0f ? low : high) = middle;
    }
    table[index] = original;
    return false;
}

/// Stores the taps in single precision. Rounding each tap leaves the kernel's sum of them a few
/// float steps off 1, so a constant (a unity gain, a DC offset) would drift by as much through
/// every stage. One tap takes up the difference, so that the kernel, adding in its own order,
/// turns 1.0 into exactly 1.0: the middle one if that works (a full table's centre, so the
/// symmetry stays), else the last one that does (the kernel adds the last taps last, where small
/// taps give the finest control). The response moves by far less than its ripple.
void store(const std::vector<double>& taps, AlignedBuffer<float>& table, bool full) {
    const int32_t length = static_cast<int32_t>(taps.size());
    table.resize(length);
    for (int32_t i = 0; i < length; ++i)
        table[i] = static_cast<float>(taps[static_cast<std::size_t>(i)]);
    if (unitResponse(table, full) == 1.0f || settleUnitResponse(table, length / 2, full)) return;
    for (int32_t i = length - 1; i >= 0; --i) {  // a full table's zero taps are never read
        if (table[i] != 0.0f && settleUnitResponse(table, i, full)) return;
    }
}

}  // namespace

ConverterStyle::ConverterStyle(wave::Environment* hostEnvironment,
                               wave::SubEnvironment* subEnvironment)
    : ConverterStyleBase(hostEnvironment),
      attenuationDb_(this, 20.0f, 200.0f, static_cast<float>(kDefaultAttenuationDb)),
      passBandEdgeHz_(this, 100.0f, 100000.0f, static_cast<float>(kDefaultPassBandEdgeHz)),
      subEnvironment_(subEnvironment) {}

ConverterStyle::~ConverterStyle() = default;

std::unique_ptr<ConverterBase> ConverterStyle::createDecimator() {
    return std::make_unique<Decimator>(this);
}

std::unique_ptr<ConverterBase> ConverterStyle::createInterpolator() {
    return std::make_unique<Interpolator>(this);
}

int32_t ConverterStyle::latency(int32_t factor) const {
    return conversionLatency(factor, environment()->sampleRate(), passBandEdgeHz_.get(),
                             attenuationDb_.get());
}

int32_t ConverterStyle::currentFactor() const noexcept {
    return subEnvironment_ != nullptr ? subEnvironment_->factor()
                                      : ConverterStyleBase::currentFactor();
}

void ConverterStyle::setFactor(int32_t factor) {
    ConverterStyleBase::setFactor(factor);
    if (subEnvironment_ != nullptr) subEnvironment_->setFactor(ConverterStyleBase::currentFactor());
}

bool ConverterStyle::isDesignCurrent() const noexcept {
    return !designStale_ && nearlyEqual(designedRateHz_, environment()->sampleRate());
}

void ConverterStyle::design() {
    if (isDesignCurrent()) return;
    const double rateHz = environment()->sampleRate();
    const double attenuation = attenuationDb_.get();
    const std::vector<double> relaxed = kaiserHalfBand(attenuation, kRelaxedTransition);
    const std::vector<double> steep =
        kaiserHalfBand(attenuation, firstStageTransition(rateHz, passBandEdgeHz_.get()));
    store(relaxed, tables_[static_cast<int32_t>(TableKind::kRelaxed)], true);
    store(steep, tables_[static_cast<int32_t>(TableKind::kSteep)], true);
    store(reduced(steep), tables_[static_cast<int32_t>(TableKind::kSteepReduced)], false);
    store(reduced(relaxed), tables_[static_cast<int32_t>(TableKind::kRelaxedReduced)], false);
    designedRateHz_ = environment()->sampleRate();
    designStale_ = false;
    ++designGeneration_;
}

ConverterStyle::Table ConverterStyle::table(TableKind kind) const noexcept {
    const AlignedBuffer<float>& t = tables_[static_cast<int32_t>(kind) & 3];
    return {t.data(), t.size()};
}

int32_t ConverterStyle::tableOrder(double attenuationDb, double transition) noexcept {
    const double x = (attenuationDb - 7.95) / (7.18 * transition);
    const double clamped = std::clamp(std::isfinite(x) ? x : 0.0, 0.0, 1.0e6);
    return std::max((2 + static_cast<int32_t>(clamped)) / 4, 1);
}

double ConverterStyle::firstStageTransition(double sampleRateHz, double passBandEdgeHz) noexcept {
    return std::max((sampleRateHz - 2.0 * passBandEdgeHz) / sampleRateHz, kMinimumTransition);
}

int32_t ConverterStyle::conversionLatency(int32_t factor, double sampleRateHz,
                                          double passBandEdgeHz, double attenuationDb) noexcept {
    if (!(sampleRateHz > 0.0) || !std::isfinite(sampleRateHz)) sampleRateHz = 44100.0;
    int32_t latency = 0;
    // The converters round the factor the same way.
    const auto top = std::bit_floor(static_cast<uint32_t>(std::clamp(factor, 1, kMaximumFactor)));
    for (auto f = static_cast<int32_t>(top); f >= 2; f /= 2) {
        const double t =
            f == 2 ? firstStageTransition(sampleRateHz, passBandEdgeHz) : kRelaxedTransition;
        const int32_t k = tableOrder(attenuationDb, t);
        latency += 2 * ((2 * k + f - 1) / f);  // 2 * ceil(2k / f)
    }
    return latency;
}

}  // namespace tessel::sr
