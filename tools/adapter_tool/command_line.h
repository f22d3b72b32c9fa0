// qel-adapter's command line: what to do, on which key, and in which output form.
#pragma once

#include <string>

#include "common/command_line.h"

namespace qel::adapter_tool {

enum class Action { kList, kGetName, kSetName, kResetName, kResetAllNames };

struct CommandLine {
    tools::CommandLine::Ask ask = tools::CommandLine::Ask::run;
    Action action = Action::kList;
    std::string key;   // get-name, set-name, reset-name
    std::string name;  // set-name
    bool json = false;
    std::string error;  // non-empty when the arguments make no command; one line, no newline
};

CommandLine parse_command_line(int argc, char **argv);

// The usage text printed by --help.
const char *usage_text();

}  // namespace qel::adapter_tool
