#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "params/ParameterCollection.h"
#include "plugin/CustomSettings.h"
#include "plugin/PresetLoader.h"

namespace tessel {

/// How a preset is written: its signature and version, the product's settings version (binary
/// presets carry the custom settings block only above 0), binary or text, and for a component
/// preset the prefix its text keys lack ("Band 2 ").
struct PresetFormat {
    std::string signature;
    int version = 0;
    int settingsVersion = 0;
    bool text = false;
    std::string namePrefix;
};

/// The outcome of saving: false with a one-line reason; the file that was there is untouched.
struct PresetSaveResult {
    bool ok = true;
    std::string error;
};

/// The bytes of a preset holding every parameter of the collection in identifier order.
/// Binary: header, count, values (and the custom settings block when the settings version is
/// above 0). Text: [Preset] with Signature, Version and the non-empty Author, Description and
/// Tags; [Parameters] with one key=value per parameter; [Settings] with every other custom
/// setting, when there is one.
std::vector<uint8_t> presetBytes(const ParameterCollection& parameters,
                                 const CustomSettings& settings, const PresetFormat& format);

/// Saves a preset file through a temporary file renamed into place. `firstIdentifier` and
/// `count` -1 save everything; otherwise only that range of identifiers is replaced in the file
/// already there: in text, the other entries are kept as they are; in binary, the other values
/// are copied from it one by one. When there is no such file of the same form (missing, a
/// folder, unreadable, the other form), a range save writes everything.
PresetSaveResult savePresetFile(const std::string& path, const ParameterCollection& parameters,
                                const CustomSettings& settings, const PresetFormat& format,
                                int firstIdentifier = -1, int count = -1);

/// Reads a preset file with the loader into the target, accepting any version the loader
/// supports. A file that cannot be read, or one over kMaximumPresetBytes, gives code -1 and the
/// reason, and changes nothing.
PresetLoadResult loadPresetFile(const std::string& path, PresetLoader& loader,
                                PresetLoadTarget& target);

}  // namespace tessel
