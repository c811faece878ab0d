#pragma once

#include <cstdint>

#include "engine/wave/Producer.h"

namespace tessel::wave {

/// A producer fed from an external sample array, such as one channel of a host block. The
/// processor frame sets the read pointer and the count of available samples for each host block;
/// every cycle copies the requested samples into the block and advances the pointer. Samples past
/// the available count (or with no array set) are silence, never stale data.
/// Audio thread only; never allocates.
class Input : public Producer {
public:
    explicit Input(Environment* environment) : Producer(environment) {}

    /// Sets the external array for the next cycles.
    void setSource(const float* samples, int32_t available) noexcept {
        readPointer_ = samples;
        available_ = samples != nullptr ? available : 0;
    }

    const float* readPointer() const noexcept { return readPointer_; }
    int32_t available() const noexcept { return available_; }

    void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;

private:
    const float* readPointer_ = nullptr;
    int32_t available_ = 0;
};

}  // namespace tessel::wave
