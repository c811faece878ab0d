#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel {

/// The text form of a preset as lines of sections and entries, read leniently: a line feed, a
/// carriage return or both end a line; leading blanks and tabs and blank lines are skipped;
/// blanks around a section name, before the "=" and around a value are trimmed; a value in
/// double quotes keeps its blanks; backslash escapes (\n, \r, \", \\) are undone in every value.
/// Syntax errors are numbered and the first one is kept, for the whole text and per section:
/// kEmptyKey, kEmptySectionName, kMissingEquals (the line still counts as a key with an empty
/// value), kMissingBracket, kTextAfterBracket. Entries before the first section belong to a
/// section with an empty name. A key ends at the first "=" not escaped by a backslash. Never throws
/// for any input but allocation failure; the text's size bounds what it allocates.
class PresetTextReader {
public:
    enum Error : int {
        kNoError = 0,
        kEmptyKey = 1,
        kEmptySectionName = 2,
        kMissingEquals = 3,
        kMissingBracket = 4,
        kTextAfterBracket = 5,
    };
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
        int error = kNoError;  ///< first syntax error inside this section
    };

    explicit PresetTextReader(std::string_view text);

    const std::vector<Section>& sections() const noexcept { return sections_; }
    /// The first section with this name, or null.
    const Section* section(std::string_view name) const noexcept;
    int error() const noexcept { return error_; }

private:
    void readLine(std::string_view line);
    void fail(int error);

    std::vector<Section> sections_;
    int error_ = kNoError;
};

/// Writes the text form: "[name]" lines, each but the first preceded by an empty line, and
/// key=value entries, lines ended by a line feed. Numbers use "%.15g", which gives every float
/// back bit for bit; string values are escaped, and quoted when they hold a blank or tab. Keys
/// are escaped too, with "=" and "[" as well, so that any custom setting's key comes back.
class PresetTextWriter {
public:
    void section(std::string_view name);
    void entry(std::string_view key, std::string_view value);
    void entry(std::string_view key, double number);
    const std::string& text() const noexcept { return text_; }

private:
    void escape(std::string_view text, bool key);

    std::string text_;
};

/// Parses a whole decimal number (blanks around it and a leading "+" allowed), in any locale;
/// false for anything else, including non-finite results.
bool parsePresetNumber(std::string_view text, double& number);

}  // namespace tessel
