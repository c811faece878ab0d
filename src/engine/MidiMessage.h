#pragma once

#include <cstdint>

namespace tessel {

/// One short MIDI message of a host block: the sample offset inside the block at which it takes
/// effect, the status byte and two data bytes (unused bytes are 0). Plain data, trivially
/// copyable and trivial (no default member values: the queues copy it word by word), so
/// initialise it with `{}` or a braced list.
struct MidiMessage {
    int32_t sampleOffset;
    uint8_t status;
    uint8_t data1;
    uint8_t data2;
};

}  // namespace tessel
