// Device names as hux_open formats them: "\\.\trel<board>" followed by "\p" (control), nothing
// (control, older form), "\r" (raw) or "\e<endpoint>".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace qel::adapter {

enum class DeviceKind { control, raw, endpoint };

struct DeviceName {
    DeviceKind kind;
    uint32_t board;
    uint32_t endpoint;  // endpoint devices only
};

// Parses a device name; nothing when the text is not one.
std::optional<DeviceName> parse_device_name(std::string_view name);

}  // namespace qel::adapter
