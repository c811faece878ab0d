#include "SetOptions.h"

#include "plugin/PresetDocument.h"

namespace tessel::cli {

namespace {

std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

int applySetOptions(const CommandLine& line, PresetDocument& document, std::ostream& err) {
    const PresetParameterCollection& parameters = document.presetParameters();
    for (const std::string& setting : line.values("set")) {
        const std::size_t equals = setting.find('=');
        if (equals == std::string::npos) {
            line.fail(err) << "--set needs NAME=TEXT, not '" << setting << "'\n";
            return 2;
        }
        const std::string name = trimmed(setting.substr(0, equals));
        const std::string text = setting.substr(equals + 1);
        AbstractPluginParameter* p = parameters.parameter(parameters.identifierOfName(name));
        if (p == nullptr) {
            line.fail(err) << PresetLoader::kUnknownParameter << name << "\n";
            return 1;
        }
        float value = p->currentValue();
        std::string reason;
        if (!p->valueFromText(text, value, reason)) {
            line.fail(err) << "'" << text << "' does not parse for " << p->name() << ": " << reason
                           << "\n";
            return 1;
        }
        p->setValue(value, 0);
    }
    return 0;
}

}  // namespace tessel::cli
