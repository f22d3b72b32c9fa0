#include "camsim/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
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

size_t segment_run(std::span<const size_t> lengths, size_t first, size_t segment_size) {
    if (first >= lengths.size()) return 0;
    size_t run = 1;
    size_t bytes = lengths[first];
    while (first + run < lengths.size() && lengths[first + run - 1] == segment_size &&
           run < kMaxSegments && bytes + lengths[first + run] <= kMaxUdpPayload) {
        bytes += lengths[first + run];
        ++run;
    }
    return run;
}

namespace {

constexpr size_t kControlSpace = CMSG_SPACE(sizeof(uint16_t));

// Errors of a segmented send that mean the kernel or the route will not segment (no checksum
// offload on the way, a datagram larger than the path's MTU, no support at all), not that the
// packets are wrong: the same packets go out one by one.
bool refuses_segmentation(int error) {
    return error == EINVAL || error == EIO || error == EMSGSIZE || error == EOPNOTSUPP ||
           error == ENOPROTOOPT;
}

}  // namespace

PacketBatch::PacketBatch(uint32_t capacity, uint32_t datagram_size, bool segmentation)
    : datagram_size_(datagram_size),
      segmentation_(segmentation && datagram_size <= kMaxUdpPayload),
      storage_(size_t{capacity} * datagram_size),
      lengths_(capacity),
      iovecs_(capacity),
      carried_(capacity),
      controls_(size_t{capacity} * kControlSpace),
      messages_(capacity) {
    // Every segmented message says the same segment size: its control message is made once.
    for (size_t i = 0; i < capacity; ++i) {
        msghdr h{};
        h.msg_control = controls_.data() + i * kControlSpace;
        h.msg_controllen = kControlSpace;
        cmsghdr *c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const auto size = static_cast<uint16_t>(datagram_size);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
    }
}

std::span<uint8_t> PacketBatch::next_buffer() {
    return {storage_.data() + count_ * datagram_size_, datagram_size_};
}

void PacketBatch::commit(size_t length) {
    lengths_[count_] = length;
    ++count_;
}

size_t PacketBatch::pack(size_t first) {
    const std::span<const size_t> lengths(lengths_.data(), count_);
    size_t m = 0;
    for (size_t i = first; i < count_; ++m) {
        const size_t run = segmentation_ ? segment_run(lengths, i, datagram_size_) : 1;
        size_t bytes = 0;
        for (size_t k = i; k < i + run; ++k) bytes += lengths_[k];
        iovecs_[m] = {storage_.data() + i * datagram_size_, bytes};
        carried_[m] = run;
        msghdr &h = messages_[m].msg_hdr;
        h = msghdr{};
        h.msg_iov = &iovecs_[m];
        h.msg_iovlen = 1;
        if (run > 1) {
            h.msg_control = controls_.data() + m * kControlSpace;
            h.msg_controllen = kControlSpace;
        }
        i += run;
    }
    return m;
}

PacketBatch::Result PacketBatch::send(int fd) {
    Result result;
    size_t done = 0;  // packets sent or given up
    size_t next = 0;  // the next message
    size_t messages = pack(0);
    int retries = 0;
    while (next < messages) {
        const int n =
            sendmmsg(fd, messages_.data() + next, static_cast<unsigned>(messages - next), 0);
        if (n > 0) {
            for (size_t i = next; i < next + static_cast<size_t>(n); ++i) {
                result.bytes += iovecs_[i].iov_len;
                result.sent += carried_[i];
                done += carried_[i];
            }
            next += static_cast<size_t>(n);
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error == EINTR) continue;
        if (carried_[next] > 1 && refuses_segmentation(error)) {
            segmentation_ = false;
            messages = pack(done);
            next = 0;
            continue;
        }
        // ECONNREFUSED reports an earlier datagram that found no listener (the error is
        // cleared by reporting it); EAGAIN and ENOBUFS mean the queue is full for a moment.
        if (error == ECONNREFUSED || error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS) {
            if (++retries <= kSendRetries) {
                if (error != ECONNREFUSED) sched_yield();
                continue;
            }
            // Give up on one message and go on with the rest.
            result.failed += carried_[next];
            done += carried_[next];
            ++next;
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
