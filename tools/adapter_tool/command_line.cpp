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

CommandLine parse_command_line(std::span<const char *const> args) {
    CommandLine line;
    std::vector<std::string_view> words;
    bool options_done = false;
    for (const char *arg : args) {
        std::string_view word = arg != nullptr ? arg : "";
        // After "--" everything is an operand, so a name may begin with a dash.
        if (!options_done && word == "--") {
            options_done = true;
        } else if (!options_done && word == "--json") {
            line.json = true;
        } else if (!options_done && (word == "--help" || word == "-h")) {
            line.action = Action::kHelp;
            return line;
        } else if (!options_done && word.size() > 1 && word[0] == '-') {
            return failed("unknown option '" + std::string(word) + "'");
        } else {
            words.push_back(word);
        }
    }
    if (words.empty()) return line;  // list
    const Verb *verb = nullptr;
    for (const Verb &candidate : kVerbs) {
        if (candidate.word == words[0]) verb = &candidate;
    }
    if (verb == nullptr) return failed("unknown command '" + std::string(words[0]) + "'");
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
    return "usage: qel-adapter [list] [--json]\n"
           "       qel-adapter get-name KEY [--json]\n"
           "       qel-adapter set-name KEY NAME\n"
           "       qel-adapter reset-name KEY\n"
           "       qel-adapter reset-all-names\n"
           "Lists the adapter boards, or reads and changes the names the driver keeps for them.\n"
           "KEY is M= and a MAC address (M=02:1a:2b:3c:4d:5e) or S= and a serial number.\n"
           "Exit status: 0 done, 1 the operation failed, 2 bad arguments.\n";
}

}  // namespace qel::adapter_tool
