// The driver's view of the boards, gathered for interface discovery: one entry per board.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qel::hux {

struct hux_board_entry {
    uint32_t board = 0;      // board index, 0 to count-1
    uint32_t info = 0;       // TREL_GET_BOARD_INFO's answer, carried as is
    uint64_t nic_id = 0;     // factory MAC, 48 bits
    uint32_t endpt_max = 0;  // TREL_GET_ENDPT_MAX's answer
    uint32_t link_up = 0;    // 0 or 1
    uint64_t host_mac = 0;   // MAC of the board's host interface; the NIC id when unknown
};

// More boards than this is not a count a driver can mean; it is refused as memory would be.
constexpr uint32_t kBoardCountLimit = 1024;

// Asks the driver, on one control handle, for every board's identity. Returns 0 with the
// table (empty when the driver reports no boards), or the status of opening a board, of a
// failed command, or 12 when the table cannot be allocated.
int build_board_table(std::vector<hux_board_entry> &table);

// A MAC address in a 64-bit word: 48 bits, first octet in bits 40-47.
constexpr uint64_t kMacMask = 0xFFFF'FFFF'FFFF;

// Position of the first entry whose host MAC (its 48 bits) is `mac`.
std::optional<size_t> board_of_mac(std::span<const hux_board_entry> table, uint64_t mac);

}  // namespace qel::hux
