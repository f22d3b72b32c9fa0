// The socket behind an endpoint's receive filter: UDP, bound to the filter's address and port
// (a multicast group is bound and joined on the board's interface), non-blocking, with a large
// receive buffer. Where the settings ask for it, a packet socket's ring for the same stream
// opens beside it (packet_ring.h) and the UDP socket, kept for its port, drops everything.
#pragma once

#include <cstdint>

#include "adapter/driver/packet_ring.h"

namespace qel::adapter {

class FilterSocket {
public:
    FilterSocket() = default;
    ~FilterSocket() { close(); }
    FilterSocket(FilterSocket &&other) noexcept;
    FilterSocket &operator=(FilterSocket &&other) noexcept;
    FilterSocket(const FilterSocket &) = delete;
    FilterSocket &operator=(const FilterSocket &) = delete;

    // Opens the socket for `address` (IPv4, first octet most significant) and `port` on the
    // board whose interface has index `if_index`, and the ring as receive_path() says (none
    // for the address 0). Returns 0 or a result code: 16 address and port already taken,
    // 110 the address is not this host's, 19 the group cannot be joined on the interface,
    // 13 refused (also: a ring asked for and not permitted), 12 out of memory, 22 otherwise.
    int open(uint32_t address, uint16_t port, uint32_t if_index);
    void close();

    int fd() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    uint32_t address() const { return address_; }
    uint16_t port() const { return port_; }
    bool multicast() const { return (address_ >> 28) == 0xE; }
    // The packet socket's ring the firmware reads instead of fd(); fd -1 when there is none.
    const PacketRingView &ring() const { return ring_.view(); }
    // The receive buffer the kernel granted, in bytes (as SO_RCVBUF reports it).
    int receive_buffer() const;

private:
    int fd_ = -1;
    uint32_t address_ = 0;
    uint16_t port_ = 0;
    PacketRing ring_;
};

}  // namespace qel::adapter
