#include <iomanip>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CommandLine.h"
#include "SetOptions.h"
#include "TesselCli.h"
#include "plugin/PresetDocument.h"

namespace tessel::cli {

namespace {

constexpr const char* kPresetUsage =
    "usage: tessel preset show FILE [--changed]\n"
    "       tessel preset convert IN OUT [--text | --binary]\n"
    "       tessel preset new OUT [--set \"NAME=TEXT\"]... [--author A] [--description D]\n"
    "                             [--tags T] [--binary]\n"
    "\n"
    "show     prints a preset file's form (text or binary) and version, its Author, Description,\n"
    "         Tags and other settings, then every parameter: identifier, name and text.\n"
    "         --changed lists only the parameters that differ from their defaults.\n"
    "convert  reads IN and writes OUT in the other form, or in the one given. The binary form\n"
    "         keeps no Author, Description, Tags or other settings; a note on stderr says so.\n"
    "new      writes the defaults with each --set applied in the order given, TEXT read the way\n"
    "         the parameter reads typed text (--set \"Band 1 Threshold=-24 dB\"). Set Processing\n"
    "         Mode before the slopes: Minimum Phase snaps them. Text form unless --binary.\n"
    "\n"
    "A file that does not load, an unknown parameter or a text that does not parse prints one\n"
    "line and exits 1; no file is written then. Files are replaced only once fully written.\n";

/// The descriptive entries of a preset: their names in the text form, the custom settings that
/// hold them, and the lower-case label `show` prints and `new` takes as an option.
struct DescriptiveEntry {
    const char* name;
    std::string_view key;
    const char* label;
};
constexpr DescriptiveEntry kDescriptive[] = {
    {"Author", kAuthorKey, "author"},
    {"Description", kDescriptionKey, "description"},
    {"Tags", kTagsKey, "tags"},
};

bool isDescriptiveKey(std::string_view key) {
    for (const DescriptiveEntry& entry : kDescriptive)
        if (entry.key == key) return true;
    return false;
}

/// Loads `path` into the document. Any error fails the command, "Unknown parameter: ..." too:
/// the loader goes on after it, but what it read is then not the preset the file meant.
bool loadPreset(const CommandLine& line, const std::string& path, PresetDocument& document,
                std::ostream& err) {
    const PresetLoadResult result = document.load(path);
    if (result.code == 0) return true;
    line.fail(err) << result.message << "\n";
    return false;
}

/// Writes the document to `path` in the given form. Going to binary, a one-line note lists the
/// settings that form cannot hold (this product's presets carry no settings block).
bool savePreset(const CommandLine& line, const PresetDocument& document, const std::string& path,
                bool text, std::ostream& err) {
    if (!text && !document.settings().empty()) {
        std::string dropped;
        for (const DescriptiveEntry& entry : kDescriptive)
            if (document.settings().count(entry.key) != 0)
                dropped += (dropped.empty() ? "" : ", ") + std::string(entry.name);
        for (const auto& [key, value] : document.settings())
            if (!isDescriptiveKey(key))
                dropped += (dropped.empty() ? "setting " : ", setting ") + key;
        line.fail(err) << "note: the binary form does not keep " << dropped << "\n";
    }
    const PresetSaveResult result = document.save(path, text);
    if (!result.ok) line.fail(err) << result.error << "\n";
    return result.ok;
}

int show(const CommandLine& line, std::ostream& out, std::ostream& err) {
    if (line.positional().size() != 2) {
        line.fail(err) << "show needs one FILE (try 'tessel preset --help')\n";
        return 2;
    }
    const auto document = std::make_unique<PresetDocument>();
    if (!loadPreset(line, line.positional()[1], *document, err)) return 1;

    out << "form: " << (document->loadedText() ? "text" : "binary") << "\n"
        << "version: " << PresetDocument::kPresetVersion;
    if (document->loadedVersion() != PresetDocument::kPresetVersion)
        out << " (upgraded from version " << document->loadedVersion() << ")";
    out << "\n";
    const CustomSettings& settings = document->settings();
    for (const DescriptiveEntry& entry : kDescriptive)
        if (const auto it = settings.find(entry.key); it != settings.end())
            out << entry.label << ": " << it->second << "\n";
    for (const auto& [key, value] : settings)
        if (!isDescriptiveKey(key)) out << "setting " << key << ": " << value << "\n";

    // Values are compared bit for bit: a preset stores them exactly, so any difference is real.
    const PresetParameterCollection& parameters = document->presetParameters();
    const bool changedOnly = line.has("changed");
    std::vector<const AbstractPluginParameter*> listed;
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        const AbstractPluginParameter* p = parameters.parameter(static_cast<int>(i));
        if (!changedOnly || p->currentValue() != p->defaultValue()) listed.push_back(p);
    }
    if (changedOnly)
        out << "changed parameters: " << listed.size() << " of " << parameters.size() << "\n";
    else
        out << "parameters: " << parameters.size() << "\n";
    for (const AbstractPluginParameter* p : listed)
        out << std::setw(3) << p->identifier() << "  " << std::left << std::setw(32) << p->name()
            << std::right << "  " << p->textOfValue(p->currentValue()) << "\n";
    return 0;
}

int convert(const CommandLine& line, std::ostream& err) {
    if (line.positional().size() != 3) {
        line.fail(err) << "convert needs IN and OUT (try 'tessel preset --help')\n";
        return 2;
    }
    if (line.has("text") && line.has("binary")) {
        line.fail(err) << "give at most one of --text and --binary\n";
        return 2;
    }
    const auto document = std::make_unique<PresetDocument>();
    if (!loadPreset(line, line.positional()[1], *document, err)) return 1;
    const bool text = line.has("text") || (!line.has("binary") && !document->loadedText());
    return savePreset(line, *document, line.positional()[2], text, err) ? 0 : 1;
}

int create(const CommandLine& line, std::ostream& err) {
    if (line.positional().size() != 2) {
        line.fail(err) << "new needs one OUT file (try 'tessel preset --help')\n";
        return 2;
    }
    const auto document = std::make_unique<PresetDocument>();
    // Everything is checked before anything is written, so a bad --set leaves no file.
    if (const int status = applySetOptions(line, *document, err); status != 0) return status;
    for (const DescriptiveEntry& entry : kDescriptive)
        if (const std::string* value = line.value(entry.label); value && !value->empty())
            document->settings().insert_or_assign(std::string(entry.key), *value);
    return savePreset(line, *document, line.positional()[1], !line.has("binary"), err) ? 0 : 1;
}

}  // namespace

int runPreset(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    struct Action {
        const char* name;
        std::set<std::string> valueOptions, flags;
        std::size_t positional;  ///< the action's own name included
    };
    const Action actions[] = {
        {"show", {}, {"changed"}, 2},
        {"convert", {}, {"text", "binary"}, 3},
        {"new", {"set", "author", "description", "tags"}, {"binary"}, 2},
    };
    int status = 2;
    for (const Action& action : actions) {
        if (words.empty() || words.front() != action.name) continue;
        const auto line = CommandLine::parse(
            {"preset", kPresetUsage, action.valueOptions, action.flags, action.positional}, words,
            out, err, status);
        if (!line) return status;
        if (words.front() == "show") return show(*line, out, err);
        if (words.front() == "convert") return convert(*line, err);
        return create(*line, err);
    }
    // No action: only --help is left to answer.
    const auto line =
        CommandLine::parse({"preset", kPresetUsage, {}, {}, 0}, words, out, err, status);
    if (!line) return status;
    line->fail(err) << "give show, convert or new (try 'tessel preset --help')\n";
    return 2;
}

}  // namespace tessel::cli
