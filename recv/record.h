// The parts of the stream record that the receive path owns: the descriptor reader's cursor,
// the queue list and the resend channel. The stream record (stream/stream.h) holds one of
// each; open gives them their first values and close takes the queue list apart.
#pragma once

#include <atomic>
#include <cstdint>

struct qel_buffer;

namespace qel::recv {

// Where the descriptor reader takes its descriptors from instead of the shared ring while
// something else consumes that ring (the receive worker, which installs itself when it
// attaches and removes itself when it is destroyed, both on the application's thread). `next`
// returns the next 64-byte descriptor copy, which stays valid until its next call, or null
// when none is ready; the source decides whether it waits up to the reader's `timeout` (ms, as
// next_descriptor's). Null `next`: the reader takes from the shared ring itself.
struct DescriptorSource {
    const uint8_t *(*next)(void *context, int32_t timeout);
    void *context;
};

// The descriptor reader's place in the shared ring (region 0), and the pages through which it
// tells the firmware how far it has read. Memory shared with the firmware is read and written
// through atomic references, so that neither side's accesses are torn or reordered past the
// fences that publish them.
struct DescriptorCursor {
    uint8_t *ring_start;
    uint8_t *ring_end;
    uint8_t *read_ptr;     // next descriptor
    uint8_t expected_tag;  // 1 to 15
    uint32_t consumed;     // descriptors consumed since open
    uint64_t *doorbell;    // region 2
    uint8_t *progress;     // region 5
    DescriptorSource source;
};

// The queue list: buffers handed to the firmware, oldest first.
struct QueueList {
    qel_buffer *head;
    qel_buffer **tail;  // the link where the next queued buffer goes
    uint32_t queued_count;
    // Queue commands still to carry the credit flag. A receive worker adds the credits that
    // descriptors grant on its own thread while the application's qel_queue_buffer takes them,
    // so both sides use atomic read-modify-writes; nothing else is published through it.
    std::atomic<uint32_t> credits;
};

// The block whose resend series reached its limit, or outlasted its call, while its later
// INCOMPLETE statuses still come: they get no request, from this call or a later one, so that
// the limit holds for the block and not for each series. Any other descriptor ends it.
struct GivenUpBlock {
    bool given_up;
    uint64_t block;

    bool holds(uint64_t id) const { return given_up && block == id; }
    void mark(uint64_t id) {
        given_up = true;
        block = id;
    }
    void clear() { given_up = false; }
};

// The resend channel of a zero-loss stream: the socket connected to the camera's control port,
// which every request of either receive path goes out on (recv/resend.h builds them).
struct ResendChannel {
    bool open;                            // a zero-loss stream's channel, set up at open
    int fd;                               // the socket; 0: none
    uint32_t last;                        // the last packet id of every request: to the block's end
    GivenUpBlock pr_given_up;             // the thread that polls the stream only
    GivenUpBlock worker_series_given_up;  // the receive worker's thread only
};

}  // namespace qel::recv
