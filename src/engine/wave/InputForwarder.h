#pragma once

#include <cstdint>

#include "engine/wave/Producer.h"

namespace tessel::wave {

/// Follows another consumer's input slot: each cycle it pulls whatever producer that slot holds
/// now and passes its block on without copying, so it needs no re-wiring when the slot changes.
/// An empty slot gives the zero block. Audio thread only; never allocates.
class InputForwarder : public Producer {
public:
    InputForwarder(Environment* environment, Producer* const* slot)
        : Producer(environment, false), slot_(slot) {}

    void process(BasicBlock<float>* block, int32_t frames, int32_t mode) noexcept override;

private:
    Producer* const* slot_;
};

}  // namespace tessel::wave
