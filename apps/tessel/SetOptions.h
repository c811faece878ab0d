#pragma once

#include <ostream>

#include "CommandLine.h"

namespace tessel {
class PresetDocument;
}

namespace tessel::cli {

/// Applies every --set "NAME=TEXT" of the command line to the document in the order given:
/// NAME is split at the first "=" and looked up exactly, then ignoring case; TEXT is read the
/// way the parameter reads typed text. Returns 0, or after one line on err the exit status: 2
/// for an option without "=", 1 for an unknown name or a text that does not parse.
int applySetOptions(const CommandLine& line, PresetDocument& document, std::ostream& err);

}  // namespace tessel::cli
