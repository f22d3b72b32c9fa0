#include "common/command_line.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qel::tools {

namespace {

// getopt_long's codes for the options every tool has; a tool's own option i answers
// kFirstOwn + i.
constexpr int kHelp = 'h';
constexpr int kVersion = 1;
constexpr int kFirstOwn = 256;

std::string option_text(const char *arg) {
    std::string text = arg != nullptr ? arg : "";
    if (const size_t eq = text.find('='); eq != std::string::npos) text.resize(eq);
    return text;
}

}  // namespace

CommandLine parse_command_line(std::span<const OptionSpec> specs,
                               std::span<const std::string> args) {
    std::vector<option> table;
    for (size_t i = 0; i < specs.size(); ++i) {
        table.push_back({specs[i].name, specs[i].takes_value ? required_argument : no_argument,
                         nullptr, kFirstOwn + static_cast<int>(i)});
    }
    table.push_back({"help", no_argument, nullptr, kHelp});
    table.push_back({"version", no_argument, nullptr, kVersion});
    table.push_back({nullptr, 0, nullptr, 0});

    // getopt_long reorders its argv: it works on a copy, so the caller's stays as it was.
    std::vector<std::string> words{"tool"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    CommandLine line;
    opterr = 0;  // the messages are ours, in the tools' one-line form
    optind = 0;  // 0, not 1: glibc starts its scan afresh, as a tool's tests parse many lines
    const int argc = static_cast<int>(words.size());
    for (int code; (code = getopt_long(argc, argv.data(), ":h", table.data(), nullptr)) != -1;) {
        if (code == kHelp) {
            line.ask = CommandLine::Ask::help;
            return line;
        }
        if (code == kVersion) {
            line.ask = CommandLine::Ask::version;
            return line;
        }
        if (code == ':') {
            line.error = "option '" + option_text(argv[optind - 1]) + "' needs a value";
            return line;
        }
        if (code == '?') {
            const std::string text = option_text(argv[optind - 1]);
            if (optopt >= kFirstOwn || optopt == kHelp || optopt == kVersion) {
                line.error = "option '" + text + "' takes no value";
            } else if (optopt != 0) {
                line.error = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
            } else {
                line.error = "unknown option '" + text + "'";
            }
            return line;
        }
        const OptionSpec &spec = specs[static_cast<size_t>(code - kFirstOwn)];
        line.options.push_back({spec.name, optarg != nullptr ? optarg : ""});
    }
    for (int i = optind; i < argc; ++i) line.operands.emplace_back(argv[i]);
    return line;
}

CommandLine parse_command_line(std::span<const OptionSpec> specs, int argc, char **argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return parse_command_line(specs, args);
}

int usage_error(const char *tool, const std::string &message) {
    std::fprintf(stderr, "%s: %s (try --help)\n", tool, message.c_str());
    return kExitUsage;
}

int answer_command_line(const char *tool, const char *usage, CommandLine::Ask ask,
                        const std::string &error) {
    if (!error.empty()) return usage_error(tool, error);
    switch (ask) {
        case CommandLine::Ask::help:
            std::fputs(usage, stdout);
            return 0;
        case CommandLine::Ask::version:
            std::printf("%s %s\n", tool, QEL_PROJECT_VERSION);
            return 0;
        case CommandLine::Ask::run:
            break;
    }
    return -1;
}

uint64_t unsigned_value(const GivenOption &option, uint64_t min, uint64_t max) {
    const std::string &text = option.value;
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || ptr != end || value < min || value > max) {
        throw UsageError{"--" + option.name + ": '" + text + "' is not a number from " +
                         std::to_string(min) + " to " + std::to_string(max)};
    }
    return value;
}

double positive_value(const GivenOption &option, double max) {
    const std::string &text = option.value;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 ||
        value > max) {
        std::string message = "--" + option.name + ": '" + text + "' is not a number above 0";
        if (std::isfinite(max)) message += ", up to " + std::to_string(static_cast<uint64_t>(max));
        throw UsageError{message};
    }
    return value;
}

}  // namespace qel::tools
