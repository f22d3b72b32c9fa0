#include "hux/vlan.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>

#include <charconv>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "hux.h"

namespace qel::hux {

namespace {

constexpr uint32_t kMaxVlanId = 4095;
constexpr uint32_t kMaxPriority = 7;
constexpr int kPriorityShift = 13;
// The kernel's description is a few hundred bytes; anything longer is not one.
constexpr size_t kDescriptionLimit = 4096;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view skip_blanks(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    return s;
}

// A decimal number at the start of `s`, which is advanced past it.
std::optional<uint32_t> take_number(std::string_view &s) {
    uint32_t value = 0;
    auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (error != std::errc{}) return std::nullopt;
    s.remove_prefix(static_cast<size_t>(end - s.data()));
    return value;
}

std::optional<uint32_t> vlan_id(std::string_view text) {
    const size_t at = text.find("VID:");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = skip_blanks(text.substr(at + 4));
    auto id = take_number(rest);
    if (!id || *id > kMaxVlanId) return std::nullopt;
    return id;
}

// The egress mapping line lists "priority:pcp" pairs; the one for priority 0 is wanted.
uint32_t egress_priority_of_0(std::string_view text) {
    constexpr std::string_view kEgress = "EGRESS priority mappings:";
    const size_t at = text.find(kEgress);
    if (at == std::string_view::npos) return 0;
    std::string_view line = text.substr(at + kEgress.size());
    line = line.substr(0, line.find('\n'));
    while (!(line = skip_blanks(line)).empty()) {
        auto priority = take_number(line);
        if (!priority || line.empty() || line.front() != ':') return 0;
        line.remove_prefix(1);
        auto pcp = take_number(line);
        if (!pcp) return 0;
        if (*priority == 0) return *pcp <= kMaxPriority ? *pcp : 0;
    }
    return 0;
}

std::string read_description(const std::string &device) {
    const std::string path = "/proc/net/vlan/" + device;
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "r"), std::fclose);
    if (!file) return {};
    std::string text(kDescriptionLimit, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    return text;
}

// Interface names from the kernel hold no '/', but the name becomes a path: make sure.
bool usable_as_file_name(const std::string &name) {
    return !name.empty() && name.size() < 64 && name.find('/') == std::string::npos &&
           name != "." && name != "..";
}

}  // namespace

uint16_t vlan_tag_from_description(std::string_view text) {
    auto id = vlan_id(text);
    if (!id) return 0;
    const uint32_t tag = *id | egress_priority_of_0(text) << kPriorityShift;
    return htons(static_cast<uint16_t>(tag));
}

std::optional<std::string> vlan_candidate_interface(uint32_t address) {
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return std::nullopt;
    std::unique_ptr<ifaddrs, decltype(&freeifaddrs)> owner(all, freeifaddrs);

    std::map<std::string, bool> ethernet;  // device name -> link type is Ethernet
    for (const ifaddrs *a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_name == nullptr) continue;
        if (a->ifa_addr->sa_family != AF_PACKET) continue;
        const auto *link = reinterpret_cast<const sockaddr_ll *>(a->ifa_addr);
        ethernet[a->ifa_name] = link->sll_hatype == ARPHRD_ETHER;
    }
    std::set<std::string> seen;  // devices whose first IPv4 address has been passed
    for (const ifaddrs *a = all; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_name == nullptr) continue;
        if (a->ifa_addr->sa_family != AF_INET) continue;
        std::string device(a->ifa_name);
        device = device.substr(0, device.find(':'));  // an address label names its device
        if (!seen.insert(device).second) continue;
        const auto *in = reinterpret_cast<const sockaddr_in *>(a->ifa_addr);
        if (in->sin_addr.s_addr == address && ethernet[device]) return device;
    }
    return std::nullopt;
}

}  // namespace qel::hux

extern "C" QEL_EXPORT uint16_t hux_get_vlan_tag(const char *ip_text) {
    if (ip_text == nullptr) return 0;
    const in_addr_t address = inet_addr(ip_text);
    if (address == INADDR_NONE) return 0;
    try {
        auto device = qel::hux::vlan_candidate_interface(address);
        // Only VLAN devices have a description; any other interface carries no tag.
        if (!device || !qel::hux::usable_as_file_name(*device)) return 0;
        return qel::hux::vlan_tag_from_description(qel::hux::read_description(*device));
    } catch (const std::bad_alloc &) {
        return 0;
    }
}
