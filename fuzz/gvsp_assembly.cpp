// Fuzz target: the firmware's receive path for one endpoint, from datagrams to descriptors.
//
// The input is a small setup and then a script of events:
//   byte 0        bits 0-1: buffers queued at the start, less one (1 to 4);
//                 bit 2: a ring of 8 descriptors (else 256), so that the ring runs full
//   2 per buffer  its length, big-endian (1 + value % 16384 bytes)
//   events        one byte each, by its low 2 bits, then what that event needs:
//                 0  a datagram: 2 bytes of length (big-endian), then that many bytes (fewer
//                    when the input ends first)
//                 1  time moves on by (byte >> 2) + 1 ms, and the timer runs
//                 2  the host takes every descriptor posted and queues again every buffer
//                    whose block it has seen end
//                 3  a drop request: 2 bytes of block id, 2 bytes of packet id
// At the end the firmware stops and the host takes what is left.
//
// The datagrams go through a socket pair into the packet receiver, which lands predicted
// data packets straight in the block's buffer, as on a real endpoint. After every event:
// nothing was written around any buffer (guard bytes), every datagram and byte was counted,
// and every descriptor the host takes is well formed, in order, and names a size that fits
// the buffer its block took. A block reported complete holds, up to its length, data packets
// that were sent for it joined in id order, every one but the last of one size.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/packet_receiver.h"
#include "core/byte_order.h"
#include "core/shared_memory.h"
#include "fuzz_check.h"

using namespace qel::adapter;
using qel::load_be16;
using qel::load_be32;
using qel::load_be64;
namespace shm = qel::shm;

namespace {

constexpr size_t kPage = 4096;
constexpr uint8_t kCanary = 0x5A;
constexpr uint64_t kMs = 1'000'000;

uint64_t g_now = 0;

// A socket pair and a receiver on it, made once: the receiver keeps nothing between calls
// but its scratch memory.
struct Wire {
    int sockets[2] = {-1, -1};
    std::unique_ptr<PacketReceiver> receiver;

    Wire() {
        QEL_FUZZ_CHECK(
            socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sockets) == 0,
            "socketpair");
        const int bytes = 1 << 20;
        setsockopt(sockets[0], SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
        setsockopt(sockets[1], SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        receiver = std::make_unique<PacketReceiver>(sockets[1], [] { return g_now; });
    }
};

// Whether `length` bytes at `p` all hold the canary (memcmp: checked after every event).
bool same_as_canary(const uint8_t *p, size_t length) {
    static const auto canary = [] {
        std::array<uint8_t, kPage> page;
        page.fill(kCanary);
        return page;
    }();
    for (size_t done = 0; done < length; done += kPage) {
        if (std::memcmp(p + done, canary.data(), std::min(kPage, length - done)) != 0) return false;
    }
    return true;
}

// A buffer with a page of guard bytes before it and guard bytes from its end to the end of
// the page after its last.
class GuardedBuffer {
public:
    explicit GuardedBuffer(uint32_t length)
        : length_(length), mapped_((length + kPage - 1) / kPage * kPage + 2 * kPage) {
        base_.reset(static_cast<uint8_t *>(std::aligned_alloc(kPage, mapped_)));
        std::memset(base_.get(), kCanary, mapped_);
        std::memset(data(), 0, length_);
    }
    uint8_t *data() const { return base_.get() + kPage; }
    uint32_t length() const { return length_; }
    bool guards_intact() const {
        return same_as_canary(base_.get(), kPage) &&
               same_as_canary(data() + length_, mapped_ - kPage - length_);
    }

private:
    struct Free {
        void operator()(uint8_t *p) const { std::free(p); }
    };
    uint32_t length_;
    size_t mapped_;
    std::unique_ptr<uint8_t, Free> base_;
};

struct HostBuffer {
    std::unique_ptr<GuardedBuffer> memory;
    uint32_t index = 0;
    bool credit = false;
    bool idle = false;  // its block was seen to end, and it is not queued again yet
};

class Bench {
public:
    Bench(uint32_t ring_entries)
        : ring_memory_(size_t{ring_entries} * shm::kDescriptorBytes), progress_(shm::kPageBytes) {
        ring_.attach(ring_memory_, progress_);
        assembler_ = std::make_unique<BlockAssembler>(
            FirmwarePorts{pool_, ring_, drops_, counters_}, AssemblerSettings{});
    }

    void add_buffer(uint32_t length) {
        HostBuffer buffer;
        buffer.memory = std::make_unique<GuardedBuffer>(length);
        QEL_FUZZ_CHECK(pool_.pin(reinterpret_cast<uintptr_t>(buffer.memory->data()), length,
                                 &buffer.index) == 0,
                       "pin");
        buffer.credit = (buffers_.size() & 1) != 0;
        buffers_.push_back(std::move(buffer));
        queue(buffers_.size() - 1);
    }

    void datagram(const uint8_t *bytes, size_t length) {
        const ssize_t sent = ::send(wire().sockets[0], bytes, length, 0);
        QEL_FUZZ_CHECK(sent == static_cast<ssize_t>(length), "send of %zu bytes", length);
        ++datagrams_;
        bytes_ += length;
        gvsp::Packet packet;
        if (gvsp::parse({bytes, length}, packet) == gvsp::Fault::none &&
            packet.header.format == gvsp::Format::payload && !packet.header.is_error()) {
            sent_[{packet.header.block_id, packet.header.packet_id}].emplace(packet.payload.begin(),
                                                                             packet.payload.end());
        }
        g_now += 1000;
        while (wire().receiver->receive(*assembler_, counters_) > 0) {
        }
    }
    void timer(uint64_t step) {
        g_now += step;
        assembler_->caught_up(g_now);  // every datagram sent has been read
        assembler_->on_timer(g_now);
    }
    void drop(uint32_t block, uint32_t packet) { (void)drops_.add(block, packet); }

    // The host: takes every descriptor, then queues again the buffers whose blocks ended.
    void host() {
        drain();
        for (size_t i = 0; i < buffers_.size(); ++i) {
            if (buffers_[i].idle) queue(i);
        }
    }

    void check() {
        for (const HostBuffer &b : buffers_) {
            QEL_FUZZ_CHECK(b.memory->guards_intact(), "bytes written around buffer %u", b.index);
        }
        QEL_FUZZ_CHECK(counters_.get(Counter::packets) == datagrams_,
                       "%lu packets counted, %lu sent",
                       (unsigned long)counters_.get(Counter::packets), (unsigned long)datagrams_);
        QEL_FUZZ_CHECK(counters_.get(Counter::bytes) == bytes_, "bytes counted");
        const uint64_t set_aside =
            counters_.get(Counter::malformed) + counters_.get(Counter::error_status) +
            counters_.get(Counter::duplicates) + counters_.get(Counter::late) +
            counters_.get(Counter::without_buffer) + counters_.get(Counter::dropped_on_request);
        QEL_FUZZ_CHECK(set_aside <= datagrams_, "%lu packets set aside of %lu",
                       (unsigned long)set_aside, (unsigned long)datagrams_);
        // Copied bytes may count twice (gathered out of a wrong place, then copied to the
        // right one); bytes received in place were received once.
        QEL_FUZZ_CHECK(counters_.get(Counter::bytes_placed) <= bytes_,
                       "more payload placed than received");
        QEL_FUZZ_CHECK(reported() >= finals_seen_, "more final descriptors than blocks reported");
        QEL_FUZZ_CHECK(assembler_->blocks_in_flight() <= BlockAssembler::kPending, "in flight");
    }

    // The firmware stops; the host takes what is left. Every buffer is the host's again and
    // every block reported was seen.
    void finish() {
        g_now += kMs;
        assembler_->stop(g_now);
        drain();
        check();
        // A stop with the ring full loses what it cannot post, and says so.
        QEL_FUZZ_CHECK(!open_ || counters_.get(Counter::blocks_lost) != 0,
                       "block %lu left without its final descriptor", (unsigned long)open_block_);
        QEL_FUZZ_CHECK(reported() == finals_seen_, "%lu blocks reported, %lu final descriptors",
                       (unsigned long)reported(), (unsigned long)finals_seen_);
        QEL_FUZZ_CHECK(ring_.posted() == taken_, "descriptors posted and taken differ");
        for (const HostBuffer &b : buffers_) {
            QEL_FUZZ_CHECK(pool_.unpin(b.index, true) == 0, "buffer %u still filling", b.index);
        }
    }

private:
    static Wire &wire() {
        static Wire w;
        return w;
    }

    uint64_t reported() const {
        return counters_.get(Counter::blocks_complete) +
               counters_.get(Counter::blocks_incomplete_final) +
               counters_.get(Counter::blocks_buffer_overflow) +
               counters_.get(Counter::blocks_no_buffers);
    }

    void queue(size_t i) {
        HostBuffer &b = buffers_[i];
        QEL_FUZZ_CHECK(pool_.queue(b.index, b.credit ? 1 : 0) == 0, "queue of buffer %u", b.index);
        b.idle = false;
        fifo_.push_back(i);
    }

    void drain() {
        const uint32_t capacity =
            static_cast<uint32_t>(ring_memory_.size() / shm::kDescriptorBytes);
        for (;;) {
            uint8_t *slot = ring_memory_.data() + size_t{read_index_} * shm::kDescriptorBytes;
            // Acquire pairs with the ring's release store of the tag.
            const uint8_t tag =
                std::atomic_ref<uint8_t>(slot[shm::offset::kTag]).load(std::memory_order_acquire);
            if ((tag & shm::kTagMask) != expected_tag_) break;
            uint8_t d[shm::kDescriptorBytes];
            std::memcpy(d, slot, sizeof d);
            read_index_ = (read_index_ + 1) % capacity;
            expected_tag_ = shm::next_tag(expected_tag_);
            ++taken_;
            // Release pairs with the ring's acquire of the consumed count.
            std::atomic_ref<uint32_t>(
                *reinterpret_cast<uint32_t *>(progress_.data() + shm::progress_page::kConsumed))
                .store(static_cast<uint32_t>(taken_), std::memory_order_release);
            descriptor(d);
        }
    }

    // One descriptor as the host sees it.
    void descriptor(const uint8_t *d) {
        const uint16_t type = load_be16(d + shm::offset::kType);
        const uint64_t block_id = load_be64(d + shm::offset::kBlockId);
        const uint8_t status = d[shm::offset::kFirmwareStatus];
        QEL_FUZZ_CHECK(type == shm::kLeader || type == shm::kTrailer, "descriptor type %u", type);
        QEL_FUZZ_CHECK(block_id != 0, "descriptor of block 0");
        QEL_FUZZ_CHECK(status <= shm::KOB_QEL_STATUS_NO_BUFFERS, "firmware status %u", status);
        if (open_) {
            QEL_FUZZ_CHECK(block_id == open_block_, "block %lu interleaved with block %lu",
                           (unsigned long)block_id, (unsigned long)open_block_);
        }
        if (type == shm::kLeader) {
            QEL_FUZZ_CHECK(status == shm::KOB_QEL_STATUS_COMPLETE, "leader with firmware status %u",
                           status);
            open_ = true;
            open_block_ = block_id;
            return;
        }
        if (status == shm::KOB_QEL_STATUS_INCOMPLETE) {
            QEL_FUZZ_CHECK(open_, "INCOMPLETE of block %lu before any leader",
                           (unsigned long)block_id);
            return;
        }
        ++finals_seen_;
        if (status == shm::KOB_QEL_STATUS_NO_BUFFERS) {
            QEL_FUZZ_CHECK(!open_, "NO_BUFFERS after a leader");
            return;
        }
        QEL_FUZZ_CHECK(open_, "final descriptor of block %lu without a leader",
                       (unsigned long)block_id);
        open_ = false;
        QEL_FUZZ_CHECK(!fifo_.empty(), "a block ended in a buffer the host did not queue");
        HostBuffer &buffer = buffers_[fifo_.front()];
        fifo_.pop_front();
        const uint32_t payload_length = load_be32(d + shm::offset::kPayloadLength);
        QEL_FUZZ_CHECK(payload_length <= buffer.memory->length(),
                       "block of %u bytes in a buffer of %u", payload_length,
                       buffer.memory->length());
        if (status == shm::KOB_QEL_STATUS_COMPLETE) {
            // The trailer is the packet after the last data packet.
            const uint32_t data_packets = load_be32(d + shm::offset::kPacketId) - 1;
            QEL_FUZZ_CHECK(
                holds_its_packets(block_id, data_packets, buffer.memory->data(), payload_length),
                "complete block %lu holds bytes that are not its %u packets'",
                (unsigned long)block_id, data_packets);
        }
        QEL_FUZZ_CHECK(d[shm::offset::kCredit] == (buffer.credit ? 1 : 0), "credit %u",
                       d[shm::offset::kCredit]);
        buffer.idle = true;
    }

    // Whether `data` holds data packets 1 to `count` sent for `block_id`, joined in id order,
    // `length` bytes in all, every one but the last of the same size.
    bool holds_its_packets(uint64_t block_id, uint32_t count, const uint8_t *data,
                           uint32_t length) const {
        if (count == 0) return length == 0;
        const auto sent_at = [&](uint32_t id, uint64_t offset, uint64_t size) {
            const auto it = sent_.find({block_id, id});
            if (it == sent_.end() || offset + size > length) return false;
            for (const std::vector<uint8_t> &payload : it->second) {
                if (payload.size() == size &&
                    std::memcmp(data + offset, payload.data(), size) == 0) {
                    return true;
                }
            }
            return false;
        };
        const auto first = sent_.find({block_id, 1});
        if (first == sent_.end()) return false;
        // Every size packet 1 was sent with is a candidate for the size of the full packets.
        for (const std::vector<uint8_t> &one : first->second) {
            const uint64_t full = one.size();
            const uint64_t before_last = uint64_t{count - 1} * full;
            if (before_last >= length) continue;
            bool all = true;
            for (uint32_t id = 1; id < count && all; ++id) {
                all = sent_at(id, uint64_t{id - 1} * full, full);
            }
            if (all && sent_at(count, before_last, length - before_last)) return true;
        }
        return false;
    }

    std::vector<uint8_t> ring_memory_;
    std::vector<uint8_t> progress_;
    BufferPool pool_;
    DescriptorRing ring_;
    DropRequests drops_;
    FirmwareCounters counters_;
    std::unique_ptr<BlockAssembler> assembler_;

    std::vector<HostBuffer> buffers_;
    std::deque<size_t> fifo_;  // buffers queued, in queue order
    uint64_t datagrams_ = 0;
    uint64_t bytes_ = 0;
    uint32_t read_index_ = 0;
    uint8_t expected_tag_ = 1;
    uint64_t taken_ = 0;
    uint64_t finals_seen_ = 0;
    bool open_ = false;
    uint64_t open_block_ = 0;
    // The payloads of the data packets sent, by block and packet id. Never forgotten: a
    // camera may send a block id again before the first block of that id is reported.
    std::map<std::pair<uint64_t, uint32_t>, std::set<std::vector<uint8_t>>> sent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const uint32_t buffer_count = (data[0] & 3) + 1;
    const bool small_ring = (data[0] & 4) != 0;
    size_t at = 1;
    if (size < at + 2 * buffer_count) return 0;
    g_now = 1'000 * kMs;
    Bench bench(small_ring ? 8 : 256);
    for (uint32_t i = 0; i < buffer_count; ++i, at += 2) {
        bench.add_buffer(1 + load_be16(data + at) % 16384);
    }
    while (at < size) {
        const uint8_t event = data[at++];
        switch (event & 3) {
            case 0: {
                if (size - at < 2) break;
                const size_t length = std::min<size_t>(load_be16(data + at), size - at - 2);
                at += 2;
                bench.datagram(data + at, length);
                at += length;
                break;
            }
            case 1:
                bench.timer(((event >> 2) + 1) * kMs);
                break;
            case 2:
                bench.host();
                break;
            case 3:
                if (size - at < 4) {
                    at = size;
                    break;
                }
                bench.drop(load_be16(data + at), load_be16(data + at + 2));
                at += 4;
                break;
        }
        bench.check();
    }
    bench.finish();
    return 0;
}
