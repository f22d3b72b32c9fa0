#include "adapter/driver/boards.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <sys/timex.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace qel::adapter {

namespace {

constexpr uint32_t kDefaultEndpoints = 8;
constexpr uint32_t kMaxEndpoints = 64;

struct InterfaceFacts {
    uint32_t if_index = 0;
    uint64_t mac = 0;
    bool up = false;
    bool running = false;
    bool has_ipv4 = false;
};

std::map<std::string, InterfaceFacts> read_interfaces() {
    std::map<std::string, InterfaceFacts> facts;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return facts;
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(list, freeifaddrs);
    for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_name == nullptr) continue;
        InterfaceFacts &f = facts[entry->ifa_name];
        f.up = (entry->ifa_flags & IFF_UP) != 0;
        f.running = (entry->ifa_flags & IFF_RUNNING) != 0;
        if (entry->ifa_addr == nullptr) continue;
        if (entry->ifa_addr->sa_family == AF_INET) {
            f.has_ipv4 = true;
        } else if (entry->ifa_addr->sa_family == AF_PACKET) {
            const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
            f.if_index = static_cast<uint32_t>(link->sll_ifindex);
            if (link->sll_halen == 6) {
                uint64_t mac = 0;
                for (int i = 0; i < 6; ++i) mac = (mac << 8) | link->sll_addr[i];
                f.mac = mac;
            }
        }
    }
    for (auto &[name, f] : facts) {
        if (f.if_index == 0) f.if_index = if_nametoindex(name.c_str());
    }
    return facts;
}

std::vector<std::string> configured_interfaces() {
    std::vector<std::string> names;
    const char *setting = std::getenv("QEL_ADAPTER_IFACES");
    if (setting == nullptr) return names;
    std::string text(setting);
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) names.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

}  // namespace

std::vector<Board> discover_boards() {
    const auto facts = read_interfaces();
    std::vector<Board> boards;
    auto add = [&](const std::string &name, const InterfaceFacts &f) {
        boards.push_back(Board{name, f.if_index, f.mac, f.running, false});
    };
    if (std::getenv("QEL_ADAPTER_IFACES") != nullptr) {
        for (const auto &name : configured_interfaces()) {
            auto it = facts.find(name);
            if (it != facts.end()) add(name, it->second);
        }
    } else {
        for (const auto &[name, f] : facts) {
            if (f.up && f.has_ipv4) add(name, f);
        }
        std::sort(boards.begin(), boards.end(),
                  [](const Board &a, const Board &b) { return a.if_index < b.if_index; });
    }
    for (auto &board : boards) {
        board.mac_shared = std::count_if(boards.begin(), boards.end(), [&](const Board &other) {
                               return other.mac == board.mac;
                           }) > 1;
    }
    return boards;
}

uint32_t endpoints_per_board() {
    const char *setting = std::getenv("QEL_ADAPTER_ENDPOINTS");
    if (setting == nullptr) return kDefaultEndpoints;
    char *end = nullptr;
    unsigned long value = std::strtoul(setting, &end, 10);
    if (end == setting || *end != '\0' || value == 0 || value > kMaxEndpoints) {
        return kDefaultEndpoints;
    }
    return static_cast<uint32_t>(value);
}

std::string board_serial(const Board &board, uint32_t board_number) {
    char text[32];
    if (board.mac_shared) {
        std::snprintf(text, sizeof text, "QSA%012llX-%u",
                      static_cast<unsigned long long>(board.mac), board_number % 10000);
    } else {
        std::snprintf(text, sizeof text, "QSA%012llX", static_cast<unsigned long long>(board.mac));
    }
    return text;
}

bool host_clock_synchronised() {
    timex tx{};
    int state = adjtimex(&tx);
    return state != -1 && state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0;
}

}  // namespace qel::adapter
