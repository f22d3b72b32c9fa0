#include "common/interface_names.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

namespace qel::tools {

std::string interface_name(const std::string &address) {
    in_addr wanted{};
    if (inet_pton(AF_INET, address.c_str(), &wanted) != 1) return "";
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return "";
    const std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owned(list, &freeifaddrs);
    for (const ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET || a->ifa_name == nullptr) {
            continue;
        }
        sockaddr_in in{};
        std::memcpy(&in, a->ifa_addr, sizeof in);
        if (in.sin_addr.s_addr == wanted.s_addr) return a->ifa_name;
    }
    return "";
}

}  // namespace qel::tools
