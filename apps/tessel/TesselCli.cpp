#include "TesselCli.h"

namespace tessel::cli {

namespace {

constexpr const char* kUsage =
    "usage: tessel <command> [options]\n"
    "\n"
    "commands:\n"
    "  params    every parameter: identifier, name, kind, default, range and choices\n"
    "  param     one parameter's value, normalised value, linear value and text\n"
    "  latency   the plug-in's latency in samples and its three parts\n"
    "  layout    how bands placed on the frequency axis become model bands and crossovers\n"
    "  preset    show, convert and write preset files (.vtp)\n"
    "  process   run audio files through Tessel, with a summary and an optional report picture\n"
    "  demo      render a built-in demo signal with our presets in every processing mode\n"
    "\n"
    "Run 'tessel <command> --help' for a command's options.\n";

}  // namespace

int run(const std::vector<std::string>& words, std::ostream& out, std::ostream& err) {
    if (words.empty()) {
        err << kUsage;
        return 2;
    }
    const std::string& command = words[0];
    const std::vector<std::string> rest(words.begin() + 1, words.end());
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage;
        return 0;
    }
    if (command == "params") return runParams(rest, out, err);
    if (command == "param") return runParam(rest, out, err);
    if (command == "latency") return runLatency(rest, out, err);
    if (command == "layout") return runLayout(rest, out, err);
    if (command == "preset") return runPreset(rest, out, err);
    if (command == "process") return runProcess(rest, out, err);
    if (command == "demo") return runDemo(rest, out, err);
    err << "tessel: unknown command '" << command << "' (try 'tessel --help')\n";
    return 2;
}

}  // namespace tessel::cli
