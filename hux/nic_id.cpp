// The text form of a NIC id.
#include <cstdio>

#include "hux.h"

extern "C" QEL_EXPORT void hux_nic_id_to_str(char *buf, uint64_t nic_id, uint32_t size) {
    if (buf == nullptr || size == 0) return;
    auto octet = [nic_id](int i) { return static_cast<unsigned>((nic_id >> (40 - 8 * i)) & 0xFF); };
    std::snprintf(buf, size, "%02x:%02x:%02x:%02x:%02x:%02x", octet(0), octet(1), octet(2),
                  octet(3), octet(4), octet(5));
    buf[size - 1] = '\0';
}
