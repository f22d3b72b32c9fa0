// The host's side of interface discovery: its IPv4 interface addresses and the MAC address of
// the adapter that carries each. Interface discovery reads it through this interface so that
// a test can make the host change under it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace qel::hux {

// At most this many addresses are looked at, as the host's interface list query allows.
constexpr size_t kMaxInterfaceEntries = 32;

struct InterfaceEntry {
    uint32_t host_flags = 0;  // the host's IFF_* flags of the interface
    uint32_t address = 0;     // network byte order
    uint32_t netmask = 0;     // network byte order
};

struct InterfaceList {
    std::array<InterfaceEntry, kMaxInterfaceEntries> entries{};
    size_t count = 0;
};

class HostInterfaces {
public:
    virtual ~HostInterfaces() = default;
    // The host's IPv4 interface addresses in its own order, at most kMaxInterfaceEntries.
    // False when the host cannot list them.
    virtual bool list(InterfaceList &out) = 0;
    // The MAC address (48 bits, first octet most significant) of the host adapter that carries
    // the dotted-decimal address `ip_text`, read afresh; nothing when no adapter carries it.
    virtual std::optional<uint64_t> mac_of(const char *ip_text) = 0;
};

// This host's interfaces (getifaddrs).
HostInterfaces &system_interfaces();

}  // namespace qel::hux
