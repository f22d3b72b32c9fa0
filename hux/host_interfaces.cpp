#include "hux/host_interfaces.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <memory>

#include "hux.h"

namespace qel::hux {

namespace {

class SystemInterfaces final : public HostInterfaces {
public:
    bool list(InterfaceList &out) override {
        out.count = 0;
        ifaddrs *all = nullptr;
        if (getifaddrs(&all) != 0) return false;
        std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(all, freeifaddrs);
        for (const ifaddrs *a = all; a != nullptr && out.count < kMaxInterfaceEntries;
             a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
            InterfaceEntry &entry = out.entries[out.count++];
            entry.host_flags = a->ifa_flags;
            entry.address = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
            entry.netmask =
                a->ifa_netmask != nullptr && a->ifa_netmask->sa_family == AF_INET
                    ? reinterpret_cast<const sockaddr_in *>(a->ifa_netmask)->sin_addr.s_addr
                    : 0;
        }
        return true;
    }

    std::optional<uint64_t> mac_of(const char *ip_text) override {
        unsigned char mac[6];
        if (hux_get_macaddr(ip_text, mac) != 0) return std::nullopt;
        uint64_t value = 0;
        for (unsigned char octet : mac) value = (value << 8) | octet;
        return value;
    }
};

}  // namespace

HostInterfaces &system_interfaces() {
    static SystemInterfaces host;
    return host;
}

}  // namespace qel::hux
