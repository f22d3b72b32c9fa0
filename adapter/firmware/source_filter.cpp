#include "adapter/firmware/source_filter.h"

#include <netinet/in.h>

#include <cstring>

namespace qel::adapter {

SourceFilter::Key SourceFilter::key_of(const sockaddr_storage &from, socklen_t length) {
    Key key;
    // An address the kernel did not give (an unnamed socket) compares as family 0.
    if (length < sizeof(sa_family_t)) return key;
    key.family = from.ss_family;
    if (from.ss_family == AF_INET && length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, &from, sizeof in);
        key.port = in.sin_port;
        std::memcpy(key.address.data(), &in.sin_addr, sizeof in.sin_addr);
    } else if (from.ss_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &from, sizeof in6);
        key.port = in6.sin6_port;
        std::memcpy(key.address.data(), &in6.sin6_addr, sizeof in6.sin6_addr);
    }
    return key;
}

bool SourceFilter::allowed(const Key &key) const {
    if (rule_.camera_address == 0) return true;
    uint32_t address = 0;
    std::memcpy(&address, key.address.data(), sizeof address);
    return key.family == AF_INET && ntohl(address) == rule_.camera_address;
}

bool SourceFilter::accepts(const sockaddr_storage &from, socklen_t length, uint64_t now) {
    if (rule_.any_source) return true;
    const Key key = key_of(from, length);
    if (!allowed(key)) return false;
    if (!chosen_) return true;
    if (!(key == source_)) return false;
    last_heard_ = now;
    return true;
}

bool SourceFilter::may_take_over(const sockaddr_storage &from, socklen_t length,
                                 uint64_t now) const {
    return !rule_.any_source && chosen_ && now - last_heard_ >= kSilenceNs &&
           allowed(key_of(from, length));
}

bool SourceFilter::on_leader(const sockaddr_storage &from, socklen_t length, uint64_t now) {
    if (rule_.any_source) return false;
    const Key key = key_of(from, length);
    if (!allowed(key) || (chosen_ && (key == source_ || now - last_heard_ < kSilenceNs))) {
        return false;
    }
    const bool changed = chosen_;
    source_ = key;
    chosen_ = true;
    last_heard_ = now;
    return changed;
}

}  // namespace qel::adapter
