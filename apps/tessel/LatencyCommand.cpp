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
    // The choices in the order of the Processing Mode parameter's values.
    int index = static_cast<int>(mode);
    if (!line.choice("mode", {"linear", "dynamic", "minimum"}, index, err)) return false;
    mode = static_cast<ProcessingMode>(index);
    return true;
}

bool parseRateOption(const CommandLine& line, double& rateHz, std::ostream& err) {
    return line.number("rate", 1000.0, 1536000.0, "a sample rate in Hz", rateHz, err);
}

int runLatency(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    int status = 2;
    const auto line = CommandLine::parse(
        {"latency", kLatencyUsage, {"rate", "mode", "lookahead", "oversampling"}, {}, 0}, words,
        out, err, status);
    if (!line) return status;
    double rateHz = 44100.0;
    ProcessingMode mode = ProcessingMode::kDynamicPhase;
    int lookahead = 0;  // index of "on"
    int oversampling = 0;
    if (!parseRateOption(*line, rateHz, err) || !parseModeOption(*line, mode, err) ||
        !line->choice("lookahead", {"on", "off"}, lookahead, err) ||
        !line->choice("oversampling", {"off", "2x", "4x"}, oversampling, err))
        return 2;
    const TesselLatency latency =
        TesselLatency::compute(rateHz, mode, lookahead == 0, oversampling);
    out << "latency: " << latency.total() << " samples\n"
        << "  lookahead:    " << latency.lookaheadSamples << "\n"
        << "  linear phase: " << latency.linearPhaseSamples << "\n"
        << "  oversampling: " << latency.oversamplingSamples << "\n";
    return 0;
}

}  // namespace tessel::cli
