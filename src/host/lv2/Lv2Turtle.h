#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "host/lv2/Lv2Ports.h"

namespace tessel::lv2 {

/// A preset as the bundle describes it: its name, description and every parameter's value.
struct BundlePreset {
    std::string name;
    std::string description;
    std::vector<float> values;  ///< identifier order, value domain
};

/// The preset's URI: the prefix and the name in lower case with every run of other characters
/// one hyphen ("Mix Bus Glue" -> urn:tessel:preset:mix-bus-glue).
std::string presetUri(const std::string& name);

/// The bundle's files, generated from the parameter table and the preset files so that the
/// description can never drift from the code: the manifest, the plug-ins' description (ports,
/// units, ranges, choices) and the presets as port values.
void writeManifest(std::ostream& out, const std::vector<BundlePreset>& presets);
void writePluginDescription(std::ostream& out, const ParameterPorts& ports);
void writePresets(std::ostream& out, const ParameterPorts& ports,
                  const std::vector<BundlePreset>& presets);
/// The C++ table of the presets that MIDI program changes select (program n = preset n).
void writeFactoryPresetSource(std::ostream& out, const std::vector<BundlePreset>& presets);

}  // namespace tessel::lv2
