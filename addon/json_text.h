// JSON string literals. The add-on keeps its own small writer: it must stay free of dependencies.
#pragma once

#include <string>
#include <string_view>

namespace qel::addon {

// `text` as a quoted JSON string: quotes, backslashes and control characters escaped; bytes
// that are not valid UTF-8 replaced by U+FFFD, so that every line parses.
std::string json_string(std::string_view text);

}  // namespace qel::addon
