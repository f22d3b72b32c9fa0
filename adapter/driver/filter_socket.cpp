#include "adapter/driver/filter_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "adapter/driver/settings.h"
#include "qel.h"

namespace qel::adapter {

namespace {

int code_of_errno(int error) {
    switch (error) {
        case EADDRINUSE:
            return QEL_EBUSY;
        case EADDRNOTAVAIL:
            return QEL_ENOADDR;
        case EACCES:
        case EPERM:
            return QEL_EACCES;
        case ENOMEM:
        case ENOBUFS:
            return QEL_ENOMEM;
        case ENODEV:
            return QEL_ENODEV;
        default:
            return QEL_EINVAL;
    }
}

// Asks for a large receive buffer: forced past the system limit where this process may
// (CAP_NET_ADMIN), else as much as the limit allows.
void grow_receive_buffer(int fd) {
    const int bytes = receive_buffer_bytes();
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
}

}  // namespace

FilterSocket::FilterSocket(FilterSocket &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      address_(other.address_),
      port_(other.port_),
      ring_(std::move(other.ring_)) {}

FilterSocket &FilterSocket::operator=(FilterSocket &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        address_ = other.address_;
        port_ = other.port_;
        ring_ = std::move(other.ring_);
    }
    return *this;
}

int FilterSocket::open(uint32_t address, uint16_t port, uint32_t if_index) {
    close();
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return code_of_errno(errno);
    auto fail = [&](int error) {
        ::close(fd);
        return code_of_errno(error);
    };
    const bool group = (address >> 28) == 0xE;
    const int one = 1;
    if (group) {
        // Several streams (of this or other processes) may receive one group.
        if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) return fail(errno);
        // Only the group as joined here, on the board's interface: not the groups other
        // sockets joined, nor this group arriving on another interface. (Unicast sockets are
        // not tied to the interface: packets a local sender addresses to the board's address
        // arrive through loopback.)
        const int zero = 0;
        if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) != 0) {
            return fail(errno);
        }
    }
    grow_receive_buffer(fd);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(address);
    where.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) != 0) {
        return fail(errno);
    }
    if (group) {
        ip_mreqn join{};
        join.imr_multiaddr.s_addr = htonl(address);
        join.imr_ifindex = static_cast<int>(if_index);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0) {
            const int error = errno;
            ::close(fd);
            return error == EADDRINUSE ? QEL_EBUSY : QEL_ENODEV;
        }
    }
    const ReceivePath path = receive_path();
    if (path != ReceivePath::socket && address != 0) {
        const int error =
            ring_.open(address, port, if_index, static_cast<size_t>(receive_buffer_bytes()));
        if (error == 0) {
            if (int drop = drop_every_datagram(fd); drop != 0) {
                ring_.close();
                return fail(drop);
            }
        } else if (path == ReceivePath::ring) {
            return fail(error);
        }
    }
    fd_ = fd;
    address_ = address;
    port_ = port;
    return 0;
}

void FilterSocket::close() {
    ring_.close();
    if (fd_ >= 0) {
        ::close(fd_);  // leaves the group too
        fd_ = -1;
    }
    address_ = 0;
    port_ = 0;
}

int FilterSocket::receive_buffer() const {
    int bytes = 0;
    socklen_t size = sizeof bytes;
    if (fd_ < 0 || getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, &size) != 0) return 0;
    return bytes;
}

}  // namespace qel::adapter
