#include "plugin/PresetFile.h"

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "plugin/PresetText.h"

namespace tessel {

namespace {

constexpr std::string_view kNumActive = "Num Active ";

// The text key of a parameter: its host name, less a component's prefix.
std::string keyOf(const AbstractPluginParameter& parameter, const std::string& prefix) {
    const std::string& name = presetKeyOf(parameter);
    if (prefix.empty()) return name;
    std::string_view rest(name);
    if (rest.starts_with(prefix)) return std::string(rest.substr(prefix.size()));
    if (rest.starts_with(kNumActive) && rest.substr(kNumActive.size()).starts_with(prefix))
        return std::string(kNumActive) +
               std::string(rest.substr(kNumActive.size() + prefix.size()));
    return name;
}

bool isDescriptiveKey(std::string_view key) {
    return key == kAuthorKey || key == kDescriptionKey || key == kTagsKey;
}

std::string settingOf(const CustomSettings& settings, std::string_view key) {
    const auto it = settings.find(key);
    return it != settings.end() ? it->second : std::string();
}

std::vector<uint8_t> textBytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

bool inRange(int identifier, int first, int count) {
    return identifier >= first && identifier - first < count;
}

// A range save into an existing text preset: every section and entry stays as it was, the
// range's entries take the current values, and range entries the file lacked are added.
bool mergeText(std::string_view existing, const ParameterCollection& parameters,
               const PresetFormat& format, int first, int count, std::string& merged) {
    const PresetTextReader reader(existing);
    if (reader.sections().empty() || reader.sections().front().name != "Preset") return false;
    std::vector<std::pair<std::string, float>> range;
    for (int identifier = 0; identifier < static_cast<int>(parameters.size()); ++identifier)
        if (inRange(identifier, first, count))
            range.emplace_back(keyOf(*parameters.parameter(identifier), format.namePrefix),
                               parameters.parameter(identifier)->currentValue());
    PresetTextWriter writer;
    bool sawParameters = false;
    for (const PresetTextReader::Section& section : reader.sections()) {
        writer.section(section.name);
        const bool isParameters = section.name == "Parameters" && !sawParameters;
        for (const PresetTextReader::Entry& entry : section.entries) {
            const auto replaced = std::find_if(range.begin(), range.end(),
                                               [&](const auto& r) { return r.first == entry.key; });
            if (isParameters && replaced != range.end()) {
                writer.entry(entry.key, static_cast<double>(replaced->second));
                range.erase(replaced);
            } else {
                writer.entry(entry.key, entry.value);
            }
        }
        if (isParameters) {
            for (const auto& [key, value] : range)
                writer.entry(key, static_cast<double>(value));
            range.clear();
            sawParameters = true;
        }
    }
    if (!sawParameters) {
        writer.section("Parameters");
        for (const auto& [key, value] : range)
            writer.entry(key, static_cast<double>(value));
    }
    merged = writer.text();
    return true;
}

// A range save into an existing binary preset of the same signature and version: the values
// outside the range are the file's.
bool mergeBinary(BinaryDataReader& existing, const ParameterCollection& parameters,
                 const CustomSettings& settings, const PresetFormat& format, int first, int count,
                 std::vector<uint8_t>& merged) {
    int32_t fileCount = 0;
    if (!existing.readHeader(format.signature) || existing.version() != format.version ||
        !existing.readInt32(fileCount))
        return false;
    BinaryDataWriter writer;
    writer.writeHeader(format.signature, format.version);
    const int total = static_cast<int>(parameters.size());
    writer.writeInt32(total);
    for (int identifier = 0; identifier < total; ++identifier) {
        float value = parameters.parameter(identifier)->currentValue();
        float old = 0.0f;
        if (identifier < fileCount && existing.readFloat(old) && !inRange(identifier, first, count))
            value = old;
        writer.writeFloat(value);
    }
    if (!existing.good()) return false;
    if (format.settingsVersion > 0) writeCustomSettingsBlock(writer, settings);
    merged = writer.take();
    return true;
}

}  // namespace

std::vector<uint8_t> presetBytes(const ParameterCollection& parameters,
                                 const CustomSettings& settings, const PresetFormat& format) {
    if (!format.text) {
        BinaryDataWriter writer;
        writer.writeHeader(format.signature, format.version);
        writer.writeInt32(static_cast<int32_t>(parameters.size()));
        for (std::size_t i = 0; i < parameters.size(); ++i)
            writer.writeFloat(parameters.parameter(static_cast<int>(i))->currentValue());
        if (format.settingsVersion > 0) writeCustomSettingsBlock(writer, settings);
        return writer.take();
    }
    PresetTextWriter writer;
    writer.section("Preset");
    writer.entry("Signature", format.signature);
    writer.entry("Version", std::to_string(format.version));
    const std::pair<const char*, std::string_view> descriptive[] = {
        {"Author", kAuthorKey}, {"Description", kDescriptionKey}, {"Tags", kTagsKey}};
    for (const auto& [entryKey, settingKey] : descriptive)
        if (const std::string value = settingOf(settings, settingKey); !value.empty())
            writer.entry(entryKey, value);
    writer.section("Parameters");
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const AbstractPluginParameter& parameter = *parameters.parameter(static_cast<int>(i));
        writer.entry(keyOf(parameter, format.namePrefix),
                     static_cast<double>(parameter.currentValue()));
    }
    bool settingsSection = false;
    for (const auto& [key, value] : settings) {
        if (isDescriptiveKey(key)) continue;
        if (!settingsSection) writer.section("Settings");
        settingsSection = true;
        writer.entry(key, value);
    }
    return textBytes(writer.text());
}

PresetSaveResult savePresetFile(const std::string& path, const ParameterCollection& parameters,
                                const CustomSettings& settings, const PresetFormat& format,
                                int firstIdentifier, int count) {
    BinaryFileWriter file;
    bool merged = false;
    std::error_code ignored;
    const bool rangeSave = firstIdentifier >= 0 && count >= 0;
    if (rangeSave && std::filesystem::is_regular_file(path, ignored)) {
        BinaryFileReader existing(path, kMaximumPresetBytes);
        if (existing.good()) {
            std::vector<uint8_t> bytes;
            if (format.text) {
                const std::span<const uint8_t> data = existing.data();
                std::string text;
                merged = mergeText(
                    std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                    parameters, format, firstIdentifier, count, text);
                bytes = textBytes(text);
            } else {
                merged = mergeBinary(existing, parameters, settings, format, firstIdentifier, count,
                                     bytes);
            }
            if (merged) file.writeBytes(bytes);
        }
    }
    if (!merged) file.writeBytes(presetBytes(parameters, settings, format));
    if (!file.commit(path)) return {false, file.error()};
    return {};
}

PresetLoadResult loadPresetFile(const std::string& path, PresetLoader& loader,
                                PresetLoadTarget& target) {
    BinaryFileReader file(path, kMaximumPresetBytes);
    if (file.failed()) return {-1, file.error()};
    return loader.load(file, target);
}

}  // namespace tessel
