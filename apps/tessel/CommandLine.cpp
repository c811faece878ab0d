#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

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
            line.values_[name] = *inlineValue;
        } else {
            error = "unknown option --" + name;
            return std::nullopt;
        }
    }
    return line;
}

const std::string* CommandLine::value(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second;
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
