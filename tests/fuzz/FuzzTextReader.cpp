// Fuzzes the text form's line reader and its number parser. The reader's first error is the first
// section's error; whatever it read, the writer writes so that it reads back as the same sections
// and entries. A value that parses as a number holds nothing but a decimal number, and as a float
// it is written and parsed back bit for bit.
#include <bit>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "FuzzChecks.h"
#include "plugin/PresetText.h"

using namespace tessel;
using fuzz::require;

namespace {

void checkNumber(std::string_view value) {
    double number = 0.0;
    if (!parsePresetNumber(value, number)) return;
    require(std::isfinite(number) && value.find_first_not_of(" \t+-.0123456789eE") == value.npos);
    const auto single = static_cast<float>(number);
    if (!std::isfinite(single)) return;
    PresetTextWriter writer;
    writer.entry("Value", static_cast<double>(single));
    const PresetTextReader reader(writer.text());
    double back = 0.0;
    require(parsePresetNumber(reader.sections().at(0).entries.at(0).value, back) &&
            std::bit_cast<uint32_t>(static_cast<float>(back)) == std::bit_cast<uint32_t>(single));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const PresetTextReader reader(std::string_view(reinterpret_cast<const char*>(data), size));
    PresetTextWriter writer;
    int firstError = PresetTextReader::kNoError;
    for (const PresetTextReader::Section& section : reader.sections()) {
        if (firstError == PresetTextReader::kNoError) firstError = section.error;
        writer.section(section.name);
        for (const PresetTextReader::Entry& entry : section.entries) {
            writer.entry(entry.key, entry.value);
            checkNumber(entry.value);
        }
    }
    require(reader.error() == firstError);
    const PresetTextReader again(writer.text());
    require(again.sections().size() == reader.sections().size());
    for (std::size_t s = 0; s < reader.sections().size(); ++s) {
        const PresetTextReader::Section& before = reader.sections()[s];
        const PresetTextReader::Section& after = again.sections()[s];
        require(after.name == before.name && after.entries.size() == before.entries.size());
        for (std::size_t e = 0; e < before.entries.size(); ++e)
            require(after.entries[e].key == before.entries[e].key &&
                    after.entries[e].value == before.entries[e].value);
    }
    return 0;
}
