#include "engine/wave/InputForwarder.h"

namespace tessel::wave {

void InputForwarder::process(BasicBlock<float>*, int32_t frames, int32_t) noexcept {
    setOutputBlock(pullOrZero(slot_ != nullptr ? *slot_ : nullptr, environment(), frames));
}

}  // namespace tessel::wave
