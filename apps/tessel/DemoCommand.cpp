#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "CommandLine.h"
#include "DemoSignal.h"
#include "ProcessJob.h"
#include "TesselCli.h"
#include "plugin/PresetDocument.h"

namespace tessel::cli {

namespace {

constexpr const char* kDemoUsage =
    "usage: tessel demo [DIR] [--presets DIR] [--quick]\n"
    "\n"
    "Writes a built-in demo signal (20 seconds of drums, bass and a synthetic voice, stereo,\n"
    "48 kHz) to DIR/demo-input.wav and renders it with our presets in every processing mode:\n"
    "Mix Bus Glue in Linear, Minimum and Dynamic Phase, De-Esser and Upward Detail in Dynamic\n"
    "Phase. Each run writes DIR/demo-PRESET-MODE.wav and a report picture (.png) beside it and\n"
    "prints its summary. DIR (default tessel-demo) is created when missing; files in it are\n"
    "replaced.\n"
    "\n"
    "options:\n"
    "  --presets DIR   the folder holding the presets (default: the source tree's data/presets)\n"
    "  --quick         a 5-second demo signal\n";

constexpr double kRateHz = 48000.0;
constexpr double kSeconds = 20.0;
constexpr double kQuickSeconds = 5.0;
constexpr int kBlockSize = 512;

/// A preset and the processing mode it runs in, as their display texts.
struct DemoRun {
    const char* preset;
    const char* mode;
};
constexpr DemoRun kRuns[] = {{"Mix Bus Glue", "Linear Phase"},
                             {"Mix Bus Glue", "Minimum Phase"},
                             {"Mix Bus Glue", "Dynamic Phase"},
                             {"De-Esser", "Dynamic Phase"},
                             {"Upward Detail", "Dynamic Phase"}};

/// "Mix Bus Glue" -> "mix-bus-glue"; "Linear Phase" -> "linear" (the mode's first word).
std::string slug(const std::string& text, bool firstWordOnly) {
    std::string s;
    for (const char c : text) {
        if (c == ' ' && firstWordOnly) break;
        s += c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

struct RunResult {
    std::string error;  ///< one line, empty on success
    RenderStats stats;
};

}  // namespace

int runDemo(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line = CommandLine::parse({"demo", kDemoUsage, {"presets"}, {"quick"}, 1}, words,
                                         out, err, status);
    if (!line) return status;
    const std::filesystem::path folder =
        line->positional().empty() ? "tessel-demo" : line->positional()[0];
    const std::filesystem::path presets =
        line->value("presets") ? *line->value("presets") : std::string(TESSEL_PRESET_DIR);
    const auto started = std::chrono::steady_clock::now();

    // Every preset is loaded and given its mode before anything is written.
    constexpr std::size_t kRunCount = std::size(kRuns);
    std::vector<std::unique_ptr<PresetDocument>> settings;
    for (const DemoRun& run : kRuns) {
        auto document = std::make_unique<PresetDocument>();
        const std::string path = (presets / (std::string(run.preset) + ".vtp")).string();
        if (const PresetLoadResult loaded = document->load(path); loaded.code != 0) {
            line->fail(err) << path << ": " << loaded.message << "\n";
            return 1;
        }
        const PresetParameterCollection& parameters = document->presetParameters();
        AbstractPluginParameter* mode =
            parameters.parameter(parameters.identifierOfName("Processing Mode"));
        float value = 0.0f;
        std::string reason;
        if (mode == nullptr || !mode->valueFromText(run.mode, value, reason)) {
            line->fail(err) << "cannot set Processing Mode to " << run.mode << "\n";
            return 1;
        }
        mode->setValue(value, 0);
        settings.push_back(std::move(document));
    }

    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        line->fail(err) << "cannot create " << folder.string() << ": " << ec.message() << "\n";
        return 1;
    }
    const double seconds = line->has("quick") ? kQuickSeconds : kSeconds;
    const AudioData input = demoSignal(kRateHz, seconds);
    const std::string inputPath = (folder / "demo-input.wav").string();
    const AudioFormat wav24{SF_FORMAT_WAV | SF_FORMAT_PCM_24};
    std::string error;
    if (!writeAudioFile(inputPath, input, wav24, error)) {
        line->fail(err) << error << "\n";
        return 1;
    }
    out << "demo signal: " << seconds << " s, stereo, 48 kHz -> " << inputPath << "\n"
        << "rendering " << kRunCount << " runs...\n"
        << std::flush;

    // The runs are independent (a processor each), so they share the cores.
    std::vector<std::string> stems;
    for (const DemoRun& run : kRuns)
        stems.push_back(
            (folder / ("demo-" + slug(run.preset, false) + "-" + slug(run.mode, true))).string());
    std::vector<RunResult> results(kRunCount);
    runInParallel(kRunCount, [&](std::size_t k) {
        RenderOutcome rendered = renderAudio(input, nullptr, *settings[k], kBlockSize);
        RunResult& result = results[k];
        result.stats = rendered.stats;
        if (!writeAudioFile(stems[k] + ".wav", rendered.output, wav24, result.error)) return;
        rendered.report.title = std::string("Demo: ") + kRuns[k].preset + ", " + kRuns[k].mode;
        rendered.report.input = WaveformEnvelope::of(input);
        rendered.report.output = WaveformEnvelope::of(rendered.output);
        writeProcessReport(stems[k] + ".png", rendered.report, result.error);
    });

    int result = 0;
    for (std::size_t k = 0; k < kRunCount; ++k) {
        if (!results[k].error.empty()) {
            line->fail(err) << results[k].error << "\n";
            result = 1;
            continue;
        }
        out << "\n== " << kRuns[k].preset << ", " << kRuns[k].mode << ": " << stems[k] << ".wav\n"
            << formatSummary(results[k].stats) << "report: " << stems[k] << ".png\n";
    }
    if (result != 0) return result;
    char done[64];
    std::snprintf(
        done, sizeof done, "\ndone in %.1f s: ",
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    out << done << folder.string() << "\n";
    return 0;
}

}  // namespace tessel::cli
