// qel-adapter's command line: what to do, on which key, and in which output form.
#pragma once

#include <span>
#include <string>

namespace qel::adapter_tool {

enum class Action { kList, kGetName, kSetName, kResetName, kResetAllNames, kHelp };

struct CommandLine {
    Action action = Action::kList;
    std::string key;   // get-name, set-name, reset-name
    std::string name;  // set-name
    bool json = false;
    std::string error;  // non-empty when the arguments make no command; one line, no newline
};

// Parses the arguments after the program name.
CommandLine parse_command_line(std::span<const char *const> args);

// The usage text printed by --help.
const char *usage_text();

}  // namespace qel::adapter_tool
