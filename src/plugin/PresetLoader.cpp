#include "plugin/PresetLoader.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "plugin/PresetText.h"

namespace tessel {

namespace {

constexpr std::string_view kNumActive = "Num Active ";

int parseVersion(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    int version = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), version);
    return result.ec == std::errc() ? version : 0;
}

}  // namespace

void ErrorReporter::reportError(std::string message) {
    if (code_ != 0) return;
    code_ = -1;
    message_ = std::move(message);
}

int PresetParameterCollection::registerParameter(AbstractPluginParameter& parameter) {
    const int identifier = ParameterCollection::registerParameter(parameter);
    names_.insert_or_assign(presetKeyOf(parameter), identifier);
    for (const std::string& name : parameter.alternativeNames())
        names_.insert_or_assign(name, identifier);
    return identifier;
}

void PresetParameterCollection::enterName(std::string_view name, int identifier) {
    names_.insert_or_assign(std::string(name), identifier);
}

int PresetParameterCollection::identifierOfName(std::string_view name) const noexcept {
    if (const auto it = names_.find(name); it != names_.end()) return it->second;
    for (const auto& [entered, identifier] : names_)
        if (equalIgnoringCase(entered, name)) return identifier;
    return -1;
}

const std::string& presetKeyOf(const AbstractPluginParameter& parameter) noexcept {
    return parameter.hostName().empty() ? parameter.name() : parameter.hostName();
}

void PresetLoader::finish(int) {}
void PresetLoader::begin(int) {}

bool PresetLoader::versionAccepted(int fileVersion, int requested) {
    return requested == -1 ? isVersionSupported(fileVersion) : fileVersion == requested;
}

PresetLoadResult PresetLoader::result() const {
    return {errorCode(), errorMessage()};
}

PresetLoadResult PresetLoader::load(BinaryDataReader& stream, PresetLoadTarget& target,
                                    std::string_view signatureOverride, int version) {
    readingText_ = false;
    loadedVersion_ = 0;
    const std::string expected =
        signatureOverride.empty() ? signature(version) : std::string(signatureOverride);
    std::string found;
    if (stream.readAnyHeader(found)) {
        const int fileVersion = stream.version();
        if (found == expected) {
            loadedVersion_ = fileVersion;
            if (!versionAccepted(fileVersion, version)) {
                reportError(std::string(kUnsupportedVersion) + std::to_string(fileVersion));
                return result();
            }
            loadBinary(stream, target);
            return result();
        }
        // A small version means a binary block of some other kind; a text file's first eight
        // bytes read as a large number.
        if (fileVersion >= 0 && fileVersion <= 65535) {
            reportError(std::string(kUnknownSignature) + found);
            return result();
        }
    }
    stream.rewind();
    const std::span<const uint8_t> bytes = stream.data();
    loadText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), target,
             expected, version);
    return result();
}

void PresetLoader::loadBinary(BinaryDataReader& stream, PresetLoadTarget& target) {
    const int version = loadedVersion_;
    target.beginChangeGroup();
    begin(version);
    int32_t count = 0;
    stream.readInt32(count);
    if (count < 0) stream.setFailed();  // damage, not an empty preset
    const int parameters = parameterCount();
    int index = 0;
    // A short read ends the values; the ones never read get their defaults like any omitted.
    for (; index < std::min(count, parameters) && stream.good(); ++index) {
        float value = 0.0f;
        if (!stream.readFloat(value)) break;
        setByIndex(index, value);
    }
    for (; index < parameters; ++index)
        setDefault(index);
    if (settingsVersion_ < 1 || version < settingsVersion_) {
        target.customSettings().clear();
    } else {
        readCustomSettingsBlock(stream, target.customSettings());
    }
    target.customSettingsChanged();
    finish(version);
    target.endChangeGroup();
    if (stream.failed()) reportError(std::string(kInvalidFormat));
}

void PresetLoader::loadText(std::string_view text, PresetLoadTarget& target,
                            std::string_view expectedSignature, int requested) {
    const PresetTextReader reader(text);
    const std::vector<PresetTextReader::Section>& sections = reader.sections();
    if (sections.empty() || sections.front().name != "Preset") {
        reportError(std::string(kInvalidHeader));
        return;
    }
    std::string foundSignature;
    int version = 0;
    std::string author;
    std::string description;
    std::string tags;
    for (const PresetTextReader::Entry& entry : sections.front().entries) {
        if (entry.key == "Signature")
            foundSignature = entry.value;
        else if (entry.key == "Version")
            version = parseVersion(entry.value);
        else if (entry.key == "Author")
            author = entry.value;
        else if (entry.key == "Description")
            description = entry.value;
        else if (entry.key == "Tags")
            tags = entry.value;
    }
    readingText_ = true;
    loadedVersion_ = version;
    if (foundSignature != expectedSignature) {
        reportError(std::string(kUnknownSignature) + foundSignature);
        return;
    }
    if (!versionAccepted(version, requested)) {
        reportError(std::string(kUnsupportedVersion) + std::to_string(version));
        return;
    }

    target.beginChangeGroup();
    begin(version);
    const int parameters = parameterCount();
    std::vector<bool> given(static_cast<std::size_t>(parameters), false);
    bool hadSettings = false;
    for (const PresetTextReader::Section& section : sections) {
        if (section.name == "Parameters") {
            for (const PresetTextReader::Entry& entry : section.entries) {
                double number = 0.0;
                // A value that is no number is a damaged file; the parameter keeps its default.
                if (!parsePresetNumber(entry.value, number)) {
                    reportError(std::string(kInvalidFormat));
                    continue;
                }
                const int index = setByName(entry.key, static_cast<float>(number));
                if (index < 0)
                    reportError(std::string(kUnknownParameter) + entry.key);
                else if (index < parameters)
                    given[static_cast<std::size_t>(index)] = true;
            }
        } else if (section.name == "Settings") {
            hadSettings = true;
            CustomSettings settings;
            for (const PresetTextReader::Entry& entry : section.entries)
                settings.insert_or_assign(entry.key, entry.value);
            target.customSettings() = std::move(settings);
            if (section.error != PresetTextReader::kNoError)
                reportError(std::string(kInvalidFormat));
        }
    }
    for (int index = 0; index < parameters; ++index)
        if (!given[static_cast<std::size_t>(index)]) setDefault(index);
    CustomSettings& settings = target.customSettings();
    if (!hadSettings) settings.clear();
    if (!author.empty()) settings.insert_or_assign(std::string(kAuthorKey), author);
    if (!description.empty()) settings.insert_or_assign(std::string(kDescriptionKey), description);
    if (!tags.empty()) settings.insert_or_assign(std::string(kTagsKey), tags);
    target.customSettingsChanged();
    target.presetDescriptionChanged();
    finish(version);
    target.endChangeGroup();
}

CustomPresetLoader::CustomPresetLoader(PresetParameterCollection& parameters, std::string signature,
                                       int currentVersion, int settingsVersion,
                                       PresetMapLocator locator)
    : PresetLoader(settingsVersion),
      parameters_(parameters),
      signature_(std::move(signature)),
      currentVersion_(currentVersion),
      locator_(std::move(locator)) {
    for (std::size_t i = 0; i < parameters_.size(); ++i)
        entries_.push_back(parameters_.parameter(static_cast<int>(i)));
    tableVersion_ = currentVersion_;
}

std::string CustomPresetLoader::signature(int) const {
    return signature_;
}

void CustomPresetLoader::begin(int) {
    pending_.clear();
    for (AbstractPluginParameter* parameter : newParameters_)
        pending_.emplace_back(parameter, parameter->defaultValue());
}

void CustomPresetLoader::finish(int) {
    assignInDependencyOrder(pending_, 0);
    pending_.clear();
}

void CustomPresetLoader::checkBuiltInMaps() {
    mapsChecked_ = true;
    const int count = static_cast<int>(parameters_.size());
    for (int version = currentVersion_ - 1; version >= 1; --version) {
        BinaryResourceReader resource(presetMapResources(), presetMapName(signature_, version));
        if (!resource.found()) break;
        PresetMap map;
        if (!readPresetMap(resource, map) || !map.addsUpTo(count)) {
            std::fputs("release_assert failed\n", stderr);
            std::abort();
        }
    }
}

bool CustomPresetLoader::loadMap(int version, PresetMap& map) const {
    const std::string name = presetMapName(signature_, version);
    const std::string path = locator_ ? locator_(name) : std::string();
    if (!path.empty()) {
        BinaryFileReader file(path, kMaximumPresetBytes);
        return readPresetMap(file, map);
    }
    BinaryResourceReader resource(presetMapResources(), name);
    return resource.found() && readPresetMap(resource, map);
}

bool CustomPresetLoader::isVersionSupported(int version) {
    if (!mapsChecked_) checkBuiltInMaps();
    if (readingText()) return version == currentVersion_;
    if (version == tableVersion_) return true;
    if (version < 1 || version > currentVersion_) return false;
    const int count = static_cast<int>(parameters_.size());
    std::vector<AbstractPluginParameter*> entries;
    std::vector<AbstractPluginParameter*> added;
    if (version < currentVersion_) {
        PresetMap map;
        if (!loadMap(version, map) || !map.addsUpTo(count)) return false;
        for (const int32_t route : map.routes) {
            if (route != -1 && (route < 0 || route >= count)) return false;
            entries.push_back(route == -1 ? nullptr : parameters_.parameter(route));
        }
        for (const int32_t identifier : map.newParameters) {
            if (identifier < 0 || identifier >= count) return false;
            added.push_back(parameters_.parameter(identifier));
        }
    } else {
        for (int identifier = 0; identifier < count; ++identifier)
            entries.push_back(parameters_.parameter(identifier));
    }
    entries_ = std::move(entries);
    newParameters_ = std::move(added);
    tableVersion_ = version;
    return true;
}

void CustomPresetLoader::setDefault(int index) {
    if (index < 0 || index >= parameterCount()) return;
    if (AbstractPluginParameter* parameter = entries_[static_cast<std::size_t>(index)])
        pending_.emplace_back(parameter, parameter->defaultValue());
}

int CustomPresetLoader::setByName(std::string_view name, float value) {
    const int identifier = parameters_.identifierOfName(name);
    if (identifier < 0) return -1;
    pending_.emplace_back(parameters_.parameter(identifier), value);
    return identifier;
}

void CustomPresetLoader::setByIndex(int index, float value) {
    if (index < 0 || index >= parameterCount()) return;
    if (AbstractPluginParameter* parameter = entries_[static_cast<std::size_t>(index)])
        pending_.emplace_back(parameter, value);
}

CollectionPresetLoader::CollectionPresetLoader(PresetParameterCollection& parameters,
                                               std::string signature, int version,
                                               int settingsVersion, std::string namePrefix)
    : PresetLoader(settingsVersion),
      parameters_(parameters),
      signature_(std::move(signature)),
      version_(version),
      namePrefix_(std::move(namePrefix)) {}

std::string CollectionPresetLoader::signature(int) const {
    return signature_;
}

void CollectionPresetLoader::setDefault(int index) {
    if (AbstractPluginParameter* parameter = parameters_.parameter(index))
        parameter->setValue(parameter->defaultValue(), 0);
}

int CollectionPresetLoader::setByName(std::string_view name, float value) {
    std::string full;
    if (name.starts_with(kNumActive))
        full = std::string(kNumActive) + namePrefix_ + std::string(name.substr(kNumActive.size()));
    else
        full = namePrefix_ + std::string(name);
    const int identifier = parameters_.identifierOfName(full);
    if (identifier < 0) return -1;
    parameters_.parameter(identifier)->setValue(value, 0);
    return identifier;
}

void CollectionPresetLoader::setByIndex(int index, float value) {
    if (AbstractPluginParameter* parameter = parameters_.parameter(index))
        parameter->setValue(value, 0);
}

}  // namespace tessel
