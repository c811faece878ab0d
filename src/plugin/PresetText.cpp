#include "plugin/PresetText.h"

#include <charconv>
#include <cmath>

namespace tessel {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Undoes the escapes; an unknown escape keeps the character after the backslash. With
// `trimTail` (keys), trailing blanks are dropped unless escaped; the line's leading blanks are
// gone already, so an escaped one at the start stays.
std::string unescaped(std::string_view text, bool trimTail = false) {
    std::string out;
    out.reserve(text.size());
    std::size_t keep = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        const bool escaped = c == '\\' && i + 1 < text.size();
        if (escaped) {
            c = text[++i];
            if (c == 'n')
                c = '\n';
            else if (c == 'r')
                c = '\r';
        }
        out += c;
        if (escaped || !isBlank(c)) keep = out.size();
    }
    if (trimTail) out.resize(keep);
    return out;
}

std::string valueOf(std::string_view raw) {
    raw = trimmed(raw);
    if (raw.size() >= 2 && raw.front() == '"') {
        // The closing quote is the first one not escaped; anything after it is ignored.
        for (std::size_t i = 1; i < raw.size(); ++i) {
            if (raw[i] == '\\') {
                ++i;
            } else if (raw[i] == '"') {
                return unescaped(raw.substr(1, i - 1));
            }
        }
    }
    return unescaped(raw);
}

}  // namespace

PresetTextReader::PresetTextReader(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        readLine(text.substr(start, end - start));
        start = end;
        if (start < text.size() && text[start] == '\r') ++start;
        if (start < text.size() && text[start] == '\n') ++start;
    }
}

void PresetTextReader::fail(int error) {
    if (error_ == kNoError) error_ = error;
    if (!sections_.empty() && sections_.back().error == kNoError) sections_.back().error = error;
}

void PresetTextReader::readLine(std::string_view line) {
    while (!line.empty() && isBlank(line.front()))
        line.remove_prefix(1);
    if (trimmed(line).empty()) return;
    if (line.front() == '[') {
        const std::size_t close = line.find(']');
        sections_.push_back({});
        const std::string_view name =
            trimmed(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
        sections_.back().name.assign(name);
        if (close == std::string_view::npos) {
            fail(kMissingBracket);
        } else if (!trimmed(line.substr(close + 1)).empty()) {
            fail(kTextAfterBracket);
        } else if (name.empty()) {
            fail(kEmptySectionName);
        }
        return;
    }
    if (sections_.empty()) sections_.push_back({});
    // The key ends at the first "=" that is not escaped.
    std::size_t equals = 0;
    while (equals < line.size() && line[equals] != '=')
        equals += line[equals] == '\\' ? 2 : 1;
    if (equals >= line.size()) equals = std::string_view::npos;
    Entry entry;
    entry.key = unescaped(line.substr(0, equals), true);
    if (equals == std::string_view::npos) {
        fail(kMissingEquals);
    } else {
        entry.value = valueOf(line.substr(equals + 1));
        if (entry.key.empty()) fail(kEmptyKey);
    }
    sections_.back().entries.push_back(std::move(entry));
}

const PresetTextReader::Section* PresetTextReader::section(std::string_view name) const noexcept {
    for (const Section& s : sections_)
        if (s.name == name) return &s;
    return nullptr;
}

void PresetTextWriter::section(std::string_view name) {
    if (!text_.empty()) text_ += '\n';
    text_ += '[';
    text_ += name;
    text_ += "]\n";
}

void PresetTextWriter::escape(std::string_view text, bool key) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        switch (c) {
            case '\n':
                text_ += "\\n";
                break;
            case '\r':
                text_ += "\\r";
                break;
            case '"':
                text_ += "\\\"";
                break;
            case '\\':
                text_ += "\\\\";
                break;
            case '=':
            case '[':
                // Only in a key: an "=" would end it, a "[" in front would start a section.
                if (key) text_ += '\\';
                text_ += c;
                break;
            case ' ':
            case '\t':
                // A key's blanks at either end would be trimmed away.
                if (key && (i == 0 || i + 1 == text.size())) text_ += '\\';
                text_ += c;
                break;
            default:
                text_ += c;
        }
    }
}

void PresetTextWriter::entry(std::string_view key, std::string_view value) {
    const bool quoted = value.find_first_of(" \t") != std::string_view::npos;
    escape(key, true);
    text_ += '=';
    if (quoted) text_ += '"';
    escape(value, false);
    if (quoted) text_ += '"';
    text_ += '\n';
}

void PresetTextWriter::entry(std::string_view key, double number) {
    // What "%.15g" gives, independent of the process's locale.
    char buffer[40];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, number, std::chars_format::general, 15);
    entry(key, std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)));
}

bool parsePresetNumber(std::string_view text, double& number) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    // Independent of the process's locale, unlike strtod.
    const auto result = std::from_chars(text.data(), text.data() + text.size(), number);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(number);
}

}  // namespace tessel
