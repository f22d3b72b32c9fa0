// VLAN tags of host interfaces.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qel::hux {

// The 802.1Q tag control field, in network byte order, described by the kernel's text of a
// VLAN device (/proc/net/vlan/<device>): the VLAN id (its "VID:") in bits 0-11 and, in bits
// 13-15, the priority that its egress mapping gives to packets of priority 0 (0 when it maps
// none). 0 when the text names no VLAN id.
uint16_t vlan_tag_from_description(std::string_view text);

// The name of the Ethernet interface whose first IPv4 address is `address` (network byte
// order), in the host's order; nothing when there is none.
std::optional<std::string> vlan_candidate_interface(uint32_t address);

}  // namespace qel::hux
