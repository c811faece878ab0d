#include "engine/DBConverter.h"

#include <cfloat>
#include <cmath>

#include "support/Decibels.h"

namespace tessel {

namespace {

// The logarithm's argument for a magnitude a = |1 - x|, as in gainToDb.
inline float logArgument(float a) noexcept {
    return a > 1e-10f ? (a < FLT_MAX ? a : FLT_MAX) : 1e-10f;
}

// 20 log10(a) for a logArgument, floored at -180 dB.
inline float flooredDb(float a) noexcept {
    const float db = DBConverter::logarithm(a) * kNeperToDb;
    return db > kMinimumDb ? db : kMinimumDb;
}

inline float gainToDbValue(float x) noexcept {
    return DBConverter::gainToDb(x);
}
inline float dbToGainValue(float x) noexcept {
    return fastDbToGain(x);
}
inline float reductionToDbValue(float x) noexcept {
    return -flooredDb(logArgument(std::fabs(1.0f - x)));
}
inline float dbToReductionValue(float x) noexcept {
    return 1.0f - fastDbToGain(-x);
}

// One pass each; GCC 12 vectorises the clamps, the logarithm and the floor together.
void gainToDbBlock(float* __restrict out, const float* __restrict in, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = gainToDbValue(in[i]);
}

void reductionToDbBlock(float* __restrict out, const float* __restrict in,
                        int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = reductionToDbValue(in[i]);
}

void dbToGainBlock(float* __restrict out, const float* __restrict in, int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = dbToGainValue(in[i]);
}

void dbToReductionBlock(float* __restrict out, const float* __restrict in,
                        int32_t frames) noexcept {
    for (int32_t i = 0; i < frames; ++i)
        out[i] = dbToReductionValue(in[i]);
}

}  // namespace

DBConverter::DBConverter(wave::Environment* environment, Conversion conversion)
    : wave::Filter(environment), conversion_(this, Conversion::kGainToDb) {
    conversion_ = conversion;
}

float DBConverter::convert(Conversion conversion, float x) noexcept {
    switch (conversion) {
        case Conversion::kGainToDb:
            return gainToDbValue(x);
        case Conversion::kDbToGain:
            return dbToGainValue(x);
        case Conversion::kReductionToDb:
            return reductionToDbValue(x);
        case Conversion::kDbToReduction:
            return dbToReductionValue(x);
    }
    return gainToDbValue(x);
}

void DBConverter::propertyChanged(AbstractProperty* property) {
    if (property != &conversion_) return;
    // Re-assigning from inside the handler notifies again with the corrected value.
    const int32_t c = static_cast<int32_t>(conversion_.get());
    if (c < 0) conversion_ = Conversion::kGainToDb;
    if (c > 3) conversion_ = Conversion::kDbToReduction;
}

void DBConverter::filter(wave::BasicBlock<float>* in, wave::BasicBlock<float>* out, int32_t frames,
                         int32_t) noexcept {
    const Conversion c = conversion_.get();
    if (in->isConstant()) {
        out->fillConstant(convert(c, in->data()[0]), frames);
        return;
    }
    switch (c) {
        case Conversion::kGainToDb:
            gainToDbBlock(out->data(), in->data(), frames);
            break;
        case Conversion::kDbToGain:
            dbToGainBlock(out->data(), in->data(), frames);
            break;
        case Conversion::kReductionToDb:
            reductionToDbBlock(out->data(), in->data(), frames);
            break;
        case Conversion::kDbToReduction:
            dbToReductionBlock(out->data(), in->data(), frames);
            break;
    }
    out->setConstant(false);
}

}  // namespace tessel
