#include <string>

#include "CommandLine.h"
#include "TesselCli.h"
#include "engine/tessel/TesselLatency.h"

namespace tessel::cli {

namespace {

constexpr const char* kLatencyUsage =
    "usage: tessel latency [--rate HZ] [--mode linear|dynamic|minimum] [--lookahead on|off]\n"
    "                      [--oversampling off|2x|4x]\n"
    "\n"
    "Prints the latency in samples that the plug-in reports to its host, and its three parts.\n"
    "Defaults: --rate 44100 --mode dynamic --lookahead on --oversampling off (the plug-in's\n"
    "defaults).\n";

}  // namespace

bool parseModeOption(const CommandLine& line, ProcessingMode& mode, std::ostream& err) {
    const std::string* text = line.value("mode");
    if (text == nullptr) return true;
    if (*text == "linear") {
        mode = ProcessingMode::kLinearPhase;
    } else if (*text == "dynamic") {
        mode = ProcessingMode::kDynamicPhase;
    } else if (*text == "minimum") {
        mode = ProcessingMode::kMinimumPhase;
    } else {
        err << "tessel: --mode must be linear, dynamic or minimum, not '" << *text << "'\n";
        return false;
    }
    return true;
}

bool parseRateOption(const CommandLine& line, const char* command, double& rateHz,
                     std::ostream& err) {
    const std::string* text = line.value("rate");
    if (text == nullptr) return true;
    const auto v = parseNumber(*text);
    if (!v || *v < 1000.0 || *v > 1536000.0) {
        err << "tessel " << command
            << ": --rate must be a sample rate in Hz from 1000 to 1536000, not '" << *text << "'\n";
        return false;
    }
    rateHz = *v;
    return true;
}

int runLatency(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    std::string error;
    const auto line =
        CommandLine::parse(words, {"rate", "mode", "lookahead", "oversampling"}, {"help"}, error);
    if (!line) {
        err << "tessel latency: " << error << "\n";
        return 2;
    }
    if (line->has("help")) {
        out << kLatencyUsage;
        return 0;
    }
    if (!line->positional().empty()) {
        err << "tessel latency: unexpected argument '" << line->positional().front() << "'\n";
        return 2;
    }
    double rateHz = 44100.0;
    if (!parseRateOption(*line, "latency", rateHz, err)) return 2;
    ProcessingMode mode = ProcessingMode::kDynamicPhase;
    if (!parseModeOption(*line, mode, err)) return 2;
    bool lookahead = true;
    if (const std::string* text = line->value("lookahead")) {
        if (*text != "on" && *text != "off") {
            err << "tessel latency: --lookahead must be on or off, not '" << *text << "'\n";
            return 2;
        }
        lookahead = *text == "on";
    }
    int oversampling = 0;
    if (const std::string* text = line->value("oversampling")) {
        if (*text == "off") {
            oversampling = 0;
        } else if (*text == "2x") {
            oversampling = 1;
        } else if (*text == "4x") {
            oversampling = 2;
        } else {
            err << "tessel latency: --oversampling must be off, 2x or 4x, not '" << *text << "'\n";
            return 2;
        }
    }
    const TesselLatency latency = TesselLatency::compute(rateHz, mode, lookahead, oversampling);
    out << "latency: " << latency.total() << " samples\n"
        << "  lookahead:    " << latency.lookaheadSamples << "\n"
        << "  linear phase: " << latency.linearPhaseSamples << "\n"
        << "  oversampling: " << latency.oversamplingSamples << "\n";
    return 0;
}

}  // namespace tessel::cli
