// Buffers: receive memory pinned with the endpoint and queued to the firmware in order.
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "core/driver.h"
#include "core/log.h"
#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"

namespace {

using qel::stream::buffer_data;
using qel::stream::kPageBytes;

constexpr size_t kHugePageBytes = size_t{2} << 20;

// A buffer's memory, released with free(). A buffer of a whole huge page or more starts on a
// huge-page boundary, and its whole huge pages are offered to the kernel's transparent huge
// pages: the kernel copies frames of megabytes into it, and with small pages that copy walks
// a page table entry every 4 KiB (with 4 MiB frames the loss-free frame rate doubled). The
// tail stays in small pages, so no more memory is touched than the buffer's size.
void *allocate_memory(size_t size) {
    if (size < kHugePageBytes) return std::malloc(size + kPageBytes - 1);
    void *mem = nullptr;
    if (posix_memalign(&mem, kHugePageBytes, size) != 0) return nullptr;
    // Only advice: without huge pages the buffer works the same.
    (void)madvise(mem, size & ~(kHugePageBytes - 1), MADV_HUGEPAGE);
    return mem;
}

bool buffer_valid(const qel_buffer_t *buffer) {
    return buffer != nullptr && buffer->mem != nullptr && buffer->stream != nullptr;
}

void release_buffer(qel_buffer_t *buffer) {
    std::free(buffer->mem);
    std::free(buffer);
}

// Unpins and releases; the driver's code when the unpin fails, and then nothing is released.
int unpin_and_release(qel_buffer_t *buffer) {
    qel_stream_t *stream = buffer->stream;
    uint32_t index = buffer->index;
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_UNPIN_BUF, &index, sizeof index);
    if (rc != 0) {
        QEL_DEBUG_TAGGED("qel_free", "Could not unpin buffer: %s", qel_strerror(rc));
        return rc;
    }
    qel::stream::count(stream->stats->buffers_freed);
    QEL_DEBUG_TAGGED("qel_free", "freed buf, idx:%u, stream %d", buffer->index,
                     static_cast<int>(stream->endpt));
    qel::stream::disown_buffer(buffer);
    release_buffer(buffer);
    return 0;
}

// Takes the most recently queued buffer back off the queue list.
void unlink_tail(qel_stream_t *stream, qel_buffer_t *buffer) {
    qel_buffer_t **link = &stream->queue.head;
    while (*link != nullptr && *link != buffer) link = &(*link)->next;
    if (*link == nullptr) return;
    *link = buffer->next;
    if (stream->queue.tail == &buffer->next) stream->queue.tail = link;
    buffer->next = nullptr;
    buffer->queued.store(0, std::memory_order_relaxed);
    --stream->queue.queued_count;
}

// Appends the buffer to the queue list and marks it queued.
void link_at_tail(qel_stream_t *stream, qel_buffer_t *buffer) {
    buffer->next = nullptr;
    buffer->queued.store(1, std::memory_order_relaxed);
    *stream->queue.tail = buffer;
    stream->queue.tail = &buffer->next;
    ++stream->queue.queued_count;
}

// Hands the buffer to the firmware and appends it to the queue list, marked queued. The
// driver's code when the queue command fails; the buffer is then neither queued nor changed.
int hand_to_firmware(qel_buffer_t *buffer, const char *tag) {
    qel_stream_t *stream = buffer->stream;
    qel::driver::QueueRecord record{buffer->index, 0};
    // Only this side takes credits; a receive worker may add some meanwhile, which the next
    // queueing uses.
    if (stream->queue.credits.load(std::memory_order_relaxed) > 0) {
        record.credit = 1;
        stream->queue.credits.fetch_sub(1, std::memory_order_relaxed);
    }
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_QUEUE_BUF, &record, sizeof record);
    if (rc != 0) {
        QEL_DEBUG_TAGGED(tag, "Could not queue buffer: %s", qel_strerror(rc));
        return rc;
    }
    link_at_tail(stream, buffer);
    return 0;
}

void count_queued(const qel_buffer_t *buffer, const char *tag) {
    qel::stream::count(buffer->stream->stats->buffers_queued);
    QEL_DEBUG_TAGGED(tag, "queued buf, idx:%u, stream %d", buffer->index,
                     static_cast<int>(buffer->stream->endpt));
}

}  // namespace

namespace qel::recv {

int queue_again(qel_buffer_t *buffer) {
    constexpr const char *kTag = "qel_queue_buffer";
    if (int rc = hand_to_firmware(buffer, kTag); rc != 0) {
        // Release pairs with qel_free's acquire load: nothing of this thread touches the
        // buffer after the application may free it.
        buffer->queued.store(0, std::memory_order_release);
        return rc;
    }
    count_queued(buffer, kTag);
    return 0;
}

}  // namespace qel::recv

extern "C" {

QEL_EXPORT int qel_alloc(qel_stream_t *stream, size_t size, qel_buffer_t **buffer_out) {
    constexpr const char *kTag = "qel_alloc";
    if (!qel::core::initialised()) {
        QEL_VERBOSE_TAGGED(kTag, "QEL library not initialized");
        return QEL_EINVAL;
    }
    // The pin command carries 32 bits of length: a larger buffer could not be described to the
    // firmware, and an empty one could hold nothing.
    if (stream == nullptr || buffer_out == nullptr || size == 0 || size > UINT32_MAX) {
        return QEL_EINVAL;
    }
    auto *buffer = static_cast<qel_buffer_t *>(std::calloc(1, sizeof(qel_buffer_t)));
    if (buffer == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "allocating QEL buf");
        return QEL_ENOMEM;
    }
    buffer->mem = allocate_memory(size);
    if (buffer->mem == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "malloc failed");
        std::free(buffer);
        return QEL_ENOMEM;
    }
    qel::driver::PinRecord pin{};
    pin.address = reinterpret_cast<uintptr_t>(buffer_data(buffer));
    pin.length = static_cast<uint32_t>(size);
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_PIN_BUF, &pin, sizeof pin);
    if (rc != 0) {
        QEL_VERBOSE_TAGGED(kTag, "Could not pin buffer (%p): %s", buffer->mem, qel_strerror(rc));
        release_buffer(buffer);
        return QEL_EINVAL;
    }
    qel::stream::adopt_buffer(stream, buffer);
    buffer->index = pin.index;
    // The bound of every block put into the buffer is what was allocated here, whatever the
    // driver wrote back into the record.
    buffer->size = static_cast<uint32_t>(size);
    *buffer_out = buffer;
    QEL_DEBUG_TAGGED(kTag, "alloc'd buf, size:%lu idx:%u, stream %d",
                     static_cast<unsigned long>(size), buffer->index,
                     static_cast<int>(stream->endpt));
    qel::stream::count(stream->stats->buffers_allocated);
    return 0;
}

QEL_EXPORT int qel_free(qel_buffer_t *buffer) {
    constexpr const char *kTag = "qel_free";
    if (!qel::core::initialised()) {
        QEL_VERBOSE_TAGGED(kTag, "QEL library not initialized");
        return QEL_EINVAL;
    }
    if (buffer != nullptr && buffer->mem != nullptr && buffer->stream == nullptr) {
        // Detached by the close of its stream (queued or not): the endpoint, and its pinning,
        // are gone.
        release_buffer(buffer);
        return 0;
    }
    if (!buffer_valid(buffer)) {
        QEL_VERBOSE_TAGGED(kTag, "Invalid QEL Buffer handle");
        return QEL_EINVAL;
    }
    // Acquire pairs with the receive worker's release store when it gives a buffer up.
    if (buffer->queued.load(std::memory_order_acquire) != 0) {
        // The firmware may still write into it, and the queue list would keep a freed handle;
        // or a blocked receive worker is handing it back to the firmware.
        QEL_VERBOSE_TAGGED(kTag, "QEL Buffer is queued");
        return QEL_EBUSY;
    }
    return unpin_and_release(buffer);
}

QEL_EXPORT int qel_queue_buffer(qel_buffer_t *buffer) {
    constexpr const char *kTag = "qel_queue_buffer";
    if (!qel::core::initialised()) {
        QEL_VERBOSE_TAGGED(kTag, "QEL library not initialized");
        return QEL_EINVAL;
    }
    if (!buffer_valid(buffer)) {
        QEL_VERBOSE_TAGGED(kTag, "Invalid QEL Buffer handle");
        return QEL_EINVAL;
    }
    if (buffer->queued.load(std::memory_order_acquire) != 0) {
        // A second entry would pair a later block with the wrong buffer.
        QEL_VERBOSE_TAGGED(kTag, "QEL Buffer is already queued");
        return QEL_EBUSY;
    }
    if (int rc = hand_to_firmware(buffer, kTag); rc != 0) return rc;
    qel_stream_t *stream = buffer->stream;

    if (stream->filter_added == 0) {
        if (qel::core::verbose()) {
            const auto *octets = reinterpret_cast<const uint8_t *>(&stream->dest_addr);
            qel::core::log_notice("Binding to %d.%d.%d.%d:%d\n", octets[0], octets[1], octets[2],
                                  octets[3], stream->port);
        }
        if (const int filter_rc =
                qel_filter_op(stream, stream->dest_addr, stream->port, QEL_FILTER_ADD);
            filter_rc != 0) {
            QEL_DEBUG_TAGGED(kTag, "Could not set filter, strm: %d, port:%u",
                             static_cast<int>(stream->endpt), stream->port);
            // Without a filter no packet reaches the endpoint, so the firmware lets the buffer
            // go on unpin. Only then is it released; should the unpin fail, it stays queued
            // (and consistent with the firmware) rather than freed under it, and the caller
            // learns so from QEL_EAGAIN, a code no released buffer gets: its handle is still
            // good and the next queueing tries the filter again.
            unlink_tail(stream, buffer);
            if (unpin_and_release(buffer) != 0) {
                link_at_tail(stream, buffer);
                return QEL_EAGAIN;
            }
            // A port that another stream (of this or another process or user) receives on is
            // busy, not an invalid argument: the application can tell it apart and say so.
            if (filter_rc == QEL_EBUSY) {
                QEL_VERBOSE_TAGGED(kTag, "Port %u is in use by another stream", stream->port);
                return QEL_EBUSY;
            }
            return QEL_EINVAL;
        }
        stream->filter_added = 1;
    }
    count_queued(buffer, kTag);
    return 0;
}

}  // extern "C"
