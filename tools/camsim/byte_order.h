// Big-endian stores and loads: every field on the wire is in network order.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace qel::camsim {

// Big-endian stores and loads.
inline void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t *p, uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    std::memcpy(p, &v, sizeof v);
}
inline void put64(uint8_t *p, uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
}
inline uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t get32(const uint8_t *p) {
    return static_cast<uint32_t>(get16(p)) << 16 | get16(p + 2);
}
inline uint64_t get64(const uint8_t *p) {
    return static_cast<uint64_t>(get32(p)) << 32 | get32(p + 4);
}

}  // namespace qel::camsim
