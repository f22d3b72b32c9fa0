// Which sender an endpoint's stream is taken from. A camera sends a stream from one address
// and port; packets from any other (another device on the same port, a flood, a spoofed copy)
// are counted and ignored, so that they can never write into the host's buffers.
//
// The sender of the first leader becomes the source. The choice lapses once that sender has
// been silent for kSilenceNs and another sends a leader, which then becomes the source: a
// stray leader before the camera started, or a camera that restarted on a new port, does not
// shut the stream for its whole life. When the host names the camera's address, packets from
// any other address are never the stream's, from the first one on (and the source is chosen
// among the ports of that address as above). Setups with several senders for one stream
// switch this off (QEL_ADAPTER_ANY_SOURCE=1).
//
// Threads: the firmware's only.
#pragma once

#include <sys/socket.h>

#include <array>
#include <cstdint>

namespace qel::adapter {

// What the host says of the stream's sender.
struct SourceRule {
    bool any_source = false;
    uint32_t camera_address = 0;  // IPv4, first octet most significant; 0: not named
};

class SourceFilter {
public:
    static constexpr uint64_t kSilenceNs = 1'000'000'000;

    explicit SourceFilter(SourceRule rule) : rule_(rule) {}

    // Whether a packet from `from` (`length` bytes of address, as recvmmsg gave them), at
    // `now` (monotonic ns), belongs to the stream: always with any source accepted, and
    // before the first leader unless the camera is named.
    bool accepts(const sockaddr_storage &from, socklen_t length, uint64_t now);
    // Whether a leader from `from`, which accepts() refused, may take the stream over: it
    // comes from the named camera's address, if any, and the chosen source has been silent
    // long enough.
    bool may_take_over(const sockaddr_storage &from, socklen_t length, uint64_t now) const;
    // A leader came from `from` and was taken: the first one, or one that may take over,
    // chooses the stream's source. Returns true when the source changed from another.
    bool on_leader(const sockaddr_storage &from, socklen_t length, uint64_t now);

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
    // Whether `key` may be the stream's at all: the named camera's address, when one is.
    bool allowed(const Key &key) const;

    SourceRule rule_;
    bool chosen_ = false;
    Key source_{};
    uint64_t last_heard_ = 0;  // the source's last packet
};

}  // namespace qel::adapter
