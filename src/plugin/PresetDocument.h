#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/GenericPluginBase.h"
#include "params/TesselParameters.h"
#include "plugin/CustomSettings.h"
#include "plugin/PresetFile.h"
#include "plugin/PresetLoader.h"

namespace tessel {

/// One Tessel preset held in memory: a full set of parameters with their custom settings, read
/// from and written to preset files in either form. What tools and plug-in bindings use to
/// read, write and convert presets without a running instance. [one thread]
class PresetDocument : public GenericPluginBase {
public:
    static constexpr std::string_view kSignature = "VTSl";
    static constexpr int kPresetVersion = 3;
    static constexpr int kSettingsVersion = 0;

    /// Every parameter at its default and no custom settings.
    PresetDocument();

    TesselParameters& tessel() noexcept { return parameters_; }
    const PresetParameterCollection& presetParameters() const noexcept { return presetParameters_; }
    CustomSettings& settings() noexcept { return target_.settings; }
    const CustomSettings& settings() const noexcept { return target_.settings; }

    /// Loads a preset file of any supported version (binary presets of older versions are
    /// upgraded by their maps); the locator finds .vtpresetmap files, when given.
    PresetLoadResult load(const std::string& path, const PresetMapLocator& locator = {});
    /// Loads preset bytes already in memory.
    PresetLoadResult load(std::span<const uint8_t> bytes, const PresetMapLocator& locator = {});
    /// After a load: whether the file was text, and the version it had.
    bool loadedText() const noexcept { return loadedText_; }
    int loadedVersion() const noexcept { return loadedVersion_; }

    /// The format this product writes its presets in.
    static PresetFormat format(bool text);
    std::vector<uint8_t> bytes(bool text) const;
    PresetSaveResult save(const std::string& path, bool text) const;

private:
    PresetLoadResult run(BinaryDataReader& stream, const PresetMapLocator& locator);

    TesselParameters parameters_{this};
    PresetParameterCollection presetParameters_;
    SettingsLoadTarget target_;
    bool loadedText_ = false;
    int loadedVersion_ = 0;
};

}  // namespace tessel
