// The software adapter's boards: host network interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::adapter {

struct Board {
    std::string interface;  // host interface name
    uint32_t if_index = 0;
    uint64_t mac = 0;  // MAC form: 48 bits, first octet in bits 40-47; 0 for loopback
    bool running = false;
    bool mac_shared = false;  // another board presents the same MAC
};

// The boards now present: the interfaces named by QEL_ADAPTER_IFACES (comma-separated, in that
// order), or else every interface that is up and carries an IPv4 address, in interface-index
// order.
std::vector<Board> discover_boards();

// Endpoints per board: QEL_ADAPTER_ENDPOINTS, default 8.
uint32_t endpoints_per_board();

// A stable serial number of at most 24 characters, derived from the MAC (and the board number
// where boards share a MAC).
std::string board_serial(const Board &board, uint32_t board_number);

// Whether the host clock is synchronised, as the time-source state reports it.
bool host_clock_synchronised();

}  // namespace qel::adapter
