// Which sender an endpoint's stream is taken from. A camera sends a stream from one address
// and port; once the stream's first leader has come, packets from any other address or port
// (another device on the same port, a flood, a spoofed copy) are counted and ignored, so that
// they can never write into the host's buffers. Setups with several senders for one stream
// switch this off (QEL_ADAPTER_ANY_SOURCE=1).
//
// Threads: the firmware's only.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>

namespace qel::adapter {

class SourceFilter {
public:
    explicit SourceFilter(bool any_source) : any_source_(any_source) {}

    // Whether a packet from `from` (`length` bytes of address, as recvmmsg gave them) belongs
    // to the stream: always before the first leader, and with any source accepted.
    bool accepts(const sockaddr_storage &from, socklen_t length) const;
    // A leader came from `from`: the first one chooses the stream's source.
    void on_leader(const sockaddr_storage &from, socklen_t length);

    bool chosen() const { return chosen_; }

private:
    // A sender as compared: family, port and address bytes (IPv4 in the first four).
    struct Key {
        uint16_t family = 0;
        uint16_t port = 0;
        std::array<uint8_t, 16> address{};
        bool operator==(const Key &) const = default;
    };
    static Key key_of(const sockaddr_storage &from, socklen_t length);

    bool any_source_;
    bool chosen_ = false;
    Key source_{};
};

}  // namespace qel::adapter
