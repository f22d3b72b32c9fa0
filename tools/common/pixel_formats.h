// Pixel formats by the names people know them by (the GigE Vision pixel format naming
// convention), for every place a tool shows or takes one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel::tools {

struct PixelFormatName {
    std::string_view name;
    uint32_t code;  // as the image leader carries it
};

inline constexpr PixelFormatName kPixelFormats[] = {
    {"Mono8", 0x01080001},
    {"Mono8s", 0x01080002},
    {"Mono10", 0x01100003},
    {"Mono10Packed", 0x010C0004},
    {"Mono12", 0x01100005},
    {"Mono12Packed", 0x010C0006},
    {"Mono14", 0x01100025},
    {"Mono16", 0x01100007},
    {"BayerGR8", 0x01080008},
    {"BayerRG8", 0x01080009},
    {"BayerGB8", 0x0108000A},
    {"BayerBG8", 0x0108000B},
    {"BayerGR10", 0x0110000C},
    {"BayerRG10", 0x0110000D},
    {"BayerGB10", 0x0110000E},
    {"BayerBG10", 0x0110000F},
    {"BayerGR12", 0x01100010},
    {"BayerRG12", 0x01100011},
    {"BayerGB12", 0x01100012},
    {"BayerBG12", 0x01100013},
    {"BayerGR12Packed", 0x010C002A},
    {"BayerRG12Packed", 0x010C002B},
    {"BayerGB12Packed", 0x010C002C},
    {"BayerBG12Packed", 0x010C002D},
    {"BayerGR16", 0x0110002E},
    {"BayerRG16", 0x0110002F},
    {"BayerGB16", 0x01100030},
    {"BayerBG16", 0x01100031},
    {"RGB8", 0x02180014},
    {"BGR8", 0x02180015},
    {"RGBa8", 0x02200016},
    {"BGRa8", 0x02200017},
    {"RGB10", 0x02300018},
    {"BGR10", 0x02300019},
    {"RGB12", 0x0230001A},
    {"BGR12", 0x0230001B},
    {"RGB16", 0x02300033},
    {"YUV411_8_UYYVYY", 0x020C001E},
    {"YUV422_8_UYVY", 0x0210001F},
    {"YUV422_8", 0x02100032},
    {"YUV8_UYV", 0x02180020},
};

// The code of a name in the table, for constants; a name it lacks does not compile.
consteval uint32_t pixel_format(std::string_view name) {
    for (const PixelFormatName &format : kPixelFormats) {
        if (format.name == name) return format.code;
    }
    throw "not a pixel format name";
}

// The format's name; a code the table lacks is shown as hex, the only form it has.
[[nodiscard]] std::string pixel_format_name(uint32_t code);

// The code of a name, in any letter case; none for a name the table lacks.
[[nodiscard]] std::optional<uint32_t> pixel_format_code(std::string_view name);

}  // namespace qel::tools
