#include "camsim/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace qel::camsim {

namespace {

// How often a send that the kernel refuses for a passing reason is tried again.
constexpr int kSendRetries = 16;

sockaddr_in ipv4(const std::string &address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.empty() ? "0.0.0.0" : address.c_str(), &a.sin_addr);
    return a;
}

bool is_multicast(const sockaddr_in &a) {
    return IN_MULTICAST(ntohl(a.sin_addr.s_addr));
}

std::string where(const std::string &address, uint16_t port) {
    return (address.empty() ? std::string("0.0.0.0") : address) + ":" + std::to_string(port);
}

}  // namespace

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string errno_text(const char *what, int error) {
    return std::string(what) + ": " + std::strerror(error);
}

uint16_t local_port(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length) != 0) return 0;
    return ntohs(a.sin_port);
}

uint16_t free_loopback_port() {
    const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return 0;
    const sockaddr_in loopback = ipv4("127.0.0.1", 0);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&loopback), sizeof loopback) != 0) {
        return 0;
    }
    return local_port(fd.get());
}

std::string open_stream_socket(const Config &config, Fd *out) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return errno_text("stream socket", errno);
    // A large send buffer keeps bursts of packets flowing; forced where permitted.
    const int bytes = static_cast<int>(std::min<uint32_t>(config.send_buffer_bytes, INT_MAX));
    if (setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    if (!config.source_address.empty() || config.source_port != 0) {
        const sockaddr_in source = ipv4(config.source_address, config.source_port);
        if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&source), sizeof source) != 0) {
            return errno_text(
                ("bind stream source " + where(config.source_address, config.source_port)).c_str(),
                errno);
        }
    }
    const sockaddr_in dest = ipv4(config.dest_address, config.dest_port);
    if (is_multicast(dest)) {
        const int ttl = config.multicast_ttl;
        const int loop = 1;
        if (setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0 ||
            setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
            return errno_text("multicast options", errno);
        }
        if (!config.multicast_interface.empty()) {
            in_addr interface {};
            inet_pton(AF_INET, config.multicast_interface.c_str(), &interface);
            if (setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) !=
                0) {
                return errno_text(("multicast interface " + config.multicast_interface).c_str(),
                                  errno);
            }
        }
    }
    // Connected: the route is looked up once, not for every packet.
    if (connect(fd.get(), reinterpret_cast<const sockaddr *>(&dest), sizeof dest) != 0) {
        return errno_text(("connect to " + where(config.dest_address, config.dest_port)).c_str(),
                          errno);
    }
    *out = std::move(fd);
    return {};
}

std::string open_control_socket(const Config &config, Fd *out) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return errno_text("control socket", errno);
    const sockaddr_in address = ipv4(config.control_address, config.control_port);
    if (bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        return errno_text(
            ("bind control port " + where(config.control_address, config.control_port)).c_str(),
            errno);
    }
    *out = std::move(fd);
    return {};
}

PacketBatch::PacketBatch(uint32_t capacity, uint32_t datagram_size)
    : datagram_size_(datagram_size),
      storage_(size_t{capacity} * datagram_size),
      iovecs_(capacity),
      messages_(capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        iovecs_[i].iov_base = storage_.data() + i * datagram_size;
        messages_[i] = mmsghdr{};
        messages_[i].msg_hdr.msg_iov = &iovecs_[i];
        messages_[i].msg_hdr.msg_iovlen = 1;
    }
}

std::span<uint8_t> PacketBatch::next_buffer() {
    return {storage_.data() + count_ * datagram_size_, datagram_size_};
}

void PacketBatch::commit(size_t length) {
    iovecs_[count_].iov_len = length;
    ++count_;
}

PacketBatch::Result PacketBatch::send(int fd) {
    Result result;
    size_t done = 0;
    int retries = 0;
    while (done < count_) {
        const int n =
            sendmmsg(fd, messages_.data() + done, static_cast<unsigned>(count_ - done), 0);
        if (n > 0) {
            for (int i = 0; i < n; ++i) result.bytes += iovecs_[done + i].iov_len;
            done += static_cast<size_t>(n);
            result.sent += static_cast<size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        // ECONNREFUSED reports an earlier datagram that found no listener (the error is
        // cleared by reporting it); EAGAIN and ENOBUFS mean the queue is full for a moment.
        if (error == ECONNREFUSED || error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
            if (++retries <= kSendRetries) {
                if (error != ECONNREFUSED) sched_yield();
                continue;
            }
            // Give up on one packet and go on with the rest.
            ++result.failed;
            ++done;
            retries = 0;
            continue;
        }
        result.fatal = error;
        result.failed += count_ - done;
        break;
    }
    count_ = 0;
    return result;
}

}  // namespace qel::camsim
