// JSON string literals for qel-adapter's --json output. Adapter names are whatever bytes a user
// stored, so the text must stay valid JSON for any of them.
#pragma once

#include <string>
#include <string_view>

namespace qel::adapter_tool {

// `text` as a quoted JSON string. Quotes, backslashes and control characters are escaped; valid
// UTF-8 passes through; every byte that is not part of a valid UTF-8 sequence becomes the code
// point of the same value (\u00XX), so the output is valid UTF-8 whatever the input.
std::string json_string(std::string_view text);

}  // namespace qel::adapter_tool
