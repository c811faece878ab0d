// Fuzzes the binary readers of saved state: BinaryDataReader's fields in the order the input's
// own int32s choose, and the custom settings, plug-in state and parameter blocks read from the
// input's start. A failed read leaves neutral values and fails every later read; a block that
// reads is written again and reads back the same; the parameters always end inside their ranges.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "plugin/CustomSettings.h"
#include "plugin/PluginStateBlock.h"
#include "plugin/PresetDocument.h"

using namespace tessel;
using fuzz::require;

namespace {

void readFields(std::span<const uint8_t> bytes) {
    BinaryDataReader stream(bytes);
    int32_t op = 0;
    while (stream.readInt32(op)) {
        const std::size_t before = stream.position();
        float number = 1.0f;
        std::string text = "x";
        switch (op & 3) {
            case 0:
                require(stream.readFloat(number) || number == 0.0f);
                break;
            case 1:
                stream.readHeader(PresetDocument::kSignature);
                break;
            case 2:
                require(stream.readAnyHeader(text) ? text.size() == 4 : text.empty());
                break;
            default:
                if (stream.readString(text))
                    require(text.size() + 4 == stream.position() - before);
                else
                    require(text.empty());
        }
    }
    int32_t probe = 1;
    require(!stream.readInt32(probe) && probe == 0 && stream.position() <= bytes.size());
}

void readSettings(std::span<const uint8_t> bytes) {
    const CustomSettings kept = {{"kept", "x"}};
    CustomSettings settings = kept;
    BinaryDataReader stream(bytes);
    if (!readCustomSettingsBlock(stream, settings)) return require(settings == kept);
    BinaryDataWriter writer;
    writeCustomSettingsBlock(writer, settings);
    BinaryDataReader again(writer.bytes());
    CustomSettings back;
    require(stream.good() && readCustomSettingsBlock(again, back) && back == settings);
}

void readState(std::span<const uint8_t> bytes) {
    PluginStateBlock block;
    block.instanceName = "kept";
    BinaryDataReader stream(bytes);
    if (!readPluginStateBlock(stream, PresetDocument::kSignature, block))
        return require(block.instanceName == "kept" && block.customSettings.empty());
    BinaryDataWriter writer;
    writePluginStateBlock(writer, PresetDocument::kSignature, block);
    BinaryDataReader again(writer.bytes());
    PluginStateBlock back;
    require(readPluginStateBlock(again, PresetDocument::kSignature, back) &&
            back.presetName == block.presetName && back.instanceNumber == block.instanceNumber &&
            back.automaticInstanceName == block.automaticInstanceName &&
            back.instanceName == block.instanceName &&
            back.presetModified == block.presetModified.value_or(false) &&
            back.customSettings == block.customSettings);
}

void readParameters(std::span<const uint8_t> bytes) {
    static PresetDocument document;
    const ParameterCollection& parameters = document.parameters();
    fuzz::resetToDefaults(parameters);
    BinaryDataReader stream(bytes);
    const bool read = document.readParameterBlock(stream);
    fuzz::requireValuesInRange(parameters);
    if (!read) return;
    // What was restored is saved again and restores bit for bit.
    const std::vector<float> values = parameters.values();
    BinaryDataWriter writer;
    document.writeParameterBlock(writer);
    fuzz::resetToDefaults(parameters);
    BinaryDataReader again(writer.bytes());
    require(document.readParameterBlock(again) &&
            std::memcmp(parameters.values().data(), values.data(), values.size() * 4) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    readFields(bytes);
    readSettings(bytes);
    readState(bytes);
    readParameters(bytes);
    return 0;
}
