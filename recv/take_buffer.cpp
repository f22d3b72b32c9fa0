#include "recv/take_buffer.h"

#include "recv/descriptor.h"
#include "stream/stream.h"

namespace qel::recv {

namespace {

// Unlinks the head of the queue list and counts it on the progress page; the queued mark is
// left to the caller.
qel_buffer_t *unlink_head(qel_stream_t *stream) {
    qel_buffer_t *buffer = stream->queue.head;
    if (buffer == nullptr) return nullptr;
    stream->queue.head = buffer->next;
    if (stream->queue.head == nullptr) stream->queue.tail = &stream->queue.head;
    buffer->next = nullptr;
    --stream->queue.queued_count;
    auto *word =
        reinterpret_cast<uint32_t *>(stream->cursor.progress + progress_page::kBuffersConsumed);
    std::atomic_ref<uint32_t>(*word).fetch_add(1, std::memory_order_release);
    return buffer;
}

}  // namespace

qel_buffer_t *take_head_buffer(qel_stream_t *stream) {
    qel_buffer_t *buffer = unlink_head(stream);
    if (buffer != nullptr) buffer->queued.store(0, std::memory_order_release);
    return buffer;
}

bool take_buffer(qel_stream_t *stream) {
    qel_buffer_t *buffer = take_head_buffer(stream);
    if (buffer == nullptr) return false;
    stream->block.buffer = buffer;
    stream->block.data = stream::buffer_data(buffer);
    return true;
}

void requeue(qel_stream_t *stream) {
    if (stream->block.buffer != nullptr) (void)qel_queue_buffer(stream->block.buffer);
}

bool requeue_head(qel_stream_t *stream) {
    qel_buffer_t *buffer = unlink_head(stream);
    if (buffer == nullptr) return false;
    static_cast<void>(queue_again(buffer));
    return true;
}

}  // namespace qel::recv
