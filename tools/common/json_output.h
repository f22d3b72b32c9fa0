// How the tools print JSON: one writer (nlohmann-json) with the same settings everywhere.
// Names and serial numbers are whatever bytes were stored, so bytes that are not UTF-8 are
// shown as U+FFFD rather than making the output invalid.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace qel::tools {

// `value` as JSON text ending in a newline; indent < 0 gives one line.
inline std::string json_text(const nlohmann::json &value, int indent = -1) {
    return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace qel::tools
