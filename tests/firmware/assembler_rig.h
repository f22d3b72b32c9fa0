// The firmware's receive path on a bench: a packet receiver on one end of a datagram socket
// pair, an assembler, buffers between inaccessible guard pages, a descriptor ring the test
// consumes as the host would, and a clock the test sets.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/buffer_pool.h"
#include "adapter/firmware/descriptor_ring.h"
#include "adapter/firmware/drop_requests.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/firmware/packet_receiver.h"
#include "gvsp_builder.h"

namespace qel::test {

// `length` bytes (page-aligned) between two inaccessible pages, the rest of its last page
// filled with a canary.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t length);
    ~GuardedBuffer();
    uint8_t *data() const { return base_ + kPage; }
    bool canary_intact() const;
    static constexpr size_t kPage = 4096;

private:
    uint8_t *base_ = nullptr;
    size_t length_ = 0;
    size_t rounded_ = 0;
};

// A descriptor as the host reads it.
struct Seen {
    uint16_t type = 0;
    uint64_t block_id = 0;
    uint32_t packet_id = 0;  // trailers
    uint8_t firmware_status = 0;
    uint32_t payload_length = 0;  // trailers
    // An INCOMPLETE status's gap report: the marker byte, the flags byte, the gap's last id.
    uint8_t gap_marker = 0;
    uint8_t gap_flags = 0;
    uint32_t gap_last = 0;
    bool is_final() const { return type == 2 && firmware_status != 1; }
};

class Rig {
public:
    // A ring of `ring_descriptors` entries (a power of two).
    explicit Rig(adapter::AssemblerSettings settings = {}, size_t ring_descriptors = 1024);
    ~Rig();
    // Pins a guarded buffer of `length` bytes and queues it; returns its index.
    uint32_t add_buffer(size_t length);
    void requeue(uint32_t index) { EXPECT_EQ(pool_.queue(index, 0), 0); }
    GuardedBuffer &buffer(uint32_t index) { return *buffers_.at(index); }
    // Sends datagrams into the socket; receive_all lets the receiver read them at `now`.
    void send(const Bytes &datagram);
    void receive_all(uint64_t now);
    void feed(const Bytes &datagram, uint64_t now) { feed(std::vector<Bytes>{datagram}, now); }
    void feed(const std::vector<Bytes> &datagrams, uint64_t now);
    // The firmware's timer with every datagram sent so far read (as feed leaves it), and with
    // some still waiting unread in its socket.
    void timer(uint64_t now) {
        assembler_->caught_up(now);
        assembler_->on_timer(now);
    }
    void timer_behind(uint64_t now) { assembler_->on_timer(now); }
    // Consumes every descriptor posted so far, as the host does.
    std::vector<Seen> drain();
    uint64_t counter(adapter::Counter c) const { return counters_.get(c); }
    adapter::BufferPool &pool() { return pool_; }
    adapter::BlockAssembler &assembler() { return *assembler_; }
    static uint64_t clock_now;  // what the receiver stamps packets with

private:
    std::vector<uint8_t> ring_memory_;
    std::vector<uint8_t> progress_ = std::vector<uint8_t>(shm::kPageBytes);
    adapter::BufferPool pool_;
    adapter::DescriptorRing ring_;
    adapter::DropRequests drops_;
    adapter::FirmwareCounters counters_;
    std::unique_ptr<adapter::BlockAssembler> assembler_;
    int sockets_[2] = {-1, -1};
    std::unique_ptr<adapter::PacketReceiver> receiver_;
    std::map<uint32_t, std::unique_ptr<GuardedBuffer>> buffers_;
    uint32_t read_index_ = 0;
    uint8_t expected_tag_ = 1;
    uint32_t consumed_ = 0;
};

constexpr uint64_t ms(uint64_t n) {
    return n * 1'000'000;
}

}  // namespace qel::test
