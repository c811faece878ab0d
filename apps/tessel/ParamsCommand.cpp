#include <cmath>
#include <cstdio>
#include <iomanip>
#include <memory>
#include <sstream>
#include <string>

#include "CommandLine.h"
#include "TesselCli.h"
#include "params/AbstractPluginParameter.h"
#include "params/TesselParameters.h"

namespace tessel::cli {

namespace {

constexpr const char* kParamsUsage =
    "usage: tessel params [--json]\n"
    "\n"
    "Lists every parameter in identifier order: identifier, name, continuous or indexed,\n"
    "automatable, default value and its text, minimum and maximum texts, and the choices of an\n"
    "indexed parameter. --json prints the same as a JSON array.\n";

constexpr const char* kParamUsage =
    "usage: tessel param NAME|ID [--value V | --normalized X | --parse TEXT]\n"
    "                    [--mode linear|dynamic|minimum]\n"
    "\n"
    "Shows one parameter's value, normalised value (0..1, what a host sees), linear value (what\n"
    "the audio engine receives) and display text. --value sets the stored value, --normalized\n"
    "the normalised one, --parse reads a text as a user would type it (exit status 1 when it does\n"
    "not parse). --mode sets Processing Mode first (slopes snap to the crossover slopes in\n"
    "Minimum Phase). Without a setting, the default value is shown, with the parameter's help\n"
    "text.\n";

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
                    out += buffer;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

/// Shortest text that reads back as the same float.
std::string number(float v) {
    if (!std::isfinite(v)) return "null";
    std::ostringstream s;
    s << std::setprecision(9) << v;
    return s.str();
}

/// A parameter by identifier ("12") or by name (exact, then ignoring case); null when none.
AbstractPluginParameter* findParameter(const TesselParameters& parameters, const std::string& key) {
    const ParameterCollection& collection = *parameters.ownCollection();
    if (const auto id = parseNumber(key); id && *id == static_cast<int>(*id)) {
        return collection.parameter(static_cast<int>(*id));
    }
    return collection.parameterNamed(key);
}

std::vector<std::string> choicesOf(const AbstractPluginParameter& p) {
    std::vector<std::string> choices;
    if (!p.discrete() || !p.hasChoiceNames()) return choices;
    for (float v = p.minimum(); v <= p.maximum(); v += 1.0f)
        choices.push_back(p.textOfValue(v));
    return choices;
}

void describeJson(const AbstractPluginParameter& p, std::ostream& out) {
    out << "  {\"id\": " << p.identifier() << ", \"name\": " << jsonString(p.name())
        << ", \"kind\": \"" << (p.discrete() ? "indexed" : "continuous") << "\""
        << ", \"automatable\": " << (p.automatable() ? "true" : "false")
        << ", \"default\": " << number(p.defaultValue())
        << ", \"defaultText\": " << jsonString(p.textOfValue(p.defaultValue()))
        << ", \"minimum\": " << number(p.minimum())
        << ", \"minimumText\": " << jsonString(p.textOfValue(p.minimum()))
        << ", \"maximum\": " << number(p.maximum())
        << ", \"maximumText\": " << jsonString(p.textOfValue(p.maximum())) << ", \"choices\": [";
    const std::vector<std::string> choices = choicesOf(p);
    for (std::size_t i = 0; i < choices.size(); ++i)
        out << (i ? ", " : "") << jsonString(choices[i]);
    out << "]}";
}

void describeText(const AbstractPluginParameter& p, std::ostream& out) {
    out << std::setw(3) << p.identifier() << "  " << std::left << std::setw(28) << p.name()
        << std::right << "  " << (p.discrete() ? "indexed   " : "continuous") << "  "
        << (p.automatable() ? "auto  " : "manual") << "  default "
        << p.textOfValue(p.defaultValue()) << "  range " << p.textOfValue(p.minimum()) << " .. "
        << p.textOfValue(p.maximum());
    const std::vector<std::string> choices = choicesOf(p);
    if (!choices.empty()) {
        out << "  choices ";
        for (std::size_t i = 0; i < choices.size(); ++i)
            out << (i ? "," : "") << choices[i];
    }
    out << "\n";
}

}  // namespace

int runParams(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line =
        CommandLine::parse({"params", kParamsUsage, {}, {"json"}, 0}, words, out, err, status);
    if (!line) return status;
    const auto parameters = std::make_unique<TesselParameters>();
    const std::vector<AbstractPluginParameter*>& all = parameters->allParameters();
    const bool json = line->has("json");
    if (json) out << "[\n";
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (json) {
            describeJson(*all[i], out);
            out << (i + 1 < all.size() ? ",\n" : "\n");
        } else {
            describeText(*all[i], out);
        }
    }
    if (json) out << "]\n";
    return 0;
}

int runParam(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line =
        CommandLine::parse({"param", kParamUsage, {"value", "normalized", "parse", "mode"}, {}},
                           words, out, err, status);
    if (!line) return status;
    if (line->positional().size() != 1) {
        line->fail(err) << "give exactly one parameter name or identifier (try 'tessel param "
                           "--help')\n";
        return 2;
    }
    const int settings = line->has("value") + line->has("normalized") + line->has("parse");
    if (settings > 1) {
        line->fail(err) << "give at most one of --value, --normalized and --parse\n";
        return 2;
    }
    const auto parameters = std::make_unique<TesselParameters>();
    if (line->has("mode")) {
        ProcessingMode mode = ProcessingMode::kDynamicPhase;
        if (!parseModeOption(*line, mode, err)) return 2;
        parameters->processingMode.setValue(static_cast<float>(mode), 0);
    }
    AbstractPluginParameter* p = findParameter(*parameters, line->positional().front());
    if (p == nullptr) {
        line->fail(err) << "no parameter named '" << line->positional().front()
                        << "' (see 'tessel params')\n";
        return 2;
    }
    float value = p->currentValue();
    if (const std::string* text = line->value("value")) {
        const auto v = parseNumber(*text);
        if (!v) {
            line->fail(err) << "--value needs a number, not '" << *text << "'\n";
            return 2;
        }
        p->setValue(static_cast<float>(*v), 0);
        value = p->currentValue();
    } else if (const std::string* text = line->value("normalized")) {
        const auto v = parseNumber(*text);
        if (!v || *v < 0.0 || *v > 1.0) {
            line->fail(err) << "--normalized needs a number from 0 to 1, not '" << *text << "'\n";
            return 2;
        }
        p->setValue(p->valueOfNormalised(static_cast<float>(*v)), 0);
        value = p->currentValue();
    } else if (const std::string* text = line->value("parse")) {
        std::string reason;
        float parsed = value;
        if (!p->valueFromText(*text, parsed, reason)) {
            line->fail(err) << "'" << *text << "' does not parse for " << p->name() << ": "
                            << reason << "\n";
            return 1;
        }
        p->setValue(parsed, 0);
        value = p->currentValue();
    }
    out << p->name() << " (id " << p->identifier() << ")\n"
        << "  value:      " << number(value) << "\n"
        << "  normalized: " << number(p->normalisedOfValue(value)) << "\n"
        << "  linear:     " << number(p->linearOfValue(value)) << "\n"
        << "  text:       " << p->textOfValue(value) << "\n";
    if (!p->helpText().empty()) out << "  help:       " << p->helpText() << "\n";
    return 0;
}

}  // namespace tessel::cli
