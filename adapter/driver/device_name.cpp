#include "adapter/driver/device_name.h"

namespace qel::adapter {

namespace {

constexpr std::string_view kPrefix = "\\\\.\\trel";

// A decimal number without sign or leading zeros, that fits 32 bits; advances `text`.
std::optional<uint32_t> take_number(std::string_view &text) {
    size_t n = 0;
    uint64_t value = 0;
    while (n < text.size() && text[n] >= '0' && text[n] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[n] - '0');
        if (value > UINT32_MAX) return std::nullopt;
        ++n;
    }
    if (n == 0 || (n > 1 && text[0] == '0')) return std::nullopt;
    text.remove_prefix(n);
    return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<DeviceName> parse_device_name(std::string_view name) {
    if (!name.starts_with(kPrefix)) return std::nullopt;
    name.remove_prefix(kPrefix.size());
    auto board = take_number(name);
    if (!board) return std::nullopt;
    if (name.empty() || name == "\\p") return DeviceName{DeviceKind::control, *board, 0};
    if (name == "\\r") return DeviceName{DeviceKind::raw, *board, 0};
    if (!name.starts_with("\\e")) return std::nullopt;
    name.remove_prefix(2);
    auto endpoint = take_number(name);
    if (!endpoint || !name.empty()) return std::nullopt;
    return DeviceName{DeviceKind::endpoint, *board, *endpoint};
}

}  // namespace qel::adapter
