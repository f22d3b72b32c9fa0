// hux_getifaddrs: the host's IPv4 interface addresses that belong to an adapter board.
#include "hux/ifaddrs.h"

#include <arpa/inet.h>
#include <net/if.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "hux/board_table.h"
#include "qel.h"

namespace qel::hux {

namespace {

static_assert(offsetof(hux_ifaddrs, ifa_next) == 0 && offsetof(hux_ifaddrs, ifa_name) == 8);
static_assert(offsetof(hux_ifaddrs, ifa_flags) == 16 && offsetof(hux_ifaddrs, ifa_addr) == 20);
static_assert(offsetof(hux_ifaddrs, ifa_netmask) == 24);
static_assert(offsetof(hux_ifaddrs, ifa_ifu) == 28 && sizeof(hux_ifaddrs::ifa_ifu) == 4);
static_assert(offsetof(hux_ifaddrs, ifa_board) == 32 && offsetof(hux_ifaddrs, ifa_nic_id) == 40);
static_assert(offsetof(hux_ifaddrs, ifa_mac) == 48 && offsetof(hux_ifaddrs, ifa_endpt_max) == 56);
static_assert(offsetof(hux_ifaddrs, ifa_link) == 60 && sizeof(hux_ifaddrs) == 64);
static_assert(INET_ADDRSTRLEN <= kNameSlotBytes);

// The board whose host interface carries the entry's address, read from the host afresh.
const hux_board_entry *board_of(HostInterfaces &host, std::span<const hux_board_entry> table,
                                const InterfaceEntry &entry, char (&text)[kNameSlotBytes]) {
    in_addr address{entry.address};
    if (inet_ntop(AF_INET, &address, text, sizeof text) == nullptr) return nullptr;
    auto mac = host.mac_of(text);
    if (!mac) return nullptr;
    auto position = board_of_mac(table, *mac);
    return position ? &table[*position] : nullptr;
}

void fill(hux_ifaddrs &record, char *slot, const char (&text)[kNameSlotBytes],
          const InterfaceEntry &entry, const hux_board_entry &board) {
    std::memcpy(slot, text, kNameSlotBytes);
    record.ifa_name = slot;
    record.ifa_flags = 0;
    if (entry.host_flags & IFF_BROADCAST) record.ifa_flags |= HUX_IFF_BROADCAST;
    if (entry.host_flags & IFF_MULTICAST) record.ifa_flags |= HUX_IFF_MULTICAST;
    record.ifa_addr = entry.address;
    record.ifa_netmask = entry.netmask;
    record.ifa_broadaddr = entry.address | ~entry.netmask;
    record.ifa_board = board.board;
    record.ifa_nic_id = board.nic_id;
    for (int i = 0; i < 6; ++i) {
        record.ifa_mac[i] = static_cast<uint8_t>(board.nic_id >> (40 - 8 * i));
    }
    record.ifa_endpt_max = board.endpt_max;
    record.ifa_link = board.link_up;
}

int list_with_table(HostInterfaces &host, std::span<const hux_board_entry> table,
                    hux_ifaddrs **list, int *count) {
    InterfaceList entries;
    if (!host.list(entries)) return -1;
    char text[kNameSlotBytes];

    size_t matched = 0;
    for (size_t i = 0; i < entries.count; ++i) {
        if (board_of(host, table, entries.entries[i], text) != nullptr) ++matched;
    }
    if (matched == 0) {
        *list = nullptr;
        *count = 0;
        return 0;
    }

    // One block: the records, then one name slot per record. The caller frees it with
    // hux_freeifaddrs.
    void *block = std::calloc(matched, sizeof(hux_ifaddrs) + kNameSlotBytes);
    if (block == nullptr) return QEL_ENOMEM;
    auto *records = static_cast<hux_ifaddrs *>(block);
    char *slots = reinterpret_cast<char *>(records + matched);

    // The host is asked again for every entry and may have changed since the count: the list
    // takes at most the records allocated, and its count is the records linked.
    size_t filled = 0;
    for (size_t i = 0; i < entries.count && filled < matched; ++i) {
        const hux_board_entry *board = board_of(host, table, entries.entries[i], text);
        if (board == nullptr) continue;
        if (filled > 0) records[filled - 1].ifa_next = &records[filled];
        fill(records[filled], slots + filled * kNameSlotBytes, text, entries.entries[i], *board);
        ++filled;
    }
    if (filled == 0) {
        std::free(block);
        block = nullptr;
    }
    *list = static_cast<hux_ifaddrs *>(block);
    *count = static_cast<int>(filled);
    return 0;
}

}  // namespace

int list_board_addresses(HostInterfaces &host, hux_ifaddrs **list, int *count) {
    if (list == nullptr || count == nullptr) return QEL_EINVAL;
    std::vector<hux_board_entry> table;
    if (int rc = build_board_table(table); rc != 0) return rc;
    if (table.empty()) {
        *list = nullptr;
        *count = 0;
        return 0;
    }
    return list_with_table(host, table, list, count);
}

}  // namespace qel::hux

using namespace qel::hux;

extern "C" {

QEL_EXPORT int hux_getifaddrs(hux_ifaddrs **list, uint64_t /*ignored*/, int *count) {
    return list_board_addresses(system_interfaces(), list, count);
}

QEL_EXPORT void hux_freeifaddrs(hux_ifaddrs *list) {
    std::free(list);
}

QEL_EXPORT int hux_ifaddr_to_macaddr(uint32_t addr, unsigned char mac[6]) {
    if (mac == nullptr) return QEL_EINVAL;
    hux_ifaddrs *list = nullptr;
    int count = 0;
    if (int rc = hux_getifaddrs(&list, 1, &count); rc != 0) return rc;
    int rc = QEL_ENOADDR;
    for (const hux_ifaddrs *record = list; record != nullptr; record = record->ifa_next) {
        if (record->ifa_addr == addr) {
            std::memcpy(mac, record->ifa_mac, sizeof record->ifa_mac);
            rc = 0;
            break;
        }
    }
    hux_freeifaddrs(list);
    return rc;
}

}  // extern "C"
