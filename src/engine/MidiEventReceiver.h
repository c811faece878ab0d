#pragma once

#include "engine/MidiMessage.h"

namespace tessel {

/// Receives the MIDI messages of a host block from the processor frame, each at its sample
/// offset: the frame calls it between sub-blocks, so a message takes effect exactly before the
/// sample at its offset. Implemented by the MIDI subsystem (controller learn, program changes).
/// [audio thread] only: implementations must not allocate, lock or block.
class MidiEventReceiver {
public:
    virtual ~MidiEventReceiver() = default;
    virtual void receiveMidiMessage(const MidiMessage& message) = 0;
};

}  // namespace tessel
