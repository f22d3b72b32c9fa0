// The adapter-name commands of the control device: TREL_SET_NAME, TREL_GET_NAME,
// TREL_RESET_NAME and TREL_RESET_ALL_NAMES.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter/driver/boards.h"
#include "core/driver.h"

namespace qel::adapter {

bool is_name_command(uint32_t code);

// Answers one name command. Returns 0 or a host error value.
uint32_t answer_name_command(const std::vector<Board> &boards, uint32_t code, void *record,
                             uint32_t length);

// The canonical key (names_file.h) of a name record's key field: six MAC octets, or "S=" text
// NUL-terminated within the field; nothing when it is neither.
std::optional<std::string> key_of_record(const driver::NameRecord &record);

// Whether `key` names a board of `boards` (by its MAC, or by its serial number).
bool key_names_a_board(const std::vector<Board> &boards, const std::string &key);

}  // namespace qel::adapter
