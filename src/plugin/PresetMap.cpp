#include "plugin/PresetMap.h"

#include <array>
#include <cstddef>

namespace tessel {

namespace {

constexpr std::string_view kSignature = "PMap";

// The built-in maps are bytes computed at compile time from the history of the parameter
// table, so they can neither drift from the text below nor need a generator.
//
// Version 1 had 141 values: every band lacked its Ratio (identifier 8 + 22 b), and Mix (133)
// and the Analyzer's Tilt, Freeze and Side Chain (148..150) did not exist. Version 2 had 149
// values: Mix and Analyzer Side Chain were missing, so old values 133..148 now sit one higher.
constexpr int kCurrentCount = 151;
constexpr std::size_t kMapBytes = 620;

constexpr std::array<int32_t, 10> kNewInVersion1 = {8, 30, 52, 74, 96, 118, 133, 148, 149, 150};
constexpr std::array<int32_t, 2> kNewInVersion2 = {133, 150};

template <std::size_t N>
constexpr bool contains(const std::array<int32_t, N>& list, int32_t value) {
    for (const int32_t x : list)
        if (x == value) return true;
    return false;
}

constexpr void put(std::array<uint8_t, kMapBytes>& bytes, std::size_t& at, int32_t value) {
    const auto u = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8)
        bytes[at++] = static_cast<uint8_t>(u >> shift);
}

// Routes each old value to the next identifier that is not new, in order.
template <std::size_t N>
constexpr std::array<uint8_t, kMapBytes> mapBytes(const std::array<int32_t, N>& added) {
    std::array<uint8_t, kMapBytes> bytes{};
    std::size_t at = 0;
    for (const char c : kSignature)
        bytes[at++] = static_cast<uint8_t>(c);
    put(bytes, at, 1);
    put(bytes, at, kCurrentCount);
    put(bytes, at, kCurrentCount - static_cast<int32_t>(N));
    for (int32_t identifier = 0; identifier < kCurrentCount; ++identifier)
        if (!contains(added, identifier)) put(bytes, at, identifier);
    for (const int32_t identifier : added)
        put(bytes, at, identifier);
    return at == kMapBytes ? bytes : std::array<uint8_t, kMapBytes>{};
}

constexpr std::array<uint8_t, kMapBytes> kVersion1 = mapBytes(kNewInVersion1);
constexpr std::array<uint8_t, kMapBytes> kVersion2 = mapBytes(kNewInVersion2);
static_assert(kVersion1[0] == 'P' && kVersion2[0] == 'P', "a built-in map lost its size");

constexpr std::array<BinaryResource, 2> kResources = {{
    {"PRESETMAP_VTSL_1", kVersion1},
    {"PRESETMAP_VTSL_2", kVersion2},
}};

}  // namespace

bool PresetMap::addsUpTo(int parameterCount) const noexcept {
    if (currentCount < 1 || oldCount < 1) return false;
    std::ptrdiff_t dropped = 0;
    for (const int32_t route : routes)
        dropped += route == -1 ? 1 : 0;
    return static_cast<std::ptrdiff_t>(newParameters.size()) - dropped + oldCount == parameterCount;
}

std::string presetMapName(std::string_view signature, int version) {
    return "PresetMap_" + std::string(signature) + "_" + std::to_string(version);
}

bool readPresetMap(BinaryDataReader& stream, PresetMap& map) {
    map = PresetMap{};
    PresetMap read;
    if (!stream.readHeader(kSignature) || !stream.readInt32(read.currentCount) ||
        !stream.readInt32(read.oldCount))
        return false;
    if (read.currentCount < 1 || read.oldCount < 1 ||
        static_cast<std::size_t>(read.oldCount) > stream.remaining() / 4) {
        stream.setFailed();
        return false;
    }
    read.routes.resize(static_cast<std::size_t>(read.oldCount));
    std::ptrdiff_t dropped = 0;
    for (int32_t& route : read.routes) {
        stream.readInt32(route);
        dropped += route == -1 ? 1 : 0;
    }
    // D - B + A new parameters; a negative number of them is a broken map.
    const std::ptrdiff_t added = dropped - read.oldCount + read.currentCount;
    if (added < 0 || static_cast<std::size_t>(added) > stream.remaining() / 4) {
        stream.setFailed();
        return false;
    }
    read.newParameters.resize(static_cast<std::size_t>(added));
    for (int32_t& identifier : read.newParameters)
        stream.readInt32(identifier);
    if (!stream.good()) return false;
    map = std::move(read);
    return true;
}

void writePresetMap(BinaryDataWriter& stream, const PresetMap& map) {
    stream.writeHeader(kSignature, 1);
    stream.writeInt32(map.currentCount);
    stream.writeInt32(map.oldCount);
    for (const int32_t route : map.routes)
        stream.writeInt32(route);
    for (const int32_t identifier : map.newParameters)
        stream.writeInt32(identifier);
}

std::span<const BinaryResource> presetMapResources() noexcept {
    return kResources;
}

}  // namespace tessel
