// Fuzzes whole presets through PresetDocument::load (the binary form of every version, versions 1
// and 2 upgraded by the built-in maps; the text form; foreign files), and the same bytes as a band
// component preset through a CollectionPresetLoader. Whatever the bytes, every parameter ends
// finite and inside its range. A preset that loads without error is saved in both forms, and each
// loads back, from the defaults, to the same values bit for bit.
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "plugin/PresetDocument.h"

using namespace tessel;
using fuzz::require;

namespace {

PresetLoadResult loadBand(PresetParameterCollection& band, std::span<const uint8_t> bytes) {
    CollectionPresetLoader loader(band, std::string(PresetDocument::kSignature), 1, 0,
                                  std::string(fuzz::kBandPrefix));
    BinaryDataReader stream(bytes);
    SettingsLoadTarget target;
    return loader.load(stream, target);
}

bool sameValues(const ParameterCollection& parameters, const std::vector<float>& values) {
    return std::memcmp(parameters.values().data(), values.data(), values.size() * 4) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static PresetDocument document;
    static PresetParameterCollection band = fuzz::bandPresetParameters(document);
    const ParameterCollection& parameters = document.parameters();
    const std::span<const uint8_t> bytes(data, size);

    fuzz::resetToDefaults(parameters);
    if (document.load(bytes).code == 0) {
        require(document.loadedVersion() >= 1 &&
                document.loadedVersion() <= PresetDocument::kPresetVersion);
        const std::vector<float> values = parameters.values();
        for (const bool text : {false, true}) {
            const std::vector<uint8_t> saved = document.bytes(text);
            fuzz::resetToDefaults(parameters);
            require(document.load(saved).code == 0 && document.loadedText() == text &&
                    sameValues(parameters, values));
        }
    }
    fuzz::requireValuesInRange(parameters);

    fuzz::resetToDefaults(parameters);
    if (loadBand(band, bytes).code == 0) {
        const std::vector<float> values = band.values();
        for (const bool text : {false, true}) {
            const PresetFormat format{std::string(PresetDocument::kSignature), 1, 0, text,
                                      std::string(fuzz::kBandPrefix)};
            const std::vector<uint8_t> saved = presetBytes(band, {}, format);
            fuzz::resetToDefaults(parameters);
            require(loadBand(band, saved).code == 0 && sameValues(band, values));
        }
    }
    fuzz::requireValuesInRange(parameters);
    return 0;
}
