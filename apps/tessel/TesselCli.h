#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "params/TesselEnumerations.h"

namespace tessel::cli {

/// Runs the tessel command line (the words after the program name), writing results to out and
/// one-line errors to err. Returns the process exit status: 0 success, 1 a well-formed request
/// that failed (e.g. text that does not parse), 2 a usage error.
int run(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

/// Subcommands, each taking its own words (after the subcommand name).
int runLatency(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runParams(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runParam(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runLayout(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runPreset(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runProcess(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);
int runDemo(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

/// Reads --mode (linear, dynamic or minimum) into mode when present; false with a message on
/// err for any other word.
bool parseModeOption(const CommandLine& line, ProcessingMode& mode, std::ostream& err);
/// Reads --rate (a sample rate in Hz, 1000 to 1536000) into rateHz when present; false with a
/// message on err otherwise.
bool parseRateOption(const CommandLine& line, double& rateHz, std::ostream& err);

}  // namespace tessel::cli
