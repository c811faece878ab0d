#include "plugin/PresetDocument.h"

namespace tessel {

PresetDocument::PresetDocument() {
    for (AbstractPluginParameter* parameter : parameters_.allParameters())
        presetParameters_.registerParameter(*parameter);
}

PresetFormat PresetDocument::format(bool text) {
    return {std::string(kSignature), kPresetVersion, kSettingsVersion, text, {}};
}

PresetLoadResult PresetDocument::run(BinaryDataReader& stream, const PresetMapLocator& locator) {
    CustomPresetLoader loader(presetParameters_, std::string(kSignature), kPresetVersion,
                              kSettingsVersion, locator);
    PresetLoadResult result = loader.load(stream, target_);
    loadedText_ = loader.readingText();
    loadedVersion_ = loader.loadedVersion();
    return result;
}

PresetLoadResult PresetDocument::load(const std::string& path, const PresetMapLocator& locator) {
    BinaryFileReader file(path, kMaximumPresetBytes);
    if (file.failed()) return {-1, file.error()};
    return run(file, locator);
}

PresetLoadResult PresetDocument::load(std::span<const uint8_t> bytes,
                                      const PresetMapLocator& locator) {
    BinaryDataReader stream(bytes);
    return run(stream, locator);
}

std::vector<uint8_t> PresetDocument::bytes(bool text) const {
    return presetBytes(presetParameters_, target_.settings, format(text));
}

PresetSaveResult PresetDocument::save(const std::string& path, bool text) const {
    return savePresetFile(path, presetParameters_, target_.settings, format(text));
}

}  // namespace tessel
