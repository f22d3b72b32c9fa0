// The command-line conventions every qel tool follows: long options as "--name value" or
// "--name=value", -h and --help (usage on standard output, exit 0), --version (one line, exit
// 0), and one line on standard error with exit 2 for anything the tool cannot take.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace qel::tools {

inline constexpr int kExitUsage = 2;

struct OptionSpec {
    const char *name;  // without the dashes
    bool takes_value;
};

// One option as given, in command-line order; value is empty for a flag.
struct GivenOption {
    std::string name;
    std::string value;
};

struct CommandLine {
    enum class Ask : uint8_t { run, help, version };
    Ask ask = Ask::run;
    std::vector<GivenOption> options;
    std::vector<std::string> operands;  // in order; everything after "--" is one
    std::string error;                  // one line; non-empty when the line is refused
};

// Parses the arguments after the program name. -h, --help and --version are understood
// besides `specs`.
[[nodiscard]] CommandLine parse_command_line(std::span<const OptionSpec> specs,
                                             std::span<const std::string> args);
[[nodiscard]] CommandLine parse_command_line(std::span<const OptionSpec> specs, int argc,
                                             char **argv);

// What a tool prints for --help, --version or a refused line, and the status to exit with; -1
// when the tool is to run.
int answer_command_line(const char *tool, const char *usage, CommandLine::Ask ask,
                        const std::string &error);

// "tool: message (try --help)" on standard error; returns kExitUsage.
int usage_error(const char *tool, const std::string &message);

// A value an option cannot take; the message names the option and the value.
struct UsageError {
    std::string message;
};

// Whole decimal numbers within [min, max], and positive decimal fractions up to max; they
// throw UsageError otherwise.
uint64_t unsigned_value(const GivenOption &option, uint64_t min, uint64_t max);
double positive_value(const GivenOption &option,
                      double max = std::numeric_limits<double>::infinity());

}  // namespace qel::tools
