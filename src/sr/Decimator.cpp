#include "sr/Decimator.h"

namespace tessel::sr {

Decimator::Decimator(ConverterStyle* style)
    : FIRConverter(style, TableKind::kSteep, TableKind::kRelaxed, Direction::kDecimate) {}

void Decimator::convert(const float* in, float* out, int32_t n) noexcept {
    // Every stage but the last writes the scratch buffer, which the stage below it splits into its
    // own history before it writes the scratch buffer again.
    const float* source = in;
    int32_t outputs = n << (stageCount() - 1);
    for (int32_t s = stageCount() - 1; s >= 0; --s) {
        float* target = s == 0 ? out : scratch();
        stage(s).decimate(source, target, outputs);
        source = target;
        outputs /= 2;
    }
}

}  // namespace tessel::sr
