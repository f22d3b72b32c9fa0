// --board NAME: the board a person named with qel-adapter set-name, found by that name.
#pragma once

#include <string>

namespace qel::recv_tool {

struct BoardAddress {
    std::string address;  // dotted IPv4 address of the board's interface
    std::string error;    // one line when no single address answers to the name
};

// The address of the board stored under `name` (by its NIC id or its serial number). The
// library must be initialised.
[[nodiscard]] BoardAddress board_address(const std::string &name);

}  // namespace qel::recv_tool
