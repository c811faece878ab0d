#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tessel {

class AudioSourceProxy;
class LevelMeter;
class RealTimeAudioBuffer;

/// The display data an editor fetches from the processor, as one compact byte stream, so that an
/// editor on another thread or in another process can be fed: the analyser blocks that arrived
/// since the last fetch (per measurement and channel) and each meter's pending block reduction
/// (extreme and sample count, before any ballistics), plus the buffer's overflow flag.
///
/// Format, little-endian: the 4 bytes "TDD1", then records until the end, each starting with a
/// type byte: 1 audio block (u8 measurement 0..2, u8 channels 1..2, u16 block length 1..4096,
/// then channels * length float32, channel-major); 2 meter (u16 meter index, float32 extreme,
/// int32 sample count > 0); 3 overflow (no payload): audio was lost for want of free blocks,
/// between the last block of this stream or the previous one and the next block that arrives.
class DisplayDataWriter {
public:
    /// Replaces `stream` with the new data: takes every filled analyser block (and returns it to
    /// the pool) and every meter's pending reduction; clears the overflow flag it reports.
    /// [display-data thread]
    static void write(RealTimeAudioBuffer& buffer, std::span<LevelMeter* const> meters,
                      std::vector<uint8_t>& stream);
};

/// Applies a display stream on the editor side: audio blocks go to the proxy of their
/// measurement, meter reductions are handed to the editor's mirror meters as if their audio side
/// had published them (their ballistics then run as usual). Anything malformed (wrong magic,
/// unknown record, a length or index out of range, a truncated record) stops the reading with an
/// error; the records before it stay applied. Never reads outside the bytes given. [editor thread]
class DisplayDataReader {
public:
    enum class Result { kOk, kBadMagic, kBadRecord, kTruncated };
    struct Outcome {
        Result result = Result::kOk;
        int32_t blocks = 0;
        int32_t meterValues = 0;
        bool overflow = false;
    };
    static Outcome read(std::span<const uint8_t> stream,
                        const std::array<AudioSourceProxy*, 3>& proxies,
                        std::span<LevelMeter* const> meters);
};

}  // namespace tessel
