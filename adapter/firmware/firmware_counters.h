// The firmware's own counters of an endpoint: 64-bit, monotonic, for tools and tests.
//
// Thread safety: one firmware thread writes them (an endpoint runs one firmware at a time, and
// a firmware counts on its one thread), any thread reads them. The writer's load-and-store is
// not an atomic increment, which is enough with one writer; readers see each counter whole.
// Relaxed: nothing is published through a counter.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace qel::adapter {

enum class Counter : uint8_t {
    packets,              // datagrams received
    bytes,                // their bytes
    malformed,            // not a packet the firmware can use (short, bad ids, formats)
    error_status,         // packets with an error status (no data)
    duplicates,           // a packet of an open block that was already received
    late,                 // a packet of a block that has already ended
    without_buffer,       // a packet of a block that got no buffer
    resent,               // resent packets received (used or not)
    dropped_on_request,   // packets dropped because the host asked (TREL_DROP_PACKET)
    ring_full_holds,      // times a descriptor had to wait for room in the ring
    incomplete_statuses,  // INCOMPLETE descriptors posted
    blocks_complete,      // blocks ended by each status
    blocks_incomplete_final,
    blocks_buffer_overflow,
    blocks_no_buffers,
    blocks_evicted,      // ended early (INCOMPLETE_FINAL) to make room for a later block
    blocks_lost,         // could be neither held nor reported (counted here only)
    bytes_copied,        // payload bytes the firmware copied
    bytes_placed,        // payload bytes received straight into their place
    receive_calls,       // batched receive calls that returned packets
    foreign_source,      // packets from another sender than the stream's (ignored)
    id_restarts,         // leaders that started an ended block's id again (a camera's restart)
    blocks_overtaken,    // ended INCOMPLETE_FINAL when a later block completed (no resend)
    source_changes,      // the stream's source went silent and another sender took it over
    id_form_mismatches,  // blocks whose ids are not in the form the host asks resends in
    // Which way the stream's packets came in (ring_receiver.h): each start of the firmware
    // counts one or the other, so tools tell a stream's path by which one grew.
    socket_starts,   // firmware starts reading the UDP socket
    ring_starts,     // firmware starts reading a packet socket's ring
    frames_refused,  // ring frames with no datagram for the stream (headers, lengths, checksums)
    ring_drops,      // frames the kernel dropped for want of room in the ring
    count_,
};

constexpr size_t kCounterCount = static_cast<size_t>(Counter::count_);

// The counters' names, as tools print them: one entry per counter, in Counter order, which
// the checks below hold the table to.
struct CounterName {
    Counter counter;
    std::string_view name;
};
constexpr CounterName kCounterTable[] = {
    {Counter::packets, "packets"},
    {Counter::bytes, "bytes"},
    {Counter::malformed, "malformed"},
    {Counter::error_status, "error_status"},
    {Counter::duplicates, "duplicates"},
    {Counter::late, "late"},
    {Counter::without_buffer, "without_buffer"},
    {Counter::resent, "resent"},
    {Counter::dropped_on_request, "dropped_on_request"},
    {Counter::ring_full_holds, "ring_full_holds"},
    {Counter::incomplete_statuses, "incomplete_statuses"},
    {Counter::blocks_complete, "blocks_complete"},
    {Counter::blocks_incomplete_final, "blocks_incomplete_final"},
    {Counter::blocks_buffer_overflow, "blocks_buffer_overflow"},
    {Counter::blocks_no_buffers, "blocks_no_buffers"},
    {Counter::blocks_evicted, "blocks_evicted"},
    {Counter::blocks_lost, "blocks_lost"},
    {Counter::bytes_copied, "bytes_copied"},
    {Counter::bytes_placed, "bytes_placed"},
    {Counter::receive_calls, "receive_calls"},
    {Counter::foreign_source, "foreign_source"},
    {Counter::id_restarts, "id_restarts"},
    {Counter::blocks_overtaken, "blocks_overtaken"},
    {Counter::source_changes, "source_changes"},
    {Counter::id_form_mismatches, "id_form_mismatches"},
    {Counter::socket_starts, "socket_starts"},
    {Counter::ring_starts, "ring_starts"},
    {Counter::frames_refused, "frames_refused"},
    {Counter::ring_drops, "ring_drops"},
};
static_assert(std::size(kCounterTable) == kCounterCount, "every counter is named");

constexpr bool in_counter_order() {
    for (size_t i = 0; i < kCounterCount; ++i) {
        if (static_cast<size_t>(kCounterTable[i].counter) != i) return false;
    }
    return true;
}
static_assert(in_counter_order(), "the table lists the counters in Counter order");

// The names alone, indexed by Counter.
constexpr std::array<std::string_view, kCounterCount> kCounterNames = [] {
    std::array<std::string_view, kCounterCount> names{};
    for (size_t i = 0; i < kCounterCount; ++i) names[i] = kCounterTable[i].name;
    return names;
}();

using CounterSnapshot = std::array<uint64_t, kCounterCount>;

class FirmwareCounters {
public:
    // The firmware thread only.
    void add(Counter counter, uint64_t amount = 1) {
        std::atomic<uint64_t> &value = values_[static_cast<size_t>(counter)];
        value.store(value.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    uint64_t get(Counter counter) const {
        return values_[static_cast<size_t>(counter)].load(std::memory_order_relaxed);
    }
    CounterSnapshot snapshot() const {
        CounterSnapshot out{};
        for (size_t i = 0; i < kCounterCount; ++i) {
            out[i] = values_[i].load(std::memory_order_relaxed);
        }
        return out;
    }

private:
    std::array<std::atomic<uint64_t>, kCounterCount> values_{};
};

}  // namespace qel::adapter
