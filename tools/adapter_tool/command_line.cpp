#include "adapter_tool/command_line.h"

#include <string_view>
#include <vector>

namespace qel::adapter_tool {

namespace {

struct Verb {
    std::string_view word;
    Action action;
    size_t operands;  // key, then name
};

constexpr Verb kVerbs[] = {
    {"list", Action::kList, 0},
    {"get-name", Action::kGetName, 1},
    {"set-name", Action::kSetName, 2},
    {"reset-name", Action::kResetName, 1},
    {"reset-all-names", Action::kResetAllNames, 0},
};

CommandLine failed(std::string why) {
    CommandLine line;
    line.error = std::move(why);
    return line;
}

}  // namespace

CommandLine parse_command_line(int argc, char **argv) {
    constexpr tools::OptionSpec kOptions[] = {{"json", false}};
    const tools::CommandLine given = tools::parse_command_line(kOptions, argc, argv);
    CommandLine line;
    line.ask = given.ask;
    line.error = given.error;
    line.json = !given.options.empty();
    if (given.ask != tools::CommandLine::Ask::run || !given.error.empty()) return line;
    // A name that begins with a dash comes after "--", which ends the options.
    const std::vector<std::string> &words = given.operands;
    if (words.empty()) return line;  // list
    const Verb *verb = nullptr;
    for (const Verb &candidate : kVerbs) {
        if (candidate.word == words[0]) verb = &candidate;
    }
    if (verb == nullptr) return failed("unknown command '" + words[0] + "'");
    if (words.size() - 1 != verb->operands) {
        const char *wanted = verb->operands == 0   ? "no operands"
                             : verb->operands == 1 ? "a KEY"
                                                   : "a KEY and a NAME";
        return failed(std::string(verb->word) + " takes " + wanted);
    }
    line.action = verb->action;
    if (verb->operands >= 1) line.key = words[1];
    if (verb->operands >= 2) line.name = words[2];
    return line;
}

const char *usage_text() {
    return "Usage: qel-adapter [list] [--json]\n"
           "       qel-adapter get-name KEY [--json]\n"
           "       qel-adapter set-name KEY NAME\n"
           "       qel-adapter reset-name KEY\n"
           "       qel-adapter reset-all-names\n"
           "Lists the adapter boards, or reads and changes the names the driver keeps for them.\n"
           "KEY is M= and a MAC address (M=02:1a:2b:3c:4d:5e) or S= and a serial number;\n"
           "a NAME that begins with a dash follows \"--\".\n"
           "  --json       the board list or the name as one JSON object\n"
           "  -h, --help   show this text and exit\n"
           "  --version    show the version and exit\n"
           "Exit status: 0 done, 1 the operation failed, 2 bad arguments.\n";
}

}  // namespace qel::adapter_tool
