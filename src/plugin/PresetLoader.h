#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "params/ParameterCollection.h"
#include "plugin/CustomSettings.h"
#include "plugin/PresetMap.h"
#include "support/BinaryData.h"

namespace tessel {

/// The largest preset or preset map file read: a full preset is a few kilobytes in either form,
/// and the limit keeps a garbage file from costing more than a few tens of megabytes to parse.
inline constexpr std::size_t kMaximumPresetBytes = std::size_t{1} << 20;

/// What went wrong while loading: a code (0 none, -1 error) and the first message recorded;
/// later errors are dropped so the user reads the cause, not its consequences.
class ErrorReporter {
public:
    int errorCode() const noexcept { return code_; }
    const std::string& errorMessage() const noexcept { return message_; }
    void reportError(std::string message);

private:
    int code_ = 0;
    std::string message_;
};

/// The outcome of loading a preset: code 0, or -1 with the loader's message.
struct PresetLoadResult {
    int code = 0;
    std::string message;
};

/// What a loader needs from the instance it loads into besides the parameters: a change group
/// around the load (so the host hears of it once), the instance's custom settings, and the two
/// notices a load sends (custom settings changed, for the editor; the preset's description
/// changed, for the host).
class PresetLoadTarget {
public:
    virtual ~PresetLoadTarget() = default;
    virtual void beginChangeGroup() = 0;
    virtual void endChangeGroup() = 0;
    virtual CustomSettings& customSettings() = 0;
    virtual void customSettingsChanged() = 0;
    virtual void presetDescriptionChanged() = 0;
};

/// A load target that keeps the custom settings a preset brings and needs no change group or
/// notices: for documents, tools and previews that load a preset outside a running instance.
class SettingsLoadTarget : public PresetLoadTarget {
public:
    void beginChangeGroup() override {}
    void endChangeGroup() override {}
    CustomSettings& customSettings() override { return settings; }
    void customSettingsChanged() override {}
    void presetDescriptionChanged() override {}

    CustomSettings settings;
};

/// The parameters a preset addresses, with a sorted map from name to identifier (index in this
/// collection) for text presets: registering a parameter enters its host name (its name when it
/// has none) and each of its alternative names; `enterName` adds further ones. Register fully
/// built parameters only. [main thread]
class PresetParameterCollection : public ParameterCollection {
public:
    using ParameterCollection::ParameterCollection;

    int registerParameter(AbstractPluginParameter& parameter) override;
    void enterName(std::string_view name, int identifier);
    /// The identifier entered under this name (exactly, else ignoring case); -1 when none.
    int identifierOfName(std::string_view name) const noexcept;

private:
    std::map<std::string, int, std::less<>> names_;
};

/// The key of a parameter in the text form: its host name, or its name when it has none.
const std::string& presetKeyOf(const AbstractPluginParameter& parameter) noexcept;

/// Reads a preset, binary or text, into whatever the derived class maps it to. The virtual
/// operations keep their order (the destructor first). `load` runs the whole algorithm: the
/// header decides binary, foreign ("Unknown preset signature ...") or text; versions are judged
/// by `isVersionSupported`; values go through `setByIndex`/`setByName`, and every value not
/// given gets `setDefault`. Loading is not transactional: values applied before an error stay.
/// Every error is one of the messages below, and the first one is kept. [main thread]
class PresetLoader : private ErrorReporter {
public:
    static constexpr std::string_view kInvalidHeader = "Invalid preset header.";
    static constexpr std::string_view kUnsupportedVersion = "Unsupported preset version: ";
    static constexpr std::string_view kUnknownParameter = "Unknown parameter: ";
    static constexpr std::string_view kUnknownSignature =
        "Unknown preset signature (likely intended for another Vantrel plug-in): ";
    static constexpr std::string_view kInvalidFormat = "Invalid file format.";

    /// `settingsVersion`: the product's settings version; custom settings are stored in binary
    /// presets only when it is above 0.
    explicit PresetLoader(int settingsVersion) noexcept : settingsVersion_(settingsVersion) {}

    virtual ~PresetLoader() = default;
    virtual void finish(int version);
    virtual int parameterCount() const = 0;
    virtual std::string signature(int version) const = 0;
    virtual void begin(int version);
    virtual bool isVersionSupported(int version) = 0;
    virtual void setDefault(int index) = 0;
    /// Sets the parameter of this name; its index, or -1 when no parameter has the name.
    virtual int setByName(std::string_view name, float value) = 0;
    virtual void setByIndex(int index, float value) = 0;

    /// Loads from `stream`. `signatureOverride` replaces the loader's own signature when not
    /// empty; `version` -1 accepts any version the loader supports, else only that one.
    PresetLoadResult load(BinaryDataReader& stream, PresetLoadTarget& target,
                          std::string_view signatureOverride = {}, int version = -1);

    using ErrorReporter::errorCode;
    using ErrorReporter::errorMessage;
    using ErrorReporter::reportError;
    bool readingText() const noexcept { return readingText_; }
    /// The version the last load read from the file (0 before one).
    int loadedVersion() const noexcept { return loadedVersion_; }
    int settingsVersion() const noexcept { return settingsVersion_; }

private:
    bool versionAccepted(int fileVersion, int requested);
    void loadBinary(BinaryDataReader& stream, PresetLoadTarget& target);
    void loadText(std::string_view text, PresetLoadTarget& target,
                  std::string_view expectedSignature, int requested);
    PresetLoadResult result() const;

    int settingsVersion_;
    int loadedVersion_ = 0;
    bool readingText_ = false;
};

/// Loads presets into an instance's parameters through a route table: a preset of the current
/// version sets each parameter in identifier order; an older one is upgraded by its preset map
/// (a .vtpresetmap file the locator finds, else the built-in resource). Text presets are only
/// read in the current version. The built-in maps are checked once, on the first version
/// question: a built-in map that does not add up stops the program, as a programming error.
/// The values are recorded as they are read and set together in `finish`, in dependency order
/// (assignInDependencyOrder), so that what a preset gives does not depend on the instance's
/// state before the load.
class CustomPresetLoader : public PresetLoader {
public:
    CustomPresetLoader(PresetParameterCollection& parameters, std::string signature,
                       int currentVersion, int settingsVersion, PresetMapLocator locator = {});

    int parameterCount() const override { return static_cast<int>(entries_.size()); }
    void finish(int version) override;
    std::string signature(int version) const override;
    void begin(int version) override;
    bool isVersionSupported(int version) override;
    void setDefault(int index) override;
    int setByName(std::string_view name, float value) override;
    void setByIndex(int index, float value) override;

private:
    bool loadMap(int version, PresetMap& map) const;
    void checkBuiltInMaps();

    PresetParameterCollection& parameters_;
    std::string signature_;
    int currentVersion_;
    PresetMapLocator locator_;
    std::vector<AbstractPluginParameter*> entries_;  ///< null: the value is read and dropped
    std::vector<AbstractPluginParameter*> newParameters_;
    std::vector<ParameterAssignment> pending_;
    int tableVersion_ = -1;
    bool mapsChecked_ = false;
};

/// Loads presets of exactly one version into a collection of parameters, such as a band's for
/// its component presets. `namePrefix` is what text keys lack in front of the parameters' host
/// names ("Band 2 "; "Num Active " + prefix + rest is keyed "Num Active " + rest).
class CollectionPresetLoader : public PresetLoader {
public:
    CollectionPresetLoader(PresetParameterCollection& parameters, std::string signature,
                           int version, int settingsVersion, std::string namePrefix = {});

    int parameterCount() const override { return static_cast<int>(parameters_.size()); }
    std::string signature(int version) const override;
    bool isVersionSupported(int version) override { return version == version_; }
    void setDefault(int index) override;
    int setByName(std::string_view name, float value) override;
    void setByIndex(int index, float value) override;

private:
    PresetParameterCollection& parameters_;
    std::string signature_;
    int version_;
    std::string namePrefix_;
};

}  // namespace tessel
