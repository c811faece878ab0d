#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace tessel::cli {

/// The arguments of one subcommand: options of the form `--name value` or `--name=value`, bare
/// flags (`--json`, `--help`) and positional words. Parsing checks every option against the
/// subcommand's lists, so a misspelt option is an error rather than silently ignored.
class CommandLine {
public:
    /// valueOptions take a value; flags take none. Returns nullopt and sets error on a bad word.
    static std::optional<CommandLine> parse(const std::vector<std::string>& words,
                                            const std::set<std::string>& valueOptions,
                                            const std::set<std::string>& flags, std::string& error);

    bool has(const std::string& name) const {
        return values_.count(name) != 0 || flags_.count(name) != 0;
    }
    const std::string* value(const std::string& name) const;
    const std::vector<std::string>& positional() const noexcept { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

/// Parses a whole decimal number (no trailing garbage, finite); nullopt otherwise.
std::optional<double> parseNumber(const std::string& text);

}  // namespace tessel::cli
