// Writes the fuzz targets' seed inputs, a folder per target under the folder given, as this
// program writes blocks and presets today, so the seeds never fall behind the format: the custom
// settings, plug-in state and parameter blocks; text presets; binary presets of versions 1 (141
// values), 2 (149) and 3; band component presets in both forms; and the two built-in preset maps.
// Usage: FuzzSeeds <folder>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "FuzzChecks.h"
#include "plugin/PluginStateBlock.h"
#include "plugin/PresetDocument.h"
#include "plugin/PresetMap.h"

using namespace tessel;

namespace {

std::filesystem::path gRoot;

void put(const std::string& target, const std::string& name, std::span<const uint8_t> bytes) {
    std::filesystem::create_directories(gRoot / target);
    std::ofstream(gRoot / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: FuzzSeeds <folder>\n", stderr);
        return 2;
    }
    gRoot = argv[1];
    // Values off their defaults (Minimum Phase among them), settings that need quotes and escapes.
    PresetDocument document;
    for (AbstractPluginParameter* parameter : document.tessel().allParameters())
        parameter->setValue(parameter->valueOfNormalised(0.9f), 0);
    document.settings() = {{std::string(kAuthorKey), "A. Author"},
                           {std::string(kTagsKey), "drums,bus"},
                           {"Note", "two\nlines, \"quoted\"\t\\"}};

    BinaryDataWriter settings;
    writeCustomSettingsBlock(settings, document.settings());
    put("FuzzBinaryReader", "settings", settings.bytes());
    BinaryDataWriter state;
    writePluginStateBlock(state, PresetDocument::kSignature,
                          {"Bus Glue", 2, false, "Drums", true, document.settings()});
    put("FuzzBinaryReader", "state", state.bytes());
    BinaryDataWriter parameterBlock;
    document.writeParameterBlock(parameterBlock);
    put("FuzzBinaryReader", "parameters", parameterBlock.bytes());

    put("FuzzTextReader", "preset.vtp", document.bytes(true));
    put("FuzzPresetLoader", "v3-text.vtp", document.bytes(true));
    put("FuzzPresetLoader", "v3.vtp", document.bytes(false));
    PresetParameterCollection band = fuzz::bandPresetParameters(document);
    for (const bool text : {false, true}) {
        const PresetFormat format{std::string(PresetDocument::kSignature), 1, 0, text,
                                  std::string(fuzz::kBandPrefix)};
        put("FuzzPresetLoader", text ? "band-text.band" : "band.band",
            presetBytes(band, {}, format));
    }
    // An old preset holds, for each old value the map routes somewhere, that parameter's value.
    for (const int version : {1, 2}) {
        BinaryResourceReader resource(presetMapResources(),
                                      presetMapName(PresetDocument::kSignature, version));
        PresetMap map;
        if (!readPresetMap(resource, map)) return 1;
        put("FuzzPresetMap", "map-" + std::to_string(version), resource.data());
        BinaryDataWriter old;
        old.writeHeader(PresetDocument::kSignature, version);
        old.writeInt32(map.oldCount);
        for (const int32_t route : map.routes)
            old.writeFloat(route < 0 ? 0.0f
                                     : document.parameters().parameter(route)->currentValue());
        put("FuzzPresetLoader", "v" + std::to_string(version) + ".vtp", old.bytes());
    }
    return 0;
}
