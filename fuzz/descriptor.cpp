// Fuzz target: the host's side of the descriptor ring, from arbitrary 64-byte descriptors to
// the block record that qel_poll_recv hands the application.
//
// The input: byte 0, bits 0-1: buffers queued at the start (0 to 3, of 1, 2 and 3 pages);
// bit 2: a block delivered hands its buffer back to the queue; bit 3: the clock page
// converts tick counts (else its divisor is 0). Then 64 bytes per descriptor, each posted into
// the stream's ring with the tag it needs, and received with qel_poll_recv (timeout 0).
//
// Whatever the descriptors say, a block delivered names one of the stream's buffers that was
// queued, its data is that buffer's, and its payload length fits the buffer: the application
// may read all of it (which the target does).
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/state.h"
#include "fuzz_check.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "stream/stream.h"
#include "support/scripted_adapter.h"

namespace {

struct Library {
    qel::test::ScriptedAdapter adapter;
    Library() {
        qel::core::reset_library_state();
        adapter.add_board(0);
        QEL_FUZZ_CHECK(qel_init(QEL_API_VERSION) == 0, "qel_init");
    }
};

struct Buffer {
    qel_buffer_t *handle = nullptr;
    size_t size = 0;
};

void set_clock(uint8_t *page, bool converts) {
    const uint32_t one = converts ? 1 : 0;
    std::memset(page, 0, qel::recv::clock_page::kBytes);
    std::memcpy(page + qel::recv::clock_page::kMultiplier, &one, sizeof one);
    std::memcpy(page + qel::recv::clock_page::kDivisor, &one, sizeof one);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Library library;
    if (size < 1) return 0;
    const uint32_t buffer_count = data[0] & 3;
    const bool requeue = (data[0] & 4) != 0;
    const bool clock = (data[0] & 8) != 0;

    library.adapter.clear_commands();
    qel_stream_t *stream = nullptr;
    const uint32_t loopback = 0x0100007F;  // 127.0.0.1, network order
    QEL_FUZZ_CHECK(qel_open_stream(&loopback, 5000, &stream, 0, nullptr) == 0, "open");
    const uint32_t endpoint = stream->endpt;
    set_clock(library.adapter.regions(0, endpoint).base[4], clock);

    std::vector<Buffer> buffers;
    for (uint32_t i = 0; i < buffer_count; ++i) {
        Buffer b;
        b.size = 4096 * (i + 1);
        QEL_FUZZ_CHECK(qel_alloc(stream, b.size, &b.handle) == 0, "alloc");
        QEL_FUZZ_CHECK(qel_queue_buffer(b.handle) == 0, "queue");
        buffers.push_back(b);
    }

    uint64_t delivered = 0;
    for (size_t at = 1; at + 64 <= size; at += 64) {
        uint8_t descriptor[64];
        std::memcpy(descriptor, data + at, 64);
        library.adapter.post_descriptor(0, endpoint, descriptor);
        qel_block_t block{};
        const int rc = qel_poll_recv(stream, &block, 0);
        if (rc != 0) continue;
        ++delivered;
        const auto found = std::find_if(buffers.begin(), buffers.end(),
                                        [&](const Buffer &b) { return b.handle == block.buffer; });
        QEL_FUZZ_CHECK(found != buffers.end(), "a block in a buffer the stream does not have");
        QEL_FUZZ_CHECK(!found->handle->queued, "a block in a buffer still queued");
        QEL_FUZZ_CHECK(block.data == qel::stream::buffer_data(found->handle),
                       "block data outside its buffer");
        QEL_FUZZ_CHECK(block.payload_length <= found->size,
                       "a block of %u bytes in a buffer of %zu", block.payload_length, found->size);
        // The application reads what the block says it holds.
        const auto *bytes = static_cast<const volatile uint8_t *>(block.data);
        uint8_t sum = 0;
        for (uint32_t i = 0; i < block.payload_length; ++i)
            sum = static_cast<uint8_t>(sum + bytes[i]);
        (void)sum;
        if (requeue) QEL_FUZZ_CHECK(qel_queue_buffer(block.buffer) == 0, "queue again");
    }
    qel_stats_t stats{};
    QEL_FUZZ_CHECK(qel_get_stats(stream, &stats) == 0, "stats");
    QEL_FUZZ_CHECK(stats.blocks_complete == delivered, "%lu blocks counted, %lu delivered",
                   (unsigned long)stats.blocks_complete, (unsigned long)delivered);

    // The buffers the application holds are freed before the close; those still queued are
    // detached by it, and freed after it.
    std::vector<qel_buffer_t *> detached;
    for (const Buffer &b : buffers) {
        if (b.handle->queued) {
            detached.push_back(b.handle);
        } else {
            QEL_FUZZ_CHECK(qel_free(b.handle) == 0, "free");
        }
    }
    QEL_FUZZ_CHECK(qel_close_stream(stream) == 0, "close");
    for (qel_buffer_t *b : detached) QEL_FUZZ_CHECK(qel_free(b) == 0, "free");
    return 0;
}
