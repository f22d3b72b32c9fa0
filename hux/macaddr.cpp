// The MAC address of the host adapter that carries an IPv4 address.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netpacket/packet.h>

#include <cstring>
#include <memory>
#include <string_view>

#include "hux.h"

namespace {

constexpr size_t kMacBytes = 6;

// An address may carry a label ("eth0:1"); the kernel makes every label start with its
// device's name and a colon, and the link-layer entry carries the device's name.
std::string_view device_of_label(const char *label) {
    std::string_view name(label);
    return name.substr(0, name.find(':'));
}

}  // namespace

extern "C" QEL_EXPORT int hux_get_macaddr(const char *ip_text, unsigned char mac[6]) {
    if (ip_text == nullptr || mac == nullptr) return -1;
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return -1;
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(all, freeifaddrs);

    // The first interface, in the host's order, that carries exactly this text.
    std::string_view device;
    for (const ifaddrs *a = all; a != nullptr && device.empty(); a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_name == nullptr)
            continue;
        char text[INET_ADDRSTRLEN];
        const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) continue;
        if (std::strcmp(text, ip_text) == 0) device = device_of_label(a->ifa_name);
    }
    if (device.empty()) return -1;

    for (const ifaddrs *a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET || a->ifa_name == nullptr)
            continue;
        if (device != a->ifa_name) continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(a->ifa_addr);
        if (link->sll_halen != kMacBytes) return -1;
        std::memcpy(mac, link->sll_addr, kMacBytes);
        return 0;
    }
    return -1;
}
