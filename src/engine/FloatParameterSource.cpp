#include "engine/FloatParameterSource.h"

#include "engine/wave/Environment.h"

namespace tessel {

void FloatParameterSource::process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept {
    const wave::Environment& env = *environment();
    const int64_t last = parameter_.lastPosition();
    const int64_t gap = env.samplePosition() - last;
    if (last > env.resetPosition() && gap >= 0 && gap <= 0xFFFFFFFFll) {
        parameter_.skip(gap);
    } else {
        parameter_.finishRamp();
    }
    // The end of this cycle: a change applied before the next cycle counts as continuous.
    parameter_.setLastPosition(env.samplePosition() + frames);
    setOutputBlock(parameter_.valueBlock(frames));
}

}  // namespace tessel
