#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/BinaryData.h"

namespace tessel {

/// How the values of a preset saved by an older version reach today's parameters: for each old
/// value in its order, the identifier it goes to now (-1 drops it), and the identifiers the old
/// version did not have (they get their defaults). Read from a "PMap" block, either a file
/// named "PresetMap_" + signature + "_" + version + ".vtpresetmap" or a resource of the same
/// name built into the program. Each map converts straight to the current version.
struct PresetMap {
    int32_t currentCount = 0;  ///< parameters of the version the map leads to
    int32_t oldCount = 0;      ///< values in a preset of the old version
    std::vector<int32_t> routes;
    std::vector<int32_t> newParameters;

    /// Both counts at least 1, and (new parameters - dropped routes) + old count equals
    /// `parameterCount`.
    bool addsUpTo(int parameterCount) const noexcept;
};

/// "PresetMap_" + signature + "_" + version.
std::string presetMapName(std::string_view signature, int version);

/// Reads a "PMap" block (its version is ignored). Fails, leaving `map` empty, on a foreign
/// signature, a count below 1 or a short read; counts larger than the data fail without
/// allocating for them.
bool readPresetMap(BinaryDataReader& stream, PresetMap& map);
void writePresetMap(BinaryDataWriter& stream, const PresetMap& map);

/// The maps built into the program: PRESETMAP_VTSL_1 and PRESETMAP_VTSL_2.
std::span<const BinaryResource> presetMapResources() noexcept;

/// Where the preset library keeps a map file of a given name: its path, or empty when it knows
/// none (then the built-in resource of that name is read).
using PresetMapLocator = std::function<std::string(std::string_view mapName)>;

}  // namespace tessel
