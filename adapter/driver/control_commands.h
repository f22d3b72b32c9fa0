// The board-level driver commands, answered from the board list.
#pragma once

#include <cstdint>
#include <vector>

#include "adapter/driver/boards.h"

namespace qel::adapter {

// Whether `code` is a command of the control device.
bool is_control_command(uint32_t code);

// Answers one control command. Returns 0 or a host error value.
uint32_t answer_control_command(const std::vector<Board> &boards, uint32_t code, void *record,
                                uint32_t length);

}  // namespace qel::adapter
