#include "adapter/firmware/block_assembler.h"

#include <algorithm>
#include <new>

namespace qel::adapter {

namespace {

// How many blocks a camera sends from block `from` to block `to`: standard ids run 1 to 65535
// and round again; extended ids are 64 bits (0 is skipped, and never reached in practice).
uint64_t id_distance(uint64_t from, uint64_t to, bool extended) {
    if (extended) return to - from;
    return (to + 0xFFFF - from) % 0xFFFF;
}

}  // namespace

BlockAssembler::BlockAssembler(FirmwarePorts ports, AssemblerSettings settings)
    : ports_(ports),
      settings_(settings),
      bitmaps_(
          static_cast<uint64_t *>(std::calloc(size_t{kSlots} * kBitmapWords, sizeof(uint64_t)))) {
    if (!bitmaps_) throw std::bad_alloc();
    resend_usable_ = settings.packet_resend;
    for (uint32_t i = 0; i < kSlots; ++i) free_slots_[i] = static_cast<int32_t>(kSlots - 1 - i);
    free_count_ = kSlots;
}

// ---- Packets ----

void BlockAssembler::on_packet(const gvsp::Packet &packet, uint64_t now) {
    const gvsp::Header &header = packet.header;
    FirmwareCounters &counters = ports_.counters;
    if (header.is_resent()) counters.add(Counter::resent);
    if (header.is_error()) {
        counters.add(Counter::error_status);
        return;
    }
    if (ports_.drops.take(header.block_id, header.packet_id)) {
        counters.add(Counter::dropped_on_request);
        return;
    }
    // Nearly every packet belongs to the newest block.
    if (current_ >= 0 && slots_[current_].block_id() == header.block_id &&
        !flights_[current_].ended) {
        offer(current_, packet, now);
    } else if (const int32_t at = find_pending(header.block_id); at >= 0) {
        const Pending &pending = pending_at(static_cast<uint32_t>(at));
        if (pending.slot < 0) {
            counters.add(Counter::without_buffer);
        } else if (!flights_[pending.slot].ended) {
            offer(pending.slot, packet, now);
        } else if (restarts(packet, slots_[pending.slot].leader_received())) {
            open_block(packet, now);
        } else {
            counters.add(Counter::late);
        }
    } else if (const Ended *ended = recently_ended(header.block_id, now)) {
        if (restarts(packet, ended->had_leader)) {
            open_block(packet, now);
        } else {
            counters.add(ended->had_buffer ? Counter::late : Counter::without_buffer);
        }
    } else if (header.is_resent()) {
        // Only a block that was reported missing packets is resent: one no longer known has
        // ended long ago, and its packets start no block.
        counters.add(Counter::late);
    } else {
        open_block(packet, now);
    }
    pump(now);
}

bool BlockAssembler::restarts(const gvsp::Packet &packet, bool had_leader) {
    // A block has one leader: another one, not resent, is a new block of the same id.
    if (packet.header.format != gvsp::Format::leader || packet.header.is_resent() || !had_leader) {
        return false;
    }
    ports_.counters.add(Counter::id_restarts);
    return true;
}

void BlockAssembler::open_block(const gvsp::Packet &packet, uint64_t now) {
    const uint64_t block_id = packet.header.block_id;
    if (settings_.host_ids != AssemblerSettings::IdForm::unknown &&
        packet.header.extended != (settings_.host_ids == AssemblerSettings::IdForm::extended)) {
        ports_.counters.add(Counter::id_form_mismatches);
        resend_usable_ = false;
    }
    // A later block has come: every earlier block that still misses packets is known to.
    for (uint32_t i = 0; i < pending_count_; ++i) {
        const Pending &pending = pending_at(i);
        if (pending.slot >= 0 && !slots_[pending.slot].complete()) {
            flights_[pending.slot].note_missing(now);
        }
    }
    expire(now);
    if (pending_count_ == kPending) {
        // Nothing more can be held: the block is neither received nor reported. Its other
        // packets count as late rather than starting it again.
        ports_.counters.add(Counter::blocks_lost);
        remember_ended(block_id, now, false);
        return;
    }
    const int32_t slot = take_slot(now);
    std::optional<FreeBuffer> buffer;
    if (slot >= 0) buffer = ports_.buffers.take_next();
    if (!buffer) {
        if (slot >= 0) free_slots_[free_count_++] = slot;
        push_without_buffer(packet);
        return;
    }
    std::span<uint64_t, kBitmapWords> bitmap(bitmaps_.get() + size_t(slot) * kBitmapWords,
                                             kBitmapWords);
    slots_[slot].start(block_id, packet.header.extended, *buffer, bitmap, learned_payload_, now);
    flights_[slot] = Flight{};
    push_pending(
        Pending{block_id, slot, shm::KOB_QEL_STATUS_COMPLETE, 0, 1, packet.header.extended});
    current_ = slot;
    offer(slot, packet, now);
}

int32_t BlockAssembler::take_slot(uint64_t now) {
    if (free_count_ == 0 && pending_count_ > 0) {
        // Every slot is taken: the oldest block has had the longest to complete, and a newer
        // one is worth more than its missing packets.
        // Only when a buffer waits for the newer block: otherwise it gets none either way.
        const Pending &head = pending_at(0);
        if (head.slot >= 0 && !flights_[head.slot].ended && ports_.buffers.queued_count() > 0) {
            end_block(head.slot, shm::KOB_QEL_STATUS_INCOMPLETE_FINAL,
                      slots_[head.slot].first_missing(), now);
            ports_.counters.add(Counter::blocks_evicted);
            pump(now);
        }
    }
    if (free_count_ == 0) return -1;
    return free_slots_[--free_count_];
}

void BlockAssembler::offer(int32_t slot, const gvsp::Packet &packet, uint64_t now) {
    BlockSlot &block = slots_[slot];
    FirmwareCounters &counters = ports_.counters;
    Accepted result = Accepted::used;
    switch (packet.header.format) {
        case gvsp::Format::leader:
            result = block.leader(packet, now);
            break;
        case gvsp::Format::trailer:
            result = block.trailer(packet, now);
            if (result == Accepted::used && !block.complete()) flights_[slot].note_missing(now);
            break;
        default: {
            uint64_t copied = 0;
            result = block.data(packet, now, copied);
            if (result == Accepted::used) {
                counters.add(Counter::bytes_copied, copied);
                counters.add(Counter::bytes_placed, packet.payload.size() - copied);
            }
            break;
        }
    }
    if (packet.header.is_resent() && (result == Accepted::used || result == Accepted::duplicate)) {
        answered(slot, now);
    }
    switch (result) {
        case Accepted::used:
            if (block.complete()) {
                end_block(slot, shm::KOB_QEL_STATUS_COMPLETE, block.last_data_id() + 1, now);
                if (!resend_usable_) end_overtaken(slot, now);
            }
            break;
        case Accepted::duplicate:
            counters.add(Counter::duplicates);
            break;
        case Accepted::malformed:
            counters.add(Counter::malformed);
            break;
        case Accepted::overflow:
            end_block(slot, shm::KOB_QEL_STATUS_BUFFER_OVERFLOW, packet.header.packet_id, now);
            break;
    }
}

void BlockAssembler::end_block(int32_t slot, shm::FirmwareStatus status, uint32_t packet_id,
                               uint64_t now) {
    Flight &flight = flights_[slot];
    flight.ended = true;
    flight.final_status = status;
    flight.final_packet_id = packet_id;
    flight.ended_at = now;
    const BlockSlot &block = slots_[slot];
    if (status == shm::KOB_QEL_STATUS_COMPLETE) {
        // What the next blocks of the stream will most likely look like.
        learned_packets_ = block.last_data_id();
        if (block.last_data_id() >= 2) learned_payload_ = block.packet_payload();
    }
}

void BlockAssembler::expire(uint64_t now) {
    for (uint32_t i = 0; i < pending_count_; ++i) {
        const int32_t slot = pending_at(i).slot;
        if (slot < 0 || flights_[slot].ended) continue;
        Flight &flight = flights_[slot];
        if (silent_for(slots_[slot].last_activity(), settings_.resend_interval_ns)) {
            flight.note_missing(now);  // nothing more came for it
        }
        if (flight.gap_seen && now - flight.missing_since >= settings_.block_timeout_ns) {
            end_block(slot, shm::KOB_QEL_STATUS_INCOMPLETE_FINAL, slots_[slot].first_missing(),
                      now);
        }
    }
}

void BlockAssembler::end_overtaken(int32_t slot, uint64_t now) {
    for (uint32_t i = 0; i < pending_count_ && pending_at(i).slot != slot; ++i) {
        const int32_t earlier = pending_at(i).slot;
        if (earlier >= 0 && !flights_[earlier].ended) {
            end_block(earlier, shm::KOB_QEL_STATUS_INCOMPLETE_FINAL,
                      slots_[earlier].first_missing(), now);
            ports_.counters.add(Counter::blocks_overtaken);
        }
    }
}

void BlockAssembler::push_pending(const Pending &pending) {
    pending_at(pending_count_) = pending;
    ++pending_count_;
}

void BlockAssembler::push_without_buffer(const gvsp::Packet &packet) {
    const gvsp::Header &header = packet.header;
    if (pending_count_ > 0) {
        Pending &last = pending_at(pending_count_ - 1);
        // A run's blocks are reported with the ids that follow its first.
        if (last.slot < 0 && last.extended == header.extended &&
            last.count < std::numeric_limits<uint32_t>::max() &&
            id_distance(last.block_id, header.block_id, header.extended) == last.count) {
            ++last.count;
            return;
        }
    }
    push_pending(Pending{header.block_id, -1, shm::KOB_QEL_STATUS_NO_BUFFERS, header.packet_id, 1,
                         header.extended});
}

int32_t BlockAssembler::find_pending(uint64_t block_id) const {
    // Newest first: after a restart of block ids, a new block may share its id with an old
    // one that still waits for its turn.
    for (uint32_t i = pending_count_; i-- > 0;) {
        const Pending &pending = pending_at(i);
        if (pending.slot < 0
                ? id_distance(pending.block_id, block_id, pending.extended) < pending.count
                : pending.block_id == block_id) {
            return static_cast<int32_t>(i);
        }
    }
    return -1;
}

const BlockAssembler::Ended *BlockAssembler::recently_ended(uint64_t block_id, uint64_t now) const {
    for (const Ended &ended : ended_) {
        if (ended.used && ended.block_id == block_id && now - ended.at < kLateWindowNs) {
            return &ended;
        }
    }
    return nullptr;
}

void BlockAssembler::remember_ended(uint64_t block_id, uint64_t now, bool had_buffer,
                                    bool had_leader) {
    ended_[ended_next_] = Ended{block_id, now, true, had_buffer, had_leader};
    ended_next_ = (ended_next_ + 1) % kHistory;
}

// ---- Reporting, in order ----

void BlockAssembler::on_timer(uint64_t now) {
    expire(now);
    pump(now);
}

void BlockAssembler::pump(uint64_t now) {
    while (pending_count_ > 0 && advance_head(now)) {
    }
}

bool BlockAssembler::post_held(const Descriptor &descriptor) {
    if (ports_.ring.post(descriptor)) {
        holding_ = false;
        return true;
    }
    note_hold();
    return false;
}

void BlockAssembler::note_hold() {
    if (!holding_) {
        holding_ = true;
        ports_.counters.add(Counter::ring_full_holds);
    }
}

bool BlockAssembler::advance_head(uint64_t now) {
    Pending &head = pending_at(0);
    if (head.slot < 0) {
        TrailerFields fields;
        fields.block_id = head.block_id;
        fields.firmware_status = head.status;
        fields.packet_id = head.packet_id;
        fields.has_time = true;
        fields.ticks = now;
        if (!post_held(trailer_descriptor(fields))) return false;
        count_reported(head.status);
        remember_ended(head.block_id, now, false);
        if (--head.count > 0) {
            // The run's next block; only its first packet was seen.
            head.block_id = head.extended ? head.block_id + 1 : head.block_id % 0xFFFF + 1;
            head.packet_id = 0;
            return true;
        }
        pending_head_ = (pending_head_ + 1) % kPending;
        --pending_count_;
        return true;
    }
    const int32_t slot = head.slot;
    BlockSlot &block = slots_[slot];
    Flight &flight = flights_[slot];
    if (block.leader_received() && !flight.own_leader_posted) {
        if (!post_held(block.leader_descriptor())) return false;
        flight.leader_posted = flight.own_leader_posted = true;
    }
    if (!flight.ended) {
        if (silent_for(block.last_activity(), settings_.resend_interval_ns)) {
            flight.note_missing(now);  // nothing more came for it
        }
        if (!flight.gap_seen || now - flight.missing_since < settings_.block_timeout_ns) {
            if (!flight.gap_seen) return false;
            if (!flight.asking) {
                flight.asking = true;
                flight.next_incomplete = now;
            }
            if (incomplete_is_due(slot, now)) {
                // The host learns the block's id from a leader: one naming the block stands in
                // for its own until that arrives.
                if (!flight.leader_posted) {
                    if (!post_held(block.leader_descriptor())) return false;
                    flight.leader_posted = true;
                }
                report_gaps(slot, now);
                flight.next_incomplete = now + settings_.resend_interval_ns;
            }
            return false;
        }
        end_block(slot, shm::KOB_QEL_STATUS_INCOMPLETE_FINAL, block.first_missing(), now);
    }
    if (!flight.leader_posted) {
        if (!post_held(block.leader_descriptor())) return false;
        flight.leader_posted = true;
    }
    // The host may queue the buffer again as soon as it sees the final descriptor: the
    // buffer is given back first, once the descriptor is sure to find room.
    if (!ports_.ring.has_room()) {
        note_hold();
        return false;
    }
    const uint64_t block_id = block.block_id();
    const Descriptor final_descriptor =
        block.final_descriptor(flight.final_status, flight.final_packet_id, flight.ended_at);
    const shm::FirmwareStatus final_status = flight.final_status;
    const bool had_leader = block.leader_received();
    release_slot(slot);
    if (post_held(final_descriptor)) {
        count_reported(final_status);
    } else {
        ports_.counters.add(Counter::blocks_lost);  // the ring was shut meanwhile
    }
    remember_ended(block_id, now, true, had_leader);
    pending_head_ = (pending_head_ + 1) % kPending;
    --pending_count_;
    return true;
}

void BlockAssembler::report_gaps(int32_t slot, uint64_t now) {
    const BlockSlot &block = slots_[slot];
    Flight &flight = flights_[slot];
    // A gap's end lets the host ask for that gap alone. A host that does not read the ends asks
    // for the whole rest of the block on each status, so it is told of the first gap only.
    // Statuses that find the ring full are not held: the next report follows soon.
    const uint32_t most = settings_.gap_reports ? kMaxGapsPerReport : 1;
    std::optional<Gap> gap = block.next_gap(0);
    if (!gap) gap = Gap{block.first_missing(), 0, false};
    for (uint32_t posted = 0; posted < most && gap; ++posted) {
        // A gap without a known end runs on from the last packet received. While the block may
        // still be arriving (its sender paused mid-block), those packets are on their way, not
        // lost: asking for them would have the camera send them twice. A host that does not
        // read gap ends asks for the rest of the block whatever the status names.
        if (settings_.gap_reports && !gap->end_known && !tail_lost(slot)) return;
        if (!ports_.ring.post(block.gap_descriptor(*gap, posted == 0, now))) return;
        ports_.counters.add(Counter::incomplete_statuses);
        if (!flight.asked) flight.first_asked_at = now;
        flight.asked = true;
        flight.asked_at = now;
        if (!gap->end_known) return;
        gap = block.next_gap(gap->last + 1);
    }
}

void BlockAssembler::release_slot(int32_t slot) {
    BlockSlot &block = slots_[slot];
    // The buffer was taken for this block and nothing else gives it back: finish cannot fail.
    ports_.buffers.finish(block.buffer().index);
    block.clear_bitmap();
    flights_[slot] = Flight{};
    if (current_ == slot) current_ = -1;
    free_slots_[free_count_++] = slot;
}

void BlockAssembler::count_reported(shm::FirmwareStatus status) {
    switch (status) {
        case shm::KOB_QEL_STATUS_COMPLETE:
            ports_.counters.add(Counter::blocks_complete);
            break;
        case shm::KOB_QEL_STATUS_INCOMPLETE_FINAL:
            ports_.counters.add(Counter::blocks_incomplete_final);
            break;
        case shm::KOB_QEL_STATUS_BUFFER_OVERFLOW:
            ports_.counters.add(Counter::blocks_buffer_overflow);
            break;
        case shm::KOB_QEL_STATUS_NO_BUFFERS:
            ports_.counters.add(Counter::blocks_no_buffers);
            break;
        case shm::KOB_QEL_STATUS_INCOMPLETE:
            break;
    }
}

uint64_t BlockAssembler::next_due(uint64_t now) const {
    if (holding_) return now + kHoldRetryNs;
    if (pending_count_ == 0) return kNever;
    const Pending &head = pending_at(0);
    if (head.slot < 0) return now;
    const Flight &flight = flights_[head.slot];
    if (flight.ended) return now;
    uint64_t due = kNever;
    if (!flight.gap_seen) {
        due = slots_[head.slot].last_activity() + settings_.resend_interval_ns;
    } else if (!flight.asking) {
        return now;
    } else {
        due = incomplete_due(head.slot);
    }
    // Every block's own end, the head's among them.
    for (uint32_t i = 0; i < pending_count_; ++i) {
        const int32_t slot = pending_at(i).slot;
        if (slot < 0 || flights_[slot].ended) continue;
        const Flight &each = flights_[slot];
        due = std::min(due, each.gap_seen
                                ? each.missing_since + settings_.block_timeout_ns
                                : slots_[slot].last_activity() + settings_.resend_interval_ns);
    }
    return due;
}

uint64_t BlockAssembler::heard(int32_t slot) const {
    return std::max(slots_[slot].last_activity(), flights_[slot].answered_at);
}

void BlockAssembler::answered(int32_t slot, uint64_t now) {
    Flight &flight = flights_[slot];
    // Copies of packets that had come show that a request is being answered as much as the
    // missing ones do (a host that does not read gap ends has the whole tail sent).
    flight.answered_at = now;
    if (!flight.asked || flight.timed) return;
    // The first answer of a block times the round trip from its first report: host, camera and
    // the packets queued before the answer. When that report went unanswered and a repeat was,
    // the time is too long, which only makes repeats rarer until later blocks tell better.
    flight.timed = true;
    const uint64_t sample = now - flight.first_asked_at;
    if (round_trip_ns_ == 0) {
        round_trip_ns_ = sample;
        round_trip_spread_ns_ = sample / 2;
    } else {
        const uint64_t deviation =
            sample > round_trip_ns_ ? sample - round_trip_ns_ : round_trip_ns_ - sample;
        round_trip_spread_ns_ = (3 * round_trip_spread_ns_ + deviation) / 4;
        round_trip_ns_ = (7 * round_trip_ns_ + sample) / 8;
    }
}

uint64_t BlockAssembler::answer_wait() const {
    // As long as answers take, with room for their spread, but at least an interval; and no
    // more than a quarter of the block's time, so that a lost request is still asked again
    // while the block has time.
    const uint64_t learned = round_trip_ns_ + 4 * round_trip_spread_ns_;
    return std::clamp(learned, settings_.resend_interval_ns, longest_wait());
}

uint64_t BlockAssembler::longest_wait() const {
    return std::max(settings_.resend_interval_ns, settings_.block_timeout_ns / 4);
}

uint64_t BlockAssembler::incomplete_due(int32_t slot) const {
    const Flight &flight = flights_[slot];
    if (!flight.asked) return flight.next_incomplete;
    return std::max(flight.next_incomplete, std::max(heard(slot), flight.asked_at) + answer_wait());
}

bool BlockAssembler::incomplete_is_due(int32_t slot, uint64_t now) const {
    const Flight &flight = flights_[slot];
    if (now < flight.next_incomplete) return false;
    // Each report makes the host ask for what it names: every gap, or (a host that does not
    // read gap ends) everything from the first missing packet to the end of the block. While
    // packets still come for the block the last report is being answered; repeating it would
    // only pile up copies. Only a block that heard nothing since its last status (no packet
    // placed, no resent copy) for as long as answers take is asked again.
    return !flight.asked || silent_for(std::max(heard(slot), flight.asked_at), answer_wait());
}

bool BlockAssembler::tail_lost(int32_t slot) const {
    // A later block has begun: the camera has moved on, and what did not come of this one is
    // lost. Otherwise only a long silence tells; a quarter of the block's time leaves the rest
    // for the answer.
    if (pending_at(pending_count_ - 1).slot != slot) return true;
    return silent_for(heard(slot), longest_wait());
}

// ---- Placement ----

std::optional<Placement> BlockAssembler::placement() const {
    if (current_ < 0 || flights_[current_].ended || pending_count_ == 0) return std::nullopt;
    // Packets of a newer block without a buffer are on their way, not the current block's.
    if (pending_at(pending_count_ - 1).slot != current_) return std::nullopt;
    const BlockSlot &block = slots_[current_];
    Placement placement;
    placement.block_id = block.block_id();
    placement.extended = block.extended();
    placement.buffer = block.buffer().data;
    placement.buffer_length = block.buffer().length;
    placement.next_packet_id = block.highest_data_id() + 1;
    placement.packet_payload = block.packet_payload();
    placement.guessed_payload = learned_payload_;
    if (block.trailer_received() && placement.next_packet_id > block.last_data_id()) {
        return std::nullopt;
    }
    if (placement.packet_payload == 0 && placement.next_packet_id != 1) return std::nullopt;
    const uint32_t last = block.trailer_received() ? block.last_data_id() : learned_packets_;
    if (last != 0) {
        // The data packets left, the trailer unless it came, the next block's leader.
        const uint32_t next = placement.next_packet_id;
        const uint32_t data_left = last >= next ? last - next + 1 : 0;
        placement.packets_to_next_block = data_left + (block.trailer_received() ? 1 : 2);
    }
    return placement;
}

bool BlockAssembler::between_blocks() const {
    if (pending_count_ == 0) return true;
    const Pending &newest = pending_at(pending_count_ - 1);
    return newest.slot >= 0 && flights_[newest.slot].ended;
}

// ---- Stop ----

void BlockAssembler::stop(uint64_t now) {
    for (uint32_t i = 0; i < pending_count_; ++i) {
        const Pending &pending = pending_at(i);
        if (pending.slot >= 0 && !flights_[pending.slot].ended) {
            end_block(pending.slot, shm::KOB_QEL_STATUS_INCOMPLETE_FINAL,
                      slots_[pending.slot].first_missing(), now);
        }
    }
    pump(now);
    // What the ring cannot take is lost to the host, but every buffer goes back.
    while (pending_count_ > 0) {
        const Pending &head = pending_at(0);
        if (head.slot >= 0) release_slot(head.slot);
        ports_.counters.add(Counter::blocks_lost, head.count);
        pending_head_ = (pending_head_ + 1) % kPending;
        --pending_count_;
    }
}

}  // namespace qel::adapter
