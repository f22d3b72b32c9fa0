// The adapter-name key parser.
#pragma once

#include <cstdint>

namespace qel::stream {

// Fills the key field of an adapter-name record from a key text: "M=" with twelve hex digits
// (19 characters in all, ':' '=' 'M' skipped wherever they stand) gives six octets; "S=" and at
// most 24 more characters is copied with its terminator. 0, or QEL_EINVAL for any other text.
int parse_name_key(const char *key, uint8_t (&field)[32]);

}  // namespace qel::stream
