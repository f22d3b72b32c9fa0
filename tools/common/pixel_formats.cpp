#include "common/pixel_formats.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace qel::tools {

std::string pixel_format_name(uint32_t code) {
    for (const PixelFormatName &format : kPixelFormats) {
        if (format.code == code) return std::string(format.name);
    }
    char text[16];
    std::snprintf(text, sizeof text, "%#010x", code);
    return text;
}

std::optional<uint32_t> pixel_format_code(std::string_view name) {
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    for (const PixelFormatName &format : kPixelFormats) {
        if (std::ranges::equal(format.name, name, same)) return format.code;
    }
    return std::nullopt;
}

}  // namespace qel::tools
