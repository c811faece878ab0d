// Fuzzes preset maps: readPresetMap and addsUpTo on the input, a written map reading back the same,
// and an old binary preset upgraded through the map. The input's bytes after the map are the old
// preset's values (hostile ones where it runs short), and its header version picks version 1 or 2.
// The map reaches the loader the way a preset library hands it over: as a file its locator names,
// written only for maps that fit today's parameter count.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <string>

#include "FuzzChecks.h"
#include "plugin/PresetDocument.h"
#include "plugin/PresetMap.h"

using namespace tessel;
using fuzz::require;

namespace {

const std::string& mapPath() {
    static const std::string path = (std::filesystem::temp_directory_path() /
                                     ("tessel-fuzz-" + std::to_string(::getpid()) + ".vtpresetmap"))
                                        .string();
    return path;
}

struct RemoveMapAtExit {
    ~RemoveMapAtExit() { std::remove(mapPath().c_str()); }
} removeMapAtExit;

bool sameMap(const PresetMap& a, const PresetMap& b) {
    return a.currentCount == b.currentCount && a.oldCount == b.oldCount && a.routes == b.routes &&
           a.newParameters == b.newParameters;
}

// Whether the loader may accept the map: every identifier it names exists today.
bool namesOnlyParameters(const PresetMap& map) {
    const auto exists = [](int32_t identifier) {
        return identifier >= 0 && identifier < TesselParameters::kParameterCount;
    };
    for (const int32_t route : map.routes)
        if (route != -1 && !exists(route)) return false;
    for (const int32_t identifier : map.newParameters)
        if (!exists(identifier)) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    BinaryDataReader stream(std::span<const uint8_t>(data, size));
    PresetMap map;
    if (!readPresetMap(stream, map)) {
        require(map.oldCount == 0 && map.routes.empty() && map.newParameters.empty());
        return 0;
    }
    require(map.routes.size() == static_cast<std::size_t>(map.oldCount) &&
            map.addsUpTo(map.currentCount));
    BinaryDataWriter written;
    writePresetMap(written, map);
    BinaryDataReader again(written.bytes());
    PresetMap back;
    require(readPresetMap(again, back) && sameMap(back, map));
    if (!map.addsUpTo(TesselParameters::kParameterCount)) return 0;

    std::ofstream(mapPath(), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data),
               static_cast<std::streamsize>(stream.position()));
    const int version = 1 + (stream.version() & 1);
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    const float hostile[] = {
        std::numeric_limits<float>::quiet_NaN(), kInfinity, -kInfinity, 1e30f, -1e30f, 0.5f};
    BinaryDataWriter preset;
    preset.writeHeader(PresetDocument::kSignature, version);
    preset.writeInt32(map.oldCount);
    for (int32_t i = 0; i < map.oldCount; ++i) {
        float value = 0.0f;
        preset.writeFloat(stream.readFloat(value) ? value : hostile[i % 6]);
    }
    static PresetDocument document;
    fuzz::resetToDefaults(document.parameters());
    const PresetLoadResult result =
        document.load(preset.bytes(), [](std::string_view) { return mapPath(); });
    fuzz::requireValuesInRange(document.parameters());
    require((result.code == 0) == namesOnlyParameters(map) && document.loadedVersion() == version);
    return 0;
}
