// `tessel process` on a 10-minute stereo 48 kHz 24-bit WAV (the demo signal repeated) in Minimum
// Phase with four compressing bands, block 512: the time of each stage and the realtime factor
// of the processing. The aim: the whole run well under 10 s, reading and writing together under
// a tenth of the processing. Run by scripts/bench-process.sh.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "DemoSignal.h"
#include "ProcessJob.h"
#include "plugin/PresetDocument.h"

namespace tessel::cli {
namespace {

constexpr double kRateHz = 48000.0;
constexpr int kMinutes = 10;

// The input file, written once per run of the program and removed at exit.
const std::string& inputFile() {
    static const std::string path = [] {
        const AudioData minute = demoSignal(kRateHz, 60.0);
        AudioData tenMinutes{kRateHz, minute.channels};
        for (auto& channel : tenMinutes.channels)
            channel.reserve(channel.size() * kMinutes);
        for (int m = 1; m < kMinutes; ++m)
            for (std::size_t c = 0; c < minute.channels.size(); ++c)
                tenMinutes.channels[c].insert(tenMinutes.channels[c].end(),
                                              minute.channels[c].begin(), minute.channels[c].end());
        const std::string file = (std::filesystem::temp_directory_path() /
                                  ("tessel-bench-" + std::to_string(::getpid()) + ".wav"))
                                     .string();
        std::string error;
        if (!writeAudioFile(file, tenMinutes, AudioFormat{SF_FORMAT_WAV | SF_FORMAT_PCM_24}, error))
            std::fprintf(stderr, "%s\n", error.c_str());
        std::atexit([] { std::filesystem::remove(inputFile()); });
        return file;
    }();
    return path;
}

void setText(PresetDocument& settings, const std::string& name, const std::string& text) {
    AbstractPluginParameter* p =
        settings.presetParameters().parameter(settings.presetParameters().identifierOfName(name));
    float value = 0.0f;
    std::string reason;
    if (p == nullptr || !p->valueFromText(text, value, reason)) std::abort();
    p->setValue(value, 0);
}

void BM_ProcessFile(benchmark::State& state) {
    PresetDocument settings;
    setText(settings, "Processing Mode", "Minimum Phase");
    const char* edges[] = {"30 Hz", "150 Hz", "1000 Hz", "5000 Hz", "30000 Hz"};
    for (int b = 1; b <= 4; ++b) {
        const std::string band = "Band " + std::to_string(b) + " ";
        setText(settings, band + "State", "Enabled");
        setText(settings, band + "Low Crossover", edges[b - 1]);
        setText(settings, band + "High Crossover", edges[b]);
        setText(settings, band + "Threshold", "-30 dB");
        setText(settings, band + "Range", "-12 dB");
    }
    const std::string output = inputFile() + ".out.wav";
    ProcessJob job;
    job.inputPath = inputFile();
    job.outputPath = output;
    job.settings = &settings;
    ProcessOutcome outcome;
    for (auto _ : state) {
        outcome = runProcessJob(job);
        if (!outcome.ok) state.SkipWithError(outcome.error.c_str());
    }
    std::filesystem::remove(output);
    const double total =
        outcome.readSeconds + outcome.renderSeconds + outcome.measureSeconds + outcome.writeSeconds;
    state.counters["read_s"] = outcome.readSeconds;
    state.counters["process_s"] = outcome.renderSeconds;
    state.counters["measure_s"] = outcome.measureSeconds;
    state.counters["write_s"] = outcome.writeSeconds;
    state.counters["total_s"] = total;
    state.counters["realtime_x"] = kMinutes * 60.0 / outcome.renderSeconds;
    state.counters["io_share"] =
        (outcome.readSeconds + outcome.writeSeconds) / outcome.renderSeconds;
}
BENCHMARK(BM_ProcessFile)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace tessel::cli
