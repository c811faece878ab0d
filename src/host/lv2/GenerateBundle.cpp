// Writes the LV2 bundle's Turtle files and the program-change preset table at build time:
//   tessel_lv2_generate --bundle DIR PRESET.vtp...    manifest.ttl, tessel.ttl, presets.ttl
//   tessel_lv2_generate --presets-source FILE PRESET.vtp...
// Presets keep the order given (the build sorts them by file name); a preset that does not load
// stops the build with its loader message.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/lv2/Lv2Turtle.h"
#include "plugin/PresetDocument.h"

namespace {

/// Writes through a temporary file renamed into place, so a failed build never leaves half a
/// file that a later build would take as up to date.
bool writeFile(const std::filesystem::path& path, const std::string& text) {
    const std::filesystem::path temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary);
        out << text;
        if (!out.flush()) return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s --bundle DIR | --presets-source FILE  PRESET...\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const std::filesystem::path target = argv[2];
    std::vector<tessel::lv2::BundlePreset> presets;
    for (int i = 3; i < argc; ++i) {
        tessel::PresetDocument document;
        const tessel::PresetLoadResult result = document.load(argv[i]);
        if (result.code != 0) {
            std::fprintf(stderr, "%s: %s\n", argv[i], result.message.c_str());
            return 1;
        }
        tessel::lv2::BundlePreset preset;
        preset.name = std::filesystem::path(argv[i]).stem().string();
        if (const auto it = document.settings().find(tessel::kDescriptionKey);
            it != document.settings().end())
            preset.description = it->second;
        preset.values = document.parameters().values();
        presets.push_back(std::move(preset));
    }
    bool ok = true;
    if (mode == "--presets-source") {
        std::ostringstream text;
        tessel::lv2::writeFactoryPresetSource(text, presets);
        ok = writeFile(target, text.str());
    } else if (mode == "--bundle") {
        std::filesystem::create_directories(target);
        const tessel::PresetDocument defaults;
        const tessel::lv2::ParameterPorts ports(
            const_cast<tessel::PresetDocument&>(defaults).tessel());
        std::ostringstream manifest, description, presetText;
        tessel::lv2::writeManifest(manifest, presets);
        tessel::lv2::writePluginDescription(description, ports);
        tessel::lv2::writePresets(presetText, ports, presets);
        ok = writeFile(target / "manifest.ttl", manifest.str()) &&
             writeFile(target / "tessel.ttl", description.str()) &&
             writeFile(target / "presets.ttl", presetText.str());
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    if (!ok) std::fprintf(stderr, "cannot write %s\n", target.c_str());
    return ok ? 0 : 1;
}
