#include "recv/take_buffer.h"

#include "recv/descriptor.h"
#include "stream/stream.h"

namespace qel::recv {

qel_buffer_t *take_head_buffer(qel_stream_t *stream) {
    qel_buffer_t *buffer = stream->queue_head;
    if (buffer == nullptr) return nullptr;
    stream->queue_head = buffer->next;
    if (stream->queue_head == nullptr) stream->queue_tail = &stream->queue_head;
    buffer->next = nullptr;
    buffer->queued = 0;
    --stream->queued_count;
    auto *word = reinterpret_cast<uint32_t *>(stream->progress + progress_page::kBuffersConsumed);
    std::atomic_ref<uint32_t>(*word).fetch_add(1, std::memory_order_release);
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

}  // namespace qel::recv
