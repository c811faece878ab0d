#include "plugin/PluginStateBlock.h"

namespace tessel {

void writePluginStateBlock(BinaryDataWriter& stream, std::string_view signature,
                           const PluginStateBlock& block) {
    stream.writeHeader(signature, PluginStateBlock::kVersion);
    stream.writeString(block.presetName);
    stream.writeInt32(block.instanceNumber);
    stream.writeInt32(block.automaticInstanceName ? 1 : 0);
    stream.writeString(block.instanceName);
    stream.writeInt32(block.presetModified.value_or(false) ? 1 : 0);
    writeCustomSettingsBlock(stream, block.customSettings);
}

bool readPluginStateBlock(BinaryDataReader& stream, std::string_view signature,
                          PluginStateBlock& block) {
    if (!stream.readHeader(signature)) return false;
    const int32_t version = stream.version();
    PluginStateBlock read;
    int32_t automatic = 0;
    stream.readString(read.presetName);
    stream.readInt32(read.instanceNumber);
    stream.readInt32(automatic);
    stream.readString(read.instanceName);
    read.automaticInstanceName = automatic != 0;
    if (version >= 2) {
        int32_t modified = 0;
        stream.readInt32(modified);
        read.presetModified = modified != 0;
    }
    if (version >= 3) readCustomSettingsBlock(stream, read.customSettings);
    if (!stream.good()) return false;
    block = std::move(read);
    return true;
}

}  // namespace tessel
