#include "host/lv2/Lv2Turtle.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace tessel::lv2 {

namespace {

constexpr const char* kPrefixes =
    "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix pprops: <http://lv2plug.in/ns/ext/port-props#> .\n"
    "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf: <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n\n";

/// A Turtle decimal that reads back as the same float.
std::string number(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v));
    std::string s = text;
    if (s.find_first_of(".e") == std::string::npos) s += ".0";
    return s;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

std::string unitOf(PortUnit unit) {
    switch (unit) {
        case PortUnit::kDb:
            return "units:db";
        case PortUnit::kHz:
            return "units:hz";
        case PortUnit::kMs:
            return "units:ms";
        case PortUnit::kPercent:
            return "units:pc";
        case PortUnit::kRatio:
            return "[\n            a units:Unit ;\n            rdfs:label \"ratio\" ;\n"
                   "            units:symbol \":1\" ;\n            units:render \"%.2f:1\"\n"
                   "        ]";
        case PortUnit::kSlope:
            return "[\n            a units:Unit ;\n            rdfs:label \"decibels per octave\" "
                   ";\n"
                   "            units:symbol \"dB/oct\" ;\n"
                   "            units:render \"%.1f dB/oct\"\n        ]";
        case PortUnit::kNone:
            break;
    }
    return {};
}

void writePort(std::ostream& out, uint32_t index, const char* kinds, const std::string& symbol,
               const std::string& name, const std::string& extra) {
    out << "    lv2:port [\n        a " << kinds << " ;\n        lv2:index " << index
        << " ;\n        lv2:symbol " << quoted(symbol) << " ;\n        lv2:name " << quoted(name)
        << extra << "\n    ] ";
}

std::string range(float minimum, float maximum, float defaultValue) {
    return " ;\n        lv2:default " + number(defaultValue) + " ;\n        lv2:minimum " +
           number(minimum) + " ;\n        lv2:maximum " + number(maximum);
}

void writeParameterPort(std::ostream& out, uint32_t index, const ParameterPort& port) {
    std::string extra = range(port.minimum, port.maximum, port.defaultValue);
    std::vector<std::string> properties;
    if (port.integer) properties.emplace_back("lv2:integer");
    if (port.enumeration) properties.emplace_back("lv2:enumeration");
    if (port.logarithmic) properties.emplace_back("pprops:logarithmic");
    if (port.notAutomatic) properties.emplace_back("pprops:notAutomatic");
    for (std::size_t i = 0; i < properties.size(); ++i)
        extra += (i == 0 ? " ;\n        lv2:portProperty " : ", ") + properties[i];
    if (const std::string unit = unitOf(port.unit); !unit.empty())
        extra += " ;\n        units:unit " + unit;
    for (std::size_t i = 0; i < port.scalePoints.size(); ++i) {
        extra += (i == 0 ? " ;\n        lv2:scalePoint " : " , ");
        extra += "[\n            rdfs:label " + quoted(port.scalePoints[i].second) +
                 " ;\n            rdf:value " + number(port.scalePoints[i].first) + "\n        ]";
    }
    writePort(out, index, "lv2:InputPort, lv2:ControlPort", port.symbol, port.name, extra);
}

void writePlugin(std::ostream& out, const VariantInfo& variant, const ParameterPorts& ports) {
    const PortLayout layout(variant);
    out << "<" << variant.uri << ">\n    a lv2:Plugin, lv2:CompressorPlugin ;\n"
        << "    doap:name " << quoted(variant.name) << " ;\n"
        << "    lv2:minorVersion 1 ;\n    lv2:microVersion 0 ;\n"
        << "    lv2:requiredFeature urid:map ;\n"
        << "    lv2:optionalFeature lv2:hardRTCapable ;\n"
        << "    lv2:extensionData state:interface ;\n";
    const char* sides[2] = {"left", "right"};
    const bool monoIn = variant.audioInputs == 1;
    const bool monoOut = variant.audioOutputs == 1;
    for (uint32_t c = 0; c < variant.audioInputs; ++c) {
        writePort(out, c, "lv2:InputPort, lv2:AudioPort",
                  monoIn ? "in" : std::string("in_") + sides[c][0],
                  monoIn ? "Input" : std::string("Input ") + (c == 0 ? "Left" : "Right"), "");
        out << ";\n";
    }
    writePort(out, layout.sideChain(), "lv2:InputPort, lv2:AudioPort", "side_chain", "Side Chain",
              " ;\n        lv2:portProperty lv2:isSideChain, lv2:connectionOptional");
    out << ";\n";
    for (uint32_t c = 0; c < variant.audioOutputs; ++c) {
        writePort(out, layout.firstOutput() + c, "lv2:OutputPort, lv2:AudioPort",
                  monoOut ? "out" : std::string("out_") + sides[c][0],
                  monoOut ? "Output" : std::string("Output ") + (c == 0 ? "Left" : "Right"), "");
        out << ";\n";
    }
    writePort(out, layout.midiInput(), "lv2:InputPort, atom:AtomPort", "midi_in", "MIDI In",
              " ;\n        atom:bufferType atom:Sequence ;\n        atom:supports midi:MidiEvent ;"
              "\n        lv2:designation lv2:control ;\n"
              "        lv2:portProperty lv2:connectionOptional");
    out << ";\n";
    writePort(out, layout.enabled(), "lv2:InputPort, lv2:ControlPort", "enable", "Enable",
              range(0.0f, 1.0f, 1.0f) +
                  " ;\n        lv2:designation lv2:enabled ;\n"
                  "        lv2:portProperty lv2:toggled, lv2:integer");
    out << ";\n";
    writePort(out, layout.latency(), "lv2:OutputPort, lv2:ControlPort", "latency", "Latency",
              range(0.0f, 65536.0f, 0.0f) +
                  " ;\n        lv2:designation lv2:latency ;\n"
                  "        lv2:portProperty lv2:reportsLatency, lv2:integer ;\n"
                  "        units:unit units:frame");
    out << ";\n";
    for (uint32_t k = 0; k < 3; ++k) {
        writePort(
            out, layout.meter(k), "lv2:OutputPort, lv2:ControlPort", kMeterSymbols[k],
            kMeterNames[k],
            range(kMeterMinimumDb[k], kMeterMaximumDb[k], k == 0 ? 0.0f : kMeterMinimumDb[k]) +
                " ;\n        units:unit units:db");
        out << ";\n";
    }
    for (std::size_t i = 0; i < ports.size(); ++i) {
        writeParameterPort(out, layout.firstParameter() + static_cast<uint32_t>(i),
                           ports.ports()[i]);
        out << (i + 1 < ports.size() ? ";\n" : ".\n\n");
    }
}

}  // namespace

std::string presetUri(const std::string& name) {
    std::string slug;
    bool gap = false;
    for (const char c : name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            if (gap && !slug.empty()) slug += '-';
            gap = false;
            slug += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            gap = true;
        }
    }
    return kPresetUriPrefix + slug;
}

void writeManifest(std::ostream& out, const std::vector<BundlePreset>& presets) {
    out << kPrefixes;
    for (const VariantInfo& variant : kVariants) {
        out << "<" << variant.uri << ">\n    a lv2:Plugin ;\n    lv2:binary <tessel.so> ;\n"
            << "    rdfs:seeAlso <tessel.ttl> .\n\n";
    }
    for (const BundlePreset& preset : presets) {
        out << "<" << presetUri(preset.name) << ">\n    a pset:Preset ;\n    lv2:appliesTo ";
        for (std::size_t v = 0; v < std::size(kVariants); ++v)
            out << (v ? ", " : "") << "<" << kVariants[v].uri << ">";
        out << " ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
    }
}

void writePluginDescription(std::ostream& out, const ParameterPorts& ports) {
    out << kPrefixes;
    for (const VariantInfo& variant : kVariants)
        writePlugin(out, variant, ports);
}

void writePresets(std::ostream& out, const ParameterPorts& ports,
                  const std::vector<BundlePreset>& presets) {
    out << kPrefixes;
    for (const BundlePreset& preset : presets) {
        out << "<" << presetUri(preset.name) << ">\n    a pset:Preset ;\n    lv2:appliesTo ";
        for (std::size_t v = 0; v < std::size(kVariants); ++v)
            out << (v ? ", " : "") << "<" << kVariants[v].uri << ">";
        out << " ;\n    rdfs:label " << quoted(preset.name);
        if (!preset.description.empty())
            out << " ;\n    rdfs:comment " << quoted(preset.description);
        for (std::size_t i = 0; i < preset.values.size() && i < ports.size(); ++i) {
            const int32_t id = static_cast<int32_t>(i);
            out << (i == 0 ? " ;\n    lv2:port " : " , ") << "[\n        lv2:symbol "
                << quoted(ports.port(id).symbol) << " ;\n        pset:value "
                << number(ports.portOfValue(id, preset.values[i])) << "\n    ]";
        }
        out << " .\n\n";
    }
}

void writeFactoryPresetSource(std::ostream& out, const std::vector<BundlePreset>& presets) {
    out << "// Generated from the preset files at build time; do not edit.\n"
           "#include \"host/lv2/Lv2PluginAdapter.h\"\n\nnamespace tessel::lv2 {\n\nnamespace {\n";
    for (std::size_t p = 0; p < presets.size(); ++p) {
        out << "constexpr float kValues" << p << "[] = {";
        for (std::size_t i = 0; i < presets[p].values.size(); ++i)
            out << (i % 6 == 0 ? "\n    " : " ") << number(presets[p].values[i]) << "f,";
        out << "\n};\n";
    }
    out << "constexpr FactoryPreset kPresets[] = {\n";
    for (std::size_t p = 0; p < presets.size(); ++p) {
        out << "    {" << quoted(presets[p].name) << ", kValues" << p << ", "
            << presets[p].values.size() << "},\n";
    }
    if (presets.empty()) out << "    {\"\", nullptr, 0},\n";
    out << "};\n}  // namespace\n\nstd::span<const FactoryPreset> factoryPresets() noexcept {\n"
        << "    return std::span<const FactoryPreset>(kPresets, " << presets.size() << ");\n}\n\n"
        << "}  // namespace tessel::lv2\n";
}

}  // namespace tessel::lv2
