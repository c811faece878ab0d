#include "sr/Interpolator.h"

namespace tessel::sr {

Interpolator::Interpolator(ConverterStyle* style)
    : FIRConverter(style, TableKind::kSteepReduced, TableKind::kRelaxedReduced,
                   Direction::kInterpolate) {}

void Interpolator::convert(const float* in, float* out, int32_t n) noexcept {
    // Each stage writes straight into the next stage's input area: no copy between stages.
    const float* source = in;
    int32_t inputs = n;
    for (int32_t s = 0; s < stageCount(); ++s) {
        float* target = s + 1 == stageCount() ? out : stage(s + 1).inputArea();
        stage(s).interpolate(source, target, inputs);
        source = target;
        inputs *= 2;
    }
}

}  // namespace tessel::sr
