// What qel-adapter reports of each board, gathered through the library's exported calls and
// the driver's board-level commands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qel::adapter_tool {

struct InterfaceAddress {
    std::string address;    // dotted decimal
    uint32_t prefix = 0;    // netmask as a prefix length
    std::string interface;  // the host's name for the interface (eth0); empty when unknown
};

struct BoardReport {
    uint32_t board = 0;
    std::string nic_id;  // xx:xx:xx:xx:xx:xx
    bool link_up = false;
    uint32_t endpoints = 0;
    std::vector<uint32_t> endpoints_in_use;
    std::string serial;  // empty when the driver gave none
    std::vector<InterfaceAddress> addresses;
    std::optional<std::string> name_by_mac;     // stored under "M=<nic id>"
    std::optional<std::string> name_by_serial;  // stored under "S=<serial>"
};

struct BoardList {
    int status = 0;       // 0, or the library's code of the step that failed
    std::string failure;  // that step, for the message
    std::vector<BoardReport> boards;
};

// The boards that the driver reports, in board-number order. Endpoints in use are found by
// trying to attach each endpoint and releasing it at once: an endpoint that another handle
// holds answers busy. A stream opened at that very moment may skip the endpoint being tried and
// take the next free one, as it does for any endpoint in use.
BoardList collect_boards();

// The name keys of a board, as qel_set_name takes them.
std::string mac_key(const BoardReport &board);
std::string serial_key(const BoardReport &board);  // empty when the serial makes no key

}  // namespace qel::adapter_tool
