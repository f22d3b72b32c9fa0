// Reassembly of an endpoint's GVSP blocks into the host's buffers, and the descriptors that
// report them, in order.
//
// Blocks take buffers in the order they arrive, which is the order the host queued the
// buffers, and they are reported in that same order: the oldest block in flight (the head) is
// the only one that posts descriptors (its leader, INCOMPLETE statuses while it misses
// packets, then its final descriptor), so no two blocks' descriptors interleave, and a later
// block that completes first waits for the head to end. Every block ends: complete, or with
// INCOMPLETE_FINAL once its time is over, or BUFFER_OVERFLOW, or NO_BUFFERS when no buffer
// was free. Each block's time runs from when it was itself first known to miss packets (a
// later block began, its trailer came with gaps, or nothing came for it for a resend
// interval), wherever it stands in the queue: blocks that never finish hold the blocks behind
// them for one block timeout at most, not one each, and a large block still arriving in order
// on a slow link is never cut however long it takes. On a stream
// without packet resend nothing can fill a gap: a block that misses packets ends as soon as
// a later block completes.
//
// A full ring holds descriptors back; nothing is overwritten, and nothing is forgotten: the
// blocks that arrive meanwhile without a buffer are kept as runs of consecutive ids, each
// reported with its NO_BUFFERS descriptor once there is room.
//
// Threads: an assembler is used by one thread at a time (the firmware's). It allocates
// nothing after construction; the buffer pool, the ring and the drop requests take their own
// short locks once per block (the drop requests only while any is pending).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <optional>

#include "adapter/firmware/block_slot.h"
#include "adapter/firmware/buffer_pool.h"
#include "adapter/firmware/descriptor_ring.h"
#include "adapter/firmware/drop_requests.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/firmware/gvsp_packet.h"

namespace qel::adapter {

// What an endpoint lends its firmware.
struct FirmwarePorts {
    BufferPool &buffers;
    DescriptorRing &ring;
    DropRequests &drops;
    FirmwareCounters &counters;
};

struct AssemblerSettings {
    uint64_t resend_interval_ns = 10'000'000;
    uint64_t block_timeout_ns = 200'000'000;
    // Whether the host asks the camera again for missing packets. Without, a block that
    // misses packets waits for nothing once a later block has completed.
    bool packet_resend = true;
    // Whether the host reads gap reports: each report is then one INCOMPLETE status per gap
    // (up to kMaxGapsPerReport), each with its end; otherwise one status naming the first.
    bool gap_reports = false;
    // The form of block ids the host asks for resent packets in; unknown: not checked. A
    // camera that sends the other form cannot understand those requests: its stream is taken
    // as one without resend.
    enum class IdForm : uint8_t { unknown, standard, extended };
    IdForm host_ids = IdForm::unknown;
};

// Where the next data packets of the block being received belong, for receiving them in
// place.
struct Placement {
    uint64_t block_id = 0;
    bool extended = false;
    uint8_t *buffer = nullptr;
    uint32_t buffer_length = 0;
    uint32_t next_packet_id = 1;  // the data packet expected next
    uint32_t packet_payload = 0;  // data bytes of a full packet; 0: not known yet
    // Before packet 1 has shown it: the data bytes of a full packet of the stream's earlier
    // blocks (0: none yet). A guess that packet 1 must confirm.
    uint32_t guessed_payload = 0;
    // Packets expected before the block is done and the next block's leader has come (its
    // remaining data packets, its trailer, the next leader); 0 when not known.
    uint32_t packets_to_next_block = 0;
};

class BlockAssembler {
public:
    // Blocks holding a buffer at a time. Only the oldest block asks for resends, so on a lossy
    // link the blocks behind it wait their turn, one answer each: the slots must hold the
    // blocks that a camera sends while a run of lossy ones is recovered.
    static constexpr uint32_t kSlots = 64;
    // Blocks in flight waiting for their turn to be reported: every slot, and a run of blocks
    // without a buffer before and after each.
    static constexpr uint32_t kPending = 2 * kSlots + 1;
    // Ended blocks remembered, so that their late packets do not start new blocks.
    static constexpr uint32_t kHistory = 64;
    // How long an ended block's packets count as late rather than as a new block of the same
    // id. A new leader for that id (not a resent one) starts the block again at once: the
    // camera has started its block ids again.
    static constexpr uint64_t kLateWindowNs = 1'000'000'000;
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
    // The most INCOMPLETE statuses one report of a block posts. Gaps beyond them wait for the
    // next report, when the ones asked for have been answered; the ring keeps room for the
    // descriptors of the blocks behind.
    static constexpr uint32_t kMaxGapsPerReport = 256;
    // How soon a descriptor held back by a full ring is tried again.
    static constexpr uint64_t kHoldRetryNs = 1'000'000;

    BlockAssembler(FirmwarePorts ports, AssemblerSettings settings);
    BlockAssembler(const BlockAssembler &) = delete;
    BlockAssembler &operator=(const BlockAssembler &) = delete;

    // One packet, parsed, that arrived at `now` (monotonic ns). A data packet's payload may
    // already lie at its place in the buffer (see placement()); otherwise it is copied there.
    void on_packet(const gvsp::Packet &packet, uint64_t now);
    // Resend statuses, block timeouts and descriptors held back by a full ring.
    void on_timer(uint64_t now);
    // Every packet that reached the firmware before `now` has been offered: a read found its
    // socket empty. Silence (nothing heard of a block for a while) is judged up to here only.
    void caught_up(uint64_t now) { caught_up_at_ = std::max(caught_up_at_, now); }
    // When on_timer next has work, seen at `now`; kNever when nothing waits for time.
    uint64_t next_due(uint64_t now) const;
    // Where the block being received expects its next data packets; nothing when no block is
    // being received.
    std::optional<Placement> placement() const;
    // Whether the newest block has ended, so that the next packet most likely starts a block.
    bool between_blocks() const;
    // Ends every block in flight (INCOMPLETE_FINAL) and reports what the ring takes. Every
    // buffer taken goes back to the pool, reported or not. For the firmware's stop.
    void stop(uint64_t now);

    uint32_t blocks_in_flight() const { return pending_count_; }

private:
    struct Pending {
        uint64_t block_id = 0;  // the first of a run
        int32_t slot = -1;      // -1: blocks without a buffer, reported by their status alone
        shm::FirmwareStatus status = shm::KOB_QEL_STATUS_NO_BUFFERS;
        uint32_t packet_id = 0;
        uint32_t count = 1;  // blocks without a buffer: this many, of consecutive ids
        bool extended = false;
    };
    // A block that holds a slot: its progress beyond what the slot records.
    struct Flight {
        bool ended = false;
        shm::FirmwareStatus final_status = shm::KOB_QEL_STATUS_COMPLETE;
        uint32_t final_packet_id = 0;
        uint64_t ended_at = 0;
        bool leader_posted = false;      // any leader descriptor, its own or one naming it
        bool own_leader_posted = false;  // the leader that the camera sent
        bool gap_seen = false;           // known to miss packets
        uint64_t missing_since = 0;      // when it was first known to: its time runs from here
        void note_missing(uint64_t now) {
            if (!gap_seen) missing_since = now;
            gap_seen = true;
        }
        bool asking = false;  // INCOMPLETE statuses have begun
        uint64_t next_incomplete = 0;
        bool asked = false;           // an INCOMPLETE status reached the ring
        uint64_t first_asked_at = 0;  // when the first one did
        uint64_t asked_at = 0;        // when the last one did
        uint64_t answered_at = 0;     // when a resent copy of a packet it had came last
        bool timed = false;           // its first answer has timed the round trip
    };
    struct Ended {
        uint64_t block_id = 0;
        uint64_t at = 0;
        bool used = false;
        bool had_buffer = false;
        bool had_leader = false;
    };

    Pending &pending_at(uint32_t i) { return pending_[(pending_head_ + i) % kPending]; }
    const Pending &pending_at(uint32_t i) const { return pending_[(pending_head_ + i) % kPending]; }
    // The newest pending block (or run) that holds `block_id`, or -1.
    int32_t find_pending(uint64_t block_id) const;
    const Ended *recently_ended(uint64_t block_id, uint64_t now) const;
    void remember_ended(uint64_t block_id, uint64_t now, bool had_buffer, bool had_leader = false);
    // Whether `packet` starts again the id of an ended block that had its leader.
    bool restarts(const gvsp::Packet &packet, bool had_leader);

    void open_block(const gvsp::Packet &packet, uint64_t now);
    int32_t take_slot(uint64_t now);
    void offer(int32_t slot, const gvsp::Packet &packet, uint64_t now);
    void end_block(int32_t slot, shm::FirmwareStatus status, uint32_t packet_id, uint64_t now);
    void push_pending(const Pending &pending);
    // A block without a buffer: joins the run before it when its id follows that run's.
    void push_without_buffer(const gvsp::Packet &packet);
    // Ends the blocks whose time is over, wherever they are in the queue.
    void expire(uint64_t now);
    // On a stream without resend: a block completed, so the earlier ones missing packets end.
    void end_overtaken(int32_t slot, uint64_t now);

    // Posts what the head block (and, as each ends, the next) has to report.
    void pump(uint64_t now);
    // Returns false when the head must wait (the ring is full).
    bool advance_head(uint64_t now);
    // Posts, or notes that the head waits for room.
    bool post_held(const Descriptor &descriptor);
    void note_hold();
    // Whether nothing came from `heard` on for `span`, as far as the firmware can tell: packets
    // still unread in its socket (queued behind a large block, or waiting while the firmware's
    // thread was not running) may be the very ones awaited, so only time up to the last
    // catch-up counts.
    bool silent_for(uint64_t heard, uint64_t span) const {
        return caught_up_at_ >= heard && caught_up_at_ - heard >= span;
    }
    // When the block in `slot` last heard of its packets: one placed, or a resent copy.
    uint64_t heard(int32_t slot) const;
    // A resent copy of a packet of the block in `slot` came at `now`.
    void answered(int32_t slot, uint64_t now);
    // How long a report's answer may take before the report is repeated.
    uint64_t answer_wait() const;
    // A quarter of a block's time (at least a resend interval): the longest the firmware waits
    // on a block before asking, so that the rest of its time is left for the answer.
    uint64_t longest_wait() const;
    // When the head block in `slot`, missing packets, is due its next INCOMPLETE status, and
    // whether it is due at `now`.
    uint64_t incomplete_due(int32_t slot) const;
    bool incomplete_is_due(int32_t slot, uint64_t now) const;
    // Whether the packets of the block in `slot` after the last one received, its trailer not
    // come, are lost rather than still on their way (see report_gaps).
    bool tail_lost(int32_t slot) const;
    // Posts the INCOMPLETE statuses of one report of the head block in `slot`.
    void report_gaps(int32_t slot, uint64_t now);
    void release_slot(int32_t slot);
    void count_reported(shm::FirmwareStatus status);

    FirmwarePorts ports_;
    AssemblerSettings settings_;

    std::array<BlockSlot, kSlots> slots_{};
    std::array<Flight, kSlots> flights_{};
    struct FreeBitmaps {
        void operator()(uint64_t *bitmaps) const { std::free(bitmaps); }
    };
    // kSlots x kBitmapWords, from calloc: memory this large comes as untouched zero pages, so
    // only the words that blocks use become resident (a slot's first page records 32768
    // packets), not the megabytes that the largest blocks could need.
    std::unique_ptr<uint64_t[], FreeBitmaps> bitmaps_;
    std::array<int32_t, kSlots> free_slots_{};
    uint32_t free_count_ = 0;

    std::array<Pending, kPending> pending_{};
    uint32_t pending_head_ = 0;
    uint32_t pending_count_ = 0;

    std::array<Ended, kHistory> ended_{};
    uint32_t ended_next_ = 0;

    bool resend_usable_ = true;  // packet_resend, unless the camera's ids are not the host's
    int32_t current_ = -1;       // the slot of the newest block
    uint32_t learned_payload_ = 0;
    uint32_t learned_packets_ = 0;
    bool holding_ = false;  // the head waits for room in the ring
    uint64_t caught_up_at_ = 0;
    // The time from a block's first report to its first answer, smoothed over blocks, and
    // its mean deviation; 0 before any answer.
    uint64_t round_trip_ns_ = 0;
    uint64_t round_trip_spread_ns_ = 0;
};

}  // namespace qel::adapter
