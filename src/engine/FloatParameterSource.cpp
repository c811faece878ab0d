#include "engine/FloatParameterSource.h"

namespace tessel {

void FloatParameterSource::process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept {
    parameter_.catchUp(frames);
    setOutputBlock(parameter_.valueBlock(frames));
}

}  // namespace tessel
