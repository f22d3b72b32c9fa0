// The sockets of the simulator and batched sending. This is the one place that talks to the
// kernel about sockets: EINTR is retried here and errno turned into text.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "camsim/camsim.h"

namespace qel::camsim {

// An owned file descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// The stream socket: bound to the source address and port, connected to the destination
// (multicast set up when the destination is a group). Returns an error text or "".
[[nodiscard]] std::string open_stream_socket(const Config &config, Fd *out);
// The control socket: bound to the control address and port, non-blocking.
[[nodiscard]] std::string open_control_socket(const Config &config, Fd *out);
// The local port a socket is bound to (0 when unknown).
[[nodiscard]] uint16_t local_port(int fd);
[[nodiscard]] std::string errno_text(const char *what, int error);

// The most datagrams, and UDP payload bytes, that one segmented send may carry.
inline constexpr size_t kMaxSegments = 64;
inline constexpr size_t kMaxUdpPayload = 65507;

// How many datagrams from `first` on one send can carry when the kernel cuts it into datagrams
// of `segment_size` bytes: every one but the last must be exactly that long, and the run stays
// within kMaxSegments and kMaxUdpPayload. At least 1 while `first` is inside `lengths`.
[[nodiscard]] size_t segment_run(std::span<const size_t> lengths, size_t first,
                                 size_t segment_size);

// A batch of packets to send with one sendmmsg: buffers of one datagram size each, made once,
// next to each other. With segmentation, each run of full datagrams (and the shorter one that
// may end it) goes to the kernel as one message that it cuts into datagrams (UDP_SEGMENT), so
// the stack is walked once per run instead of once per packet; a kernel or route that refuses
// segmented sends turns it off for good and the packets go one message each.
class PacketBatch {
public:
    PacketBatch(uint32_t capacity, uint32_t datagram_size, bool segmentation = false);

    [[nodiscard]] size_t size() const { return count_; }
    [[nodiscard]] size_t capacity() const { return lengths_.size(); }
    [[nodiscard]] bool full() const { return count_ == lengths_.size(); }
    // Whether runs are still sent segmented (false once the kernel refused).
    [[nodiscard]] bool segmenting() const { return segmentation_; }
    // The buffer of the next packet; commit() adds it to the batch with its length.
    [[nodiscard]] std::span<uint8_t> next_buffer();
    void commit(size_t length);

    struct Result {
        size_t sent = 0;
        size_t bytes = 0;   // UDP payload bytes of the packets sent
        size_t failed = 0;  // packets the kernel refused for a passing reason
        int fatal = 0;      // errno of a failure that will not pass (nothing more is sent)
    };
    // Sends every packet of the batch on the connected socket `fd` and empties the batch.
    Result send(int fd);

private:
    // Lays out the messages for the packets from `first` on; returns how many.
    size_t pack(size_t first);

    uint32_t datagram_size_;
    bool segmentation_;
    std::vector<uint8_t> storage_;
    std::vector<size_t> lengths_;
    // One per message: its bytes, the packets it carries, its segment size.
    std::vector<iovec> iovecs_;
    std::vector<size_t> carried_;
    std::vector<uint8_t> controls_;
    std::vector<mmsghdr> messages_;
    size_t count_ = 0;
};

}  // namespace qel::camsim
