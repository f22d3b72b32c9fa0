#include "assembler_rig.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

#include "core/byte_order.h"
#include "core/shared_memory.h"

namespace qel::test {

namespace {

constexpr uint8_t kCanary = 0xA5;

}  // namespace

uint64_t Rig::clock_now = 0;

GuardedBuffer::GuardedBuffer(size_t length) : length_(length) {
    rounded_ = (length + kPage - 1) / kPage * kPage;
    void *p = mmap(nullptr, rounded_ + 2 * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<uint8_t *>(p);
    if (mprotect(data(), rounded_, PROT_READ | PROT_WRITE) != 0)
        throw std::runtime_error("mprotect");
    std::memset(data() + length_, kCanary, rounded_ - length_);
}

GuardedBuffer::~GuardedBuffer() {
    munmap(base_, rounded_ + 2 * kPage);
}

bool GuardedBuffer::canary_intact() const {
    for (size_t i = length_; i < rounded_; ++i) {
        if (data()[i] != kCanary) return false;
    }
    return true;
}

Rig::Rig(adapter::AssemblerSettings settings, size_t ring_descriptors)
    : ring_memory_(ring_descriptors * shm::kDescriptorBytes) {
    ring_.attach(ring_memory_, progress_);
    assembler_ = std::make_unique<adapter::BlockAssembler>(
        adapter::FirmwarePorts{pool_, ring_, drops_, counters_}, settings);
    if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets_) != 0) {
        throw std::runtime_error("socketpair failed");
    }
    const int bytes = 8 << 20;
    setsockopt(sockets_[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    setsockopt(sockets_[1], SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    receiver_ = std::make_unique<adapter::PacketReceiver>(sockets_[1], [] { return clock_now; });
}

Rig::~Rig() {
    close(sockets_[0]);
    close(sockets_[1]);
}

uint32_t Rig::add_buffer(size_t length) {
    auto buffer = std::make_unique<GuardedBuffer>(length);
    uint32_t index = 0;
    const auto address = reinterpret_cast<uintptr_t>(buffer->data());
    EXPECT_EQ(pool_.pin(address, static_cast<uint32_t>(length), &index), 0);
    requeue(index);
    buffers_[index] = std::move(buffer);
    return index;
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
    for (size_t i = 0; i < datagrams.size(); ++i) {
        send(datagrams[i]);
        if (i % 200 == 199) receive_all(now);
    }
    receive_all(now);
}

std::vector<Seen> Rig::drain() {
    std::vector<Seen> out;
    const size_t capacity = ring_memory_.size() / shm::kDescriptorBytes;
    for (;;) {
        uint8_t *d = ring_memory_.data() + read_index_ * shm::kDescriptorBytes;
        // Acquire pairs with the ring's release store of the tag.
        const uint8_t tag =
            std::atomic_ref<uint8_t>(d[shm::offset::kTag]).load(std::memory_order_acquire);
        if ((tag & shm::kTagMask) != expected_tag_) break;
        out.push_back(Seen{load_be16(d + shm::offset::kType), load_be64(d + shm::offset::kBlockId),
                           load_be32(d + shm::offset::kPacketId), d[shm::offset::kFirmwareStatus],
                           load_be32(d + shm::offset::kPayloadLength), d[shm::offset::kGapMarker],
                           d[shm::offset::kGapFlags], load_be32(d + shm::offset::kGapLast)});
        read_index_ = static_cast<uint32_t>((read_index_ + 1) % capacity);
        expected_tag_ = shm::next_tag(expected_tag_);
        // Release pairs with the ring's acquire of the consumed count.
        std::atomic_ref<uint32_t>(
            *reinterpret_cast<uint32_t *>(progress_.data() + shm::progress_page::kConsumed))
            .store(++consumed_, std::memory_order_release);
    }
    return out;
}

}  // namespace qel::test
