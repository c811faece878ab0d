#include "engine/wave/Input.h"

#include <algorithm>
#include <cstring>

namespace tessel::wave {

void Input::process(BasicBlock<float>* block, int32_t frames, int32_t) noexcept {
    const int32_t n = std::clamp(available_, 0, frames);
    float* out = block->data();
    if (n > 0) std::memcpy(out, readPointer_, static_cast<std::size_t>(n) * sizeof(float));
    if (n < frames) std::memset(out + n, 0, static_cast<std::size_t>(frames - n) * sizeof(float));
    block->setConstant(false);
    if (n > 0) readPointer_ += n;
    available_ -= n;
}

}  // namespace tessel::wave
