#include "assembler_rig.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <set>
#include <stdexcept>

#include "adapter/shared_pages.h"

namespace qel::test {

namespace {

constexpr size_t kPage = 4096;
constexpr uint8_t kCanary = 0xA5;

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

uint64_t Rig::clock_now = 0;

GuardedBuffer::GuardedBuffer(size_t length) : length_(length) {
    rounded_ = (length + kPage - 1) / kPage * kPage;
    mapped_ = rounded_ + 2 * kPage;
    void *p = mmap(nullptr, mapped_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<uint8_t *>(p);
    data_ = base_ + kPage;
    if (mprotect(data_, rounded_, PROT_READ | PROT_WRITE) != 0) {
        throw std::runtime_error("mprotect failed");
    }
    std::memset(data_, 0, length_);
    std::memset(data_ + length_, kCanary, rounded_ - length_);
}

GuardedBuffer::~GuardedBuffer() {
    munmap(base_, mapped_);
}

bool GuardedBuffer::canary_intact() const {
    for (size_t i = length_; i < rounded_; ++i) {
        if (data_[i] != kCanary) return false;
    }
    return true;
}

Rig::Rig(adapter::AssemblerTimes times, uint32_t ring_bytes)
    : ring_memory_(ring_bytes), progress_(kPage) {
    ring_.attach(ring_memory_, progress_);
    assembler_ = std::make_unique<adapter::BlockAssembler>(
        adapter::FirmwarePorts{pool_, ring_, drops_, counters_}, times);
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets_) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    // Room for a test's worth of datagrams before the receiver reads them.
    const int bytes = 8 << 20;
    setsockopt(sockets_[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(sockets_[1], SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    receiver_ = std::make_unique<adapter::PacketReceiver>(sockets_[1], [] { return clock_now; });
}

Rig::~Rig() {
    close(sockets_[0]);
    close(sockets_[1]);
}

uint32_t Rig::add_buffer(size_t length, bool credit) {
    auto buffer = std::make_unique<GuardedBuffer>(length);
    uint32_t index = 0;
    EXPECT_EQ(pool_.pin(reinterpret_cast<uintptr_t>(buffer->data()), static_cast<uint32_t>(length),
                        &index),
              0);
    EXPECT_EQ(pool_.queue(index, credit ? 1 : 0), 0);
    buffers_[index] = std::move(buffer);
    return index;
}

void Rig::requeue(uint32_t index, bool credit) {
    EXPECT_EQ(pool_.queue(index, credit ? 1 : 0), 0);
}

void Rig::send(const Bytes &datagram) {
    // A datagram socket pair keeps the sender's boundaries, and an empty datagram is one too.
    ASSERT_EQ(::send(sockets_[0], datagram.data(), datagram.size(), 0),
              static_cast<ssize_t>(datagram.size()));
}

void Rig::receive_all(uint64_t now) {
    clock_now = now;
    while (receiver_->receive(*assembler_, counters_) > 0) {
    }
}

void Rig::feed(const std::vector<Bytes> &datagrams, uint64_t now) {
    // A datagram socket pair queues a few hundred datagrams at most.
    constexpr size_t kChunk = 200;
    for (size_t i = 0; i < datagrams.size(); i += kChunk) {
        for (size_t j = i; j < std::min(datagrams.size(), i + kChunk); ++j) send(datagrams[j]);
        receive_all(now);
    }
    receive_all(now);
}

std::vector<Seen> Rig::drain() {
    std::vector<Seen> out;
    const uint32_t capacity =
        static_cast<uint32_t>(ring_memory_.size() / adapter::kDescriptorBytes);
    for (;;) {
        uint8_t *slot = ring_memory_.data() + size_t{read_index_} * adapter::kDescriptorBytes;
        // Acquire pairs with the ring's release store of the tag.
        const uint8_t tag = std::atomic_ref<uint8_t>(slot[63]).load(std::memory_order_acquire);
        if ((tag & 0x0F) != expected_tag_) break;
        Seen s;
        std::memcpy(s.raw.data(), slot, 64);
        const uint8_t *d = s.raw.data();
        s.status_word = be16(d);
        s.type = be16(d + 4);
        s.block_id = uint64_t{be32(d + 8)} << 32 | be32(d + 12);
        s.packet_id = be32(d + 16);
        s.payload_length = be32(d + 20);
        s.ticks = uint64_t{be16(d + 24)} << 32 | be32(d + 28);
        s.firmware_status = d[60];
        s.credit = d[61];
        s.time = d[62];
        out.push_back(s);
        read_index_ = (read_index_ + 1) % capacity;
        expected_tag_ = static_cast<uint8_t>(expected_tag_ % 15 + 1);
        ++consumed_;
        // Release pairs with the ring's acquire of the consumed count.
        std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(
                                      progress_.data() + adapter::ProgressPageLayout::kConsumed))
            .store(consumed_, std::memory_order_release);
    }
    return out;
}

void expect_not_interleaved(const std::vector<Seen> &seen) {
    std::set<uint64_t> finished;
    bool open = false;
    uint64_t current = 0;
    for (const Seen &s : seen) {
        EXPECT_EQ(finished.count(s.block_id), 0u)
            << "block " << s.block_id << " reported again after its final descriptor";
        if (open) {
            EXPECT_EQ(s.block_id, current)
                << "block " << s.block_id << " interleaved with block " << current;
        }
        open = true;
        current = s.block_id;
        if (s.is_final()) {
            finished.insert(s.block_id);
            open = false;
        }
    }
}

}  // namespace qel::test
