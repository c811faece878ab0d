#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "plugin/CustomSettings.h"
#include "support/BinaryData.h"

namespace tessel {

/// What an instance remembers about itself beyond its parameter values, stored in the host's
/// project after the parameter block: the current preset's name, the instance's number among
/// the open instances (-1 none), whether its name is generated and the name, whether the
/// parameters differ from the loaded preset, and its custom settings. The instance applies what
/// was read: it looks the preset name up, takes the number only when no other open instance
/// uses it, and tells its editor what changed.
struct PluginStateBlock {
    static constexpr int32_t kVersion = 3;

    std::string presetName;
    int32_t instanceNumber = -1;
    bool automaticInstanceName = true;
    std::string instanceName;
    /// Absent when read from a version-1 block, which did not store it: the instance keeps its
    /// own flag then.
    std::optional<bool> presetModified;
    /// Read from version 3 on; older blocks read as empty, which clears the instance's.
    CustomSettings customSettings;
};

/// Writes the block, version 3, under the product's preset signature.
void writePluginStateBlock(BinaryDataWriter& stream, std::string_view signature,
                           const PluginStateBlock& block);

/// Reads a block of version 1 to 3 into `block` when the whole block reads; false, with `block`
/// untouched, on a foreign signature, a short read or a negative settings count.
bool readPluginStateBlock(BinaryDataReader& stream, std::string_view signature,
                          PluginStateBlock& block);

}  // namespace tessel
