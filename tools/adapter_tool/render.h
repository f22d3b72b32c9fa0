// qel-adapter's two output forms of the board list: lines for people, JSON for scripts.
#pragma once

#include <string>

#include "adapter_tool/board_list.h"

namespace qel::adapter_tool {

// `name` with its control characters shown as '?', for a terminal.
std::string printable_name(const std::string &name);

std::string render_text(const BoardList &list);
// One JSON object: {"boards": [...]}, ending in a newline.
std::string render_json(const BoardList &list);

}  // namespace qel::adapter_tool
