#include "adapter/source_filter.h"

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

bool SourceFilter::accepts(const sockaddr_storage &from, socklen_t length) const {
    return any_source_ || !chosen_ || key_of(from, length) == source_;
}

void SourceFilter::on_leader(const sockaddr_storage &from, socklen_t length) {
    if (any_source_ || chosen_) return;
    source_ = key_of(from, length);
    chosen_ = true;
}

}  // namespace qel::adapter
