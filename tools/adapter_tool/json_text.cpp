#include "adapter_tool/json_text.h"

#include <cstdint>
#include <cstdio>

namespace qel::adapter_tool {

namespace {

bool continuation(uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// Length of the valid UTF-8 sequence at text[at], or 0 when none starts there. Overlong forms,
// surrogates and code points above U+10FFFF are refused, as strict JSON readers refuse them.
size_t utf8_sequence(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[at + i]); };
    const size_t left = text.size() - at;
    const uint8_t lead = byte(0);
    size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i) {
        if (!continuation(byte(i))) return 0;
    }
    return length;
}

void append_escaped(std::string &out, uint8_t byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\u%04x", byte);
    out += code;
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20 || byte == 0x7F) {
            append_escaped(out, byte);
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else if (size_t length = utf8_sequence(text, i); length != 0) {
            out.append(text.substr(i, length));
            i += length;
        } else {
            append_escaped(out, byte);
            ++i;
        }
    }
    out += '"';
    return out;
}

}  // namespace qel::adapter_tool
