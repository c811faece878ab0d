#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>

namespace tessel::cli {

std::optional<CommandLine> CommandLine::parse(const std::vector<std::string>& words,
                                              const std::set<std::string>& valueOptions,
                                              const std::set<std::string>& flags,
                                              std::string& error) {
    CommandLine line;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            line.positional_.push_back(word);
            continue;
        }
        std::string name = word.substr(2);
        std::optional<std::string> inlineValue;
        if (const std::size_t eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        if (flags.count(name) != 0) {
            if (inlineValue) {
                error = "option --" + name + " takes no value";
                return std::nullopt;
            }
            line.flags_.insert(name);
        } else if (valueOptions.count(name) != 0) {
            if (!inlineValue) {
                if (i + 1 >= words.size()) {
                    error = "option --" + name + " needs a value";
                    return std::nullopt;
                }
                inlineValue = words[++i];
            }
            line.values_[name].push_back(*inlineValue);
        } else {
            error = "unknown option --" + name;
            return std::nullopt;
        }
    }
    return line;
}

std::optional<CommandLine> CommandLine::parse(const CommandSpec& definition,
                                              const std::vector<std::string>& words,
                                              std::ostream& out, std::ostream& err, int& status) {
    std::set<std::string> flags = definition.flags;
    flags.insert("help");
    std::string error;
    std::optional<CommandLine> line = parse(words, definition.valueOptions, flags, error);
    status = 2;
    if (!line) {
        err << "tessel " << definition.name << ": " << error << "\n";
        return std::nullopt;
    }
    line->command_ = definition.name;
    if (line->has("help")) {
        out << definition.usage;
        status = 0;
        return std::nullopt;
    }
    if (line->positional().size() > definition.maxPositional) {
        line->fail(err) << "unexpected argument '" << line->positional()[definition.maxPositional]
                        << "' (try 'tessel " << definition.name << " --help')\n";
        return std::nullopt;
    }
    return line;
}

bool CommandLine::choice(const std::string& name, std::initializer_list<const char*> choices,
                         int& index, std::ostream& err) const {
    const std::string* text = value(name);
    if (text == nullptr) return true;
    int i = 0;
    for (const char* c : choices) {
        if (*text == c) {
            index = i;
            return true;
        }
        ++i;
    }
    fail(err) << "--" << name << " must be ";
    i = 0;
    for (const char* c : choices) {
        err << (i == 0 ? "" : i + 1 == static_cast<int>(choices.size()) ? " or " : ", ") << c;
        ++i;
    }
    err << ", not '" << *text << "'\n";
    return false;
}

bool CommandLine::number(const std::string& name, double low, double high, const char* what,
                         double& value, std::ostream& err) const {
    const std::string* text = this->value(name);
    if (text == nullptr) return true;
    const auto v = parseNumber(*text);
    if (!v || *v < low || *v > high) {
        std::ostringstream range;  // whole numbers in full, never in exponent form
        range << std::setprecision(12) << low << " to " << high;
        fail(err) << "--" << name << " must be " << what << " from " << range.str() << ", not '"
                  << *text << "'\n";
        return false;
    }
    value = *v;
    return true;
}

const std::string* CommandLine::value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second.back();
}

std::vector<std::string> CommandLine::values(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::vector<std::string>() : it->second;
}

std::optional<double> parseNumber(const std::string& text) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || errno == ERANGE || !std::isfinite(v))
        return std::nullopt;
    return v;
}

}  // namespace tessel::cli
