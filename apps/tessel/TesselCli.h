#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tessel::cli {

/// Runs the tessel command line (the words after the program name), writing results to out and
/// one-line errors to err. Returns the process exit status: 0 success, 1 a well-formed request
/// that failed (e.g. text that does not parse), 2 a usage error.
int run(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

/// Subcommands, each taking its own words (after the subcommand name).
int runLatency(const std::vector<std::string>& words, std::ostream& out, std::ostream& err);

}  // namespace tessel::cli
