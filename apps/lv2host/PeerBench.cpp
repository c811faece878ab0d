// Our LV2 plug-ins against other multiband compressors, each run as a host runs it: instantiated
// at 48 kHz through the lilv test host and fed one deterministic 60-second stereo signal (pink-ish
// noise, drum-like bursts and a bass line at -3 dBFS peak, in loud and quiet sections so that the
// compressors work) in 256-sample blocks; mono plug-ins take the left channel, side chains stay
// unconnected. After a 5-second warm-up, the best of three passes over the whole signal is timed
// with the steady clock. A plain program rather than Google Benchmark: it drives external
// plug-ins, each once, and prints a table (and, with --markdown, the same table for the README).
//
// Usage: tessel-lv2-bench [--markdown] [--seconds S] URI [--label TEXT] [--set
// SYMBOL=VALUE]...
//        [URI ...] [--set URI SYMBOL=VALUE]...
// A --label or --set SYMBOL=VALUE belongs to the plug-in named just before it (the same URI may
// be given several times with different settings); --set URI SYMBOL=VALUE to every run of URI.
// Values are port values as the plug-in reads them. scripts/bench-peers.sh runs the comparison.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "lv2host/LilvHost.h"

namespace {

constexpr double kSampleRate = 48000.0;
constexpr uint32_t kBlock = 256;
constexpr double kWarmUpSeconds = 5.0;
constexpr int kPasses = 3;
constexpr double kPi = 3.14159265358979323846;

struct Run {
    std::string uri, label;
    std::vector<std::pair<std::string, float>> settings;
    // Results.
    std::string name, error;
    double seconds = 0.0, nsPerSample = 0.0, levelChangeDb = 0.0;
};

/// The test signal, planar stereo: deterministic (its own generator), 120 bpm drums (a kick
/// falling from 150 to 50 Hz on every beat, a noise snare on beats 2 and 4, hi-hats on the
/// eighths), a bass line of four notes a bar, pink-ish noise under it all, with 8-second
/// sections alternating loud and 12 dB quieter; scaled to a peak of -3 dBFS.
std::vector<std::vector<float>> makeSignal(std::size_t frames) {
    uint64_t seed = 0x9E3779B97F4A7C15ull;
    const auto white = [&seed] {  // xorshift64*, uniform in [-1, 1)
        seed ^= seed >> 12;
        seed ^= seed << 25;
        seed ^= seed >> 27;
        return static_cast<double>((seed * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-52 - 1.0;
    };
    std::vector<std::vector<float>> signal(2, std::vector<float>(frames));
    double pink[2][3] = {}, kickPhase = 0.0, bassPhase = 0.0, hatLast = 0.0;
    const double beatSeconds = 0.5, bassHz[4] = {55.0, 65.41, 73.42, 82.41};
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kSampleRate;
        const double section = static_cast<int>(t / 8.0) % 2 == 0 ? 1.0 : 0.25;
        const double beatT = std::fmod(t, beatSeconds), eighthT = std::fmod(t, beatSeconds / 2);
        const int beat = static_cast<int>(t / beatSeconds) % 4;
        kickPhase += 2.0 * kPi * (50.0 + 100.0 * std::exp(-beatT / 0.03)) / kSampleRate;
        const double kick = 0.9 * std::sin(kickPhase) * std::exp(-beatT / 0.15);
        const double hatNoise = white();
        const double hat = 0.15 * (hatNoise - hatLast) * std::exp(-eighthT / 0.02);
        hatLast = hatNoise;
        const double snare = beat % 2 == 1 ? 0.5 * white() * std::exp(-beatT / 0.08) : 0.0;
        const double noteHz = bassHz[static_cast<int>(t / beatSeconds) % 4];
        bassPhase += 2.0 * kPi * noteHz / kSampleRate;
        const double bass = 0.5 * (std::sin(bassPhase) + 0.3 * std::sin(2.0 * bassPhase)) *
                            (0.6 + 0.4 * std::exp(-beatT / 0.2));
        for (int c = 0; c < 2; ++c) {
            const double w = white();  // Kellet's economy pink filter, one per channel
            double* b = pink[c];
            b[0] = 0.99765 * b[0] + w * 0.0990460;
            b[1] = 0.96300 * b[1] + w * 0.2965164;
            b[2] = 0.57000 * b[2] + w * 1.0526913;
            const double noise = 0.05 * (b[0] + b[1] + b[2] + w * 0.1848);
            const double pan = c == 0 ? 0.9 : 1.1;  // the hats and snare a little off centre
            signal[c][i] =
                static_cast<float>(section * (kick + bass + noise + pan * (snare + hat)));
        }
    }
    float peak = 0.0f;
    for (const auto& channel : signal)
        for (float x : channel)
            peak = std::max(peak, std::fabs(x));
    const float scale = std::pow(10.0f, -3.0f / 20.0f) / peak;
    for (auto& channel : signal)
        for (float& x : channel)
            x *= scale;
    return signal;
}

double rms(const float* x, std::size_t n) {
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return std::sqrt(sum / static_cast<double>(std::max<std::size_t>(n, 1)));
}

void measure(tessel::lv2host::LilvHost& host, Run& run,
             const std::vector<std::vector<float>>& signal) {
    run.name = host.name(run.uri);
    auto plugin = host.instantiate(run.uri, kSampleRate, kBlock);
    if (!plugin) {
        run.error = host.lastError();
        return;
    }
    for (const auto& [symbol, value] : run.settings) {
        try {
            plugin->setControl(symbol, value);
        } catch (const std::out_of_range&) {
            run.error = "no control input " + symbol;
            return;
        }
    }
    const uint32_t ins = plugin->audioInputs(), outs = plugin->audioOutputs();
    if (ins == 0 || outs == 0) {
        run.error = "no audio input or output";
        return;
    }
    const std::size_t frames = signal[0].size();
    const std::vector<float> silence(kBlock, 0.0f);
    std::vector<std::vector<float>> output(outs, std::vector<float>(frames));
    std::vector<const float*> in(ins);
    std::vector<float*> out(outs);
    // Channels beyond the signal's two (a plug-in with more main inputs) read silence.
    const auto source = [&](uint32_t c, std::size_t at) {
        return c < 2 ? signal[c].data() + at : silence.data();
    };
    const auto pass = [&](std::size_t length) {
        for (std::size_t at = 0; at < length; at += kBlock) {
            for (uint32_t c = 0; c < ins; ++c)
                in[c] = source(c, at);
            for (uint32_t c = 0; c < outs; ++c)
                out[c] = output[c].data() + at;
            plugin->run(in.data(), nullptr, out.data(),
                        static_cast<uint32_t>(std::min<std::size_t>(kBlock, length - at)));
        }
    };
    pass(std::min(frames, static_cast<std::size_t>(kWarmUpSeconds * kSampleRate)));
    double best = 1e300;
    for (int p = 0; p < kPasses; ++p) {
        const auto start = std::chrono::steady_clock::now();
        pass(frames);
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    run.seconds = best;
    // Per frame of one channel: a mono-to-stereo plug-in counts two.
    run.nsPerSample = best * 1e9 / (static_cast<double>(frames) * std::max(ins, outs));
    // Level change of the last pass: the fed channels against the first outputs.
    const uint32_t fed = std::min<uint32_t>(ins, 2), heard = std::min<uint32_t>(outs, 2);
    double inPower = 0.0, outPower = 0.0;
    for (uint32_t c = 0; c < fed; ++c)
        inPower += std::pow(rms(signal[c].data(), frames), 2) / fed;
    for (uint32_t c = 0; c < heard; ++c)
        outPower += std::pow(rms(output[c].data(), frames), 2) / heard;
    run.levelChangeDb = 10.0 * std::log10(std::max(outPower, 1e-30) / std::max(inPower, 1e-30));
}

std::string fixed(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int usage(const char* why) {
    std::fprintf(stderr,
                 "error: %s\nusage: tessel-lv2-bench [--markdown] [--seconds S] URI [--label "
                 "TEXT] [--set SYMBOL=VALUE]... [URI ...] [--set URI SYMBOL=VALUE]...\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Run> runs;
    std::vector<std::pair<std::string, std::string>> byUri;  // (URI, SYMBOL=VALUE)
    bool markdown = false;
    double seconds = 60.0;
    const auto setting = [](const std::string& text, std::pair<std::string, float>& parsed) {
        const auto eq = text.find('=');
        if (eq == std::string::npos || eq == 0) return false;
        try {
            std::size_t used = 0;
            parsed = {text.substr(0, eq), std::stof(text.substr(eq + 1), &used)};
            return used == text.size() - eq - 1;
        } catch (const std::exception&) {
            return false;
        }
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        std::pair<std::string, float> parsed;
        if (arg == "--markdown") {
            markdown = true;
        } else if (arg == "--seconds" && hasNext) {
            seconds = std::atof(argv[++i]);
            if (!(seconds >= 1.0 && seconds <= 3600.0)) return usage("--seconds takes 1 to 3600");
        } else if (arg == "--label" && hasNext && !runs.empty()) {
            runs.back().label = argv[++i];
        } else if (arg == "--set" && hasNext && std::strchr(argv[i + 1], '=')) {
            if (runs.empty() || !setting(argv[++i], parsed)) return usage("bad --set");
            runs.back().settings.push_back(parsed);
        } else if (arg == "--set" && i + 2 < argc) {
            byUri.emplace_back(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (arg.rfind("--", 0) == 0) {
            return usage(("unknown or incomplete option " + arg).c_str());
        } else {
            runs.push_back({arg, {}, {}, {}, {}});
        }
    }
    for (const auto& [uri, text] : byUri) {
        std::pair<std::string, float> parsed;
        if (!setting(text, parsed)) return usage(("bad setting " + text).c_str());
        for (Run& run : runs)
            if (run.uri == uri) run.settings.push_back(parsed);
    }
    if (runs.empty()) return usage("no plug-in URI given");

    const auto signal = makeSignal(static_cast<std::size_t>(seconds * kSampleRate));
    std::printf(
        "Signal: %.0f s stereo at %.0f kHz, peak -3.0 dBFS, RMS %.1f dBFS; block %u; best "
        "of %d passes after a %.0f s warm-up\n",
        seconds, kSampleRate / 1000.0, 20.0 * std::log10(rms(signal[0].data(), signal[0].size())),
        kBlock, kPasses, std::min(seconds, kWarmUpSeconds));
    tessel::lv2host::LilvHost host;
    const auto started = std::chrono::steady_clock::now();
    bool failed = false;
    for (Run& run : runs) {
        measure(host, run, signal);
        failed = failed || !run.error.empty();
        if (!run.error.empty())
            std::fprintf(stderr, "%s: %s\n", run.uri.c_str(), run.error.c_str());
    }

    // Rows: plug-in, URI, ns/sample, x realtime, time against the first measured plug-in,
    // and the output level against the input's (how much the compressor takes away).
    double reference = 0.0;
    for (const Run& run : runs)
        if (run.error.empty() && reference == 0.0) reference = run.seconds;
    std::vector<std::vector<std::string>> rows;
    for (const Run& run : runs) {
        std::string name = run.name.empty() ? run.uri : run.name;
        if (!run.label.empty()) name += " (" + run.label + ")";
        if (!run.error.empty()) {
            rows.push_back({name, run.uri, "failed", "", "", ""});  // why: on stderr
            continue;
        }
        rows.push_back({name, run.uri, fixed(run.nsPerSample, 2), fixed(seconds / run.seconds, 0),
                        fixed(run.seconds / reference, 2),
                        fixed(std::fabs(run.levelChangeDb) < 0.05 ? 0.0 : run.levelChangeDb, 1)});
    }
    const std::vector<std::string> header = {"Plug-in",    "URI",           "ns/sample",
                                             "x realtime", "time vs first", "level change dB"};
    std::vector<std::size_t> width(header.size());
    for (std::size_t c = 0; c < header.size(); ++c) {
        width[c] = header[c].size();
        for (const auto& row : rows)
            width[c] = std::max(width[c], row[c].size());
    }
    const auto printRow = [&](const std::vector<std::string>& row) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            line += (c == 0 ? "" : "  ") + (c < 2 ? row[c] + pad : pad + row[c]);
        }
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
    };
    printRow(header);
    for (const auto& row : rows)
        printRow(row);
    if (markdown) {
        std::printf("\n");
        for (std::size_t r = 0; r <= rows.size(); ++r) {
            const auto& row = r == 0 ? header : rows[r - 1];
            for (std::size_t c = 0; c < row.size(); ++c)
                std::printf(c == 1 && r > 0 ? "| `%s` " : "| %s ", row[c].c_str());
            std::printf(r == 0 ? "|\n|---|---|---:|---:|---:|---:|\n" : "|\n");
        }
    }
    std::printf("\nTotal time: %.1f s\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    return failed ? 1 : 0;
}
