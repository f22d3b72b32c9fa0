// The stream record behind the application's qel_stream_t handle. Fields are grouped by the
// part of the library that owns them; open gives each its first value.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/driver.h"
#include "qel.h"
#include "recv/record.h"
#include "worker/record.h"

struct qel_stream_region {
    uint64_t address;
    uint64_t length;
};

struct qel_stream {
    // Identity, endpoint and addresses.
    hux_handle_t handle;  // endpoint device; invalid until attached
    uint32_t local_addr;  // network order
    uint32_t dest_addr;   // the multicast group, else local_addr; network order
    uint32_t board;
    uint16_t port;          // host order
    uint16_t filter_added;  // 1 once the first queued buffer has added the receive filter
    uint32_t endpt;
    qel_stream_region maps[qel::driver::kRegionCount];  // regions 0 to 5 as mapped

    // The descriptor reader.
    uint8_t *clock_page;  // region 4
    qel::recv::DescriptorCursor cursor;

    // Counters read by qel_info, kept together and in this order: one that nothing advances,
    // blocks dropped instead of delivered, blocks delivered.
    uint64_t reserved_counter;
    uint64_t dropped_blocks;
    uint64_t delivered_blocks;

    qel::recv::QueueList queue;
    // Every buffer allocated for the stream and not yet freed (the application's calls only).
    qel_buffer_t *owned;

    qel_stream_options_t *opts;  // the stream's own copy
    qel_stats_t *stats;
    void *metrics_context;
    void *trace_context;

    qel::recv::ResendChannel resend;

    // Block assembly.
    qel_block_t block;  // the block in progress
    uint64_t last_block_id;

    qel::worker::WorkerLink worker;
};

// The buffer handle.
struct qel_buffer {
    qel_buffer_t *next;  // link in the queue list; null at the tail
    void *mem;           // the allocation: size + 4095 bytes, not aligned
    qel_stream_t *stream;
    uint32_t index;  // the driver's name of the pinned buffer
    // 1 while in the stream's queue list, and while the receive path hands the buffer of a
    // dropped block back to the firmware. A blocked receive worker does that on its own thread
    // while qel_free may look on the application's: the worker's last touch of a buffer it gives
    // up is a release store of 0 here, and qel_free frees nothing it has not seen at 0.
    std::atomic<uint32_t> queued;
    uint32_t size;  // bytes of the data area, as pinned
    // Link in the list of every buffer the stream has allocated and not yet freed, queued or
    // not, so that closing the stream can detach them all.
    qel_buffer_t *owned_prev;
    qel_buffer_t *owned_next;
};

namespace qel::stream {

constexpr uint32_t kPageBytes = 4096;

// The page-aligned data area of a buffer.
inline void *buffer_data(const qel_buffer_t *buffer) {
    const uintptr_t mem = reinterpret_cast<uintptr_t>(buffer->mem);
    return reinterpret_cast<void *>((mem + kPageBytes - 1) & ~uintptr_t{kPageBytes - 1});
}

// Stores one 32-bit word of the progress page, which the firmware reads.
inline void set_progress_word(qel_stream_t *stream, size_t offset, uint32_t value) {
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(stream->cursor.progress + offset))
        .store(value, std::memory_order_release);
}

// Links a newly pinned buffer into its stream's list of buffers.
inline void adopt_buffer(qel_stream_t *stream, qel_buffer_t *buffer) {
    buffer->stream = stream;
    buffer->owned_prev = nullptr;
    buffer->owned_next = stream->owned;
    if (stream->owned != nullptr) stream->owned->owned_prev = buffer;
    stream->owned = buffer;
}

// Takes a buffer out of its stream's list of buffers (before it is released).
inline void disown_buffer(qel_buffer_t *buffer) {
    if (buffer->stream == nullptr) return;
    if (buffer->owned_prev != nullptr) {
        buffer->owned_prev->owned_next = buffer->owned_next;
    } else {
        buffer->stream->owned = buffer->owned_next;
    }
    if (buffer->owned_next != nullptr) buffer->owned_next->owned_prev = buffer->owned_prev;
    buffer->owned_prev = buffer->owned_next = nullptr;
}

// Adds one to a statistics or block counter that another thread may read meanwhile (the
// application's qel_get_stats and qel_info while the receive worker counts). Relaxed: a counter
// publishes nothing else.
inline void count(uint64_t &counter) {
    std::atomic_ref<uint64_t>(counter).fetch_add(1, std::memory_order_relaxed);
}
// Reads a counter that another thread may be adding to.
inline uint64_t counter_value(uint64_t &counter) {
    return std::atomic_ref<uint64_t>(counter).load(std::memory_order_relaxed);
}

// Releases everything a stream record holds and the record itself. Used by close and by every
// failure path of open.
void release_stream(qel_stream_t *stream) noexcept;

}  // namespace qel::stream
