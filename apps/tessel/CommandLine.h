#pragma once

#include <cstddef>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace tessel::cli {

/// What a subcommand accepts: its name (for messages), the text --help prints, its value
/// options and flags (--help is always accepted), and at most how many positional words.
struct CommandSpec {
    std::string name;
    const char* usage = "";
    std::set<std::string> valueOptions;
    std::set<std::string> flags;
    std::size_t maxPositional = std::numeric_limits<std::size_t>::max();
};

/// The arguments of one subcommand: options of the form `--name value` or `--name=value`, bare
/// flags (`--json`, `--help`) and positional words. Parsing checks every option against the
/// subcommand's lists, so a misspelt option is an error rather than silently ignored.
class CommandLine {
public:
    /// valueOptions take a value; flags take none. Returns nullopt and sets error on a bad word.
    static std::optional<CommandLine> parse(const std::vector<std::string>& words,
                                            const std::set<std::string>& valueOptions,
                                            const std::set<std::string>& flags, std::string& error);

    /// Parses a subcommand's words against its definition. --help prints the usage on out (status
    /// 0); a bad word prints one line "tessel NAME: reason" on err (status 2); both give nullopt.
    static std::optional<CommandLine> parse(const CommandSpec& definition,
                                            const std::vector<std::string>& words,
                                            std::ostream& out, std::ostream& err, int& status);

    bool has(const std::string& name) const {
        return values_.count(name) != 0 || flags_.count(name) != 0;
    }
    /// The value of option `name` (the last one when it was given several times), or null.
    const std::string* value(const std::string& name) const;
    /// Every value given for option `name`, in command-line order (empty when absent).
    std::vector<std::string> values(const std::string& name) const;
    const std::vector<std::string>& positional() const noexcept { return positional_; }

    /// Reads option `name`, which must be one of choices, as an index into them (index is left
    /// alone when the option is absent). False with a message on err otherwise.
    bool choice(const std::string& name, std::initializer_list<const char*> choices, int& index,
                std::ostream& err) const;
    /// Reads option `name` as a number from low to high (value left alone when absent); false
    /// with "--NAME must be WHAT from LOW to HIGH" on err otherwise.
    bool number(const std::string& name, double low, double high, const char* what, double& value,
                std::ostream& err) const;
    /// Starts a one-line error: "tessel NAME: ". Callers finish the line.
    std::ostream& fail(std::ostream& err) const { return err << "tessel " << command_ << ": "; }

private:
    std::string command_;
    std::map<std::string, std::vector<std::string>> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
};

/// Parses a whole decimal number (no trailing garbage, finite); nullopt otherwise.
std::optional<double> parseNumber(const std::string& text);

}  // namespace tessel::cli
