#include "analysis/DisplayData.h"

#include <bit>
#include <cstring>

#include "analysis/AudioSourceProxy.h"
#include "analysis/LevelMeter.h"
#include "analysis/RealTimeAudioBuffer.h"

namespace tessel {

namespace {

constexpr uint8_t kMagic[4] = {'T', 'D', 'D', '1'};
constexpr uint8_t kAudioBlock = 1, kMeter = 2, kOverflow = 3;
constexpr int32_t kMaximumBlockLength = 4096;

void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putU16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void putFloat(std::vector<uint8_t>& out, float v) {
    putU32(out, std::bit_cast<uint32_t>(v));
}

/// Bounds-checked little-endian reading; a short read sets the failure flag and yields zeros.
struct Cursor {
    std::span<const uint8_t> bytes;
    std::size_t at = 0;
    bool failed = false;
    bool has(std::size_t n) const { return bytes.size() - at >= n; }
    uint32_t take(int n) {
        if (!has(static_cast<std::size_t>(n))) {
            failed = true;
            at = bytes.size();
            return 0;
        }
        uint32_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
        at += static_cast<std::size_t>(n);
        return v;
    }
    float takeFloat() { return std::bit_cast<float>(take(4)); }
};

}  // namespace

void DisplayDataWriter::write(RealTimeAudioBuffer& buffer, std::span<LevelMeter* const> meters,
                              std::vector<uint8_t>& stream) {
    stream.assign(std::begin(kMagic), std::end(kMagic));
    buffer.lock();
    for (int32_t m = 0; m < RealTimeAudioBuffer::kMeasurementCount; ++m) {
        const RealTimeAudioBuffer::Measurement& source = buffer.measurement(m);
        const int32_t channels = source.channelCount();
        const int32_t length = source.blockLength();
        for (int32_t b = 0; b < source.blocksAvailable(); ++b) {
            stream.push_back(kAudioBlock);
            stream.push_back(static_cast<uint8_t>(m));
            stream.push_back(static_cast<uint8_t>(channels));
            putU16(stream, static_cast<uint32_t>(length));
            for (int32_t c = 0; c < channels; ++c) {
                const float* data = source.blockData(b, c);
                for (int32_t i = 0; i < length; ++i)
                    putFloat(stream, data[i]);
            }
        }
    }
    buffer.unlock();
    for (std::size_t i = 0; i < meters.size(); ++i) {
        float extreme = 0.0f;
        int32_t count = 0;
        if (meters[i] == nullptr || !meters[i]->takePublished(extreme, count)) continue;
        stream.push_back(kMeter);
        putU16(stream, static_cast<uint32_t>(i));
        putFloat(stream, extreme);
        putU32(stream, static_cast<uint32_t>(count));
    }
    if (buffer.overflowed()) {
        stream.push_back(kOverflow);
        buffer.clearOverflow();
    }
}

DisplayDataReader::Outcome DisplayDataReader::read(std::span<const uint8_t> stream,
                                                   const std::array<AudioSourceProxy*, 3>& proxies,
                                                   std::span<LevelMeter* const> meters) {
    Outcome outcome;
    Cursor in{stream};
    if (!in.has(4) || std::memcmp(stream.data(), kMagic, 4) != 0) {
        outcome.result = Result::kBadMagic;
        return outcome;
    }
    in.at = 4;
    std::vector<float> block;
    while (in.at < stream.size()) {
        const uint32_t type = in.take(1);
        if (type == kAudioBlock) {
            const uint32_t measurement = in.take(1), channels = in.take(1), length = in.take(2);
            if (in.failed) break;
            if (measurement >= proxies.size() || channels < 1 ||
                channels > static_cast<uint32_t>(RealTimeAudioBuffer::kMaxChannels) || length < 1 ||
                length > static_cast<uint32_t>(kMaximumBlockLength)) {
                outcome.result = Result::kBadRecord;
                return outcome;
            }
            if (!in.has(static_cast<std::size_t>(channels) * length * 4)) {
                in.failed = true;
                break;
            }
            block.resize(static_cast<std::size_t>(channels) * length);
            for (float& x : block)
                x = in.takeFloat();
            AudioSourceProxy* proxy = proxies[measurement];
            if (proxy != nullptr) {
                if (proxy->channelCount() != static_cast<int32_t>(channels) ||
                    proxy->blockLength() != static_cast<int32_t>(length))
                    proxy->configure(static_cast<int32_t>(channels), static_cast<int32_t>(length),
                                     RealTimeAudioBuffer::poolBlocksFor(192000.0f));
                proxy->append(block.data());
            }
            ++outcome.blocks;
        } else if (type == kMeter) {
            const uint32_t index = in.take(2);
            const float extreme = in.takeFloat();
            const auto count = static_cast<int32_t>(in.take(4));
            if (in.failed) break;
            if (count <= 0) {
                outcome.result = Result::kBadRecord;
                return outcome;
            }
            if (index < meters.size() && meters[index] != nullptr)
                meters[index]->publishTaken(extreme, count);
            ++outcome.meterValues;
        } else if (type == kOverflow) {
            outcome.overflow = true;
        } else {
            outcome.result = Result::kBadRecord;
            return outcome;
        }
    }
    if (in.failed) outcome.result = Result::kTruncated;
    return outcome;
}

}  // namespace tessel
