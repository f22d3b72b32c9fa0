// Closing a stream.
#include <atomic>

#include "core/log.h"
#include "core/span.h"
#include "qel.h"
#include "stream/close_hook.h"
#include "stream/stream.h"

namespace {

constexpr const char *kTag = "qel_close_stream";

// Release in set_close_hook pairs with the acquire in qel_close_stream: a close that can see a
// stream held by a context also sees the hook registered before that context was made.
std::atomic<qel::stream::CloseHook> close_hook{nullptr};

// The application's buffers outlive the stream: queued ones the firmware held are released
// with the endpoint, and those the application held keep their memory. Their handles stay with
// the application, which can still free them (qel_free then only releases their memory) but
// no longer queue them, since they would otherwise name a released stream.
void detach_buffers(qel_stream_t *stream) {
    qel_buffer_t *buffer = stream->owned;
    while (buffer != nullptr) {
        qel_buffer_t *next = buffer->owned_next;
        buffer->next = nullptr;
        buffer->queued = 0;
        buffer->stream = nullptr;
        buffer->owned_prev = buffer->owned_next = nullptr;
        buffer = next;
    }
    stream->owned = nullptr;
    stream->queue.head = nullptr;
    stream->queue.tail = &stream->queue.head;
    stream->queue.queued_count = 0;
}

}  // namespace

void qel::stream::set_close_hook(CloseHook hook) {
    close_hook.store(hook, std::memory_order_release);
}

extern "C" QEL_EXPORT int qel_close_stream(qel_stream_t *stream) {
    qel::core::ScopedSpan span(kTag);
    if (stream == nullptr) QEL_SPAN_RETURN(span, QEL_EINVAL);
    QEL_DEBUG_TAGGED(kTag, "closing strm endpt %d", static_cast<int>(stream->endpt));
    // The worker thread uses the stream's regions, queue list and socket: it ends first.
    static_cast<void>(qel_destroy_recv_worker(stream));
    // A context still holding the stream would export a released record: detach it first.
    if (auto hook = close_hook.load(std::memory_order_acquire)) hook(stream);
    // The regions are not unmapped here: they go with the endpoint handle.
    int rc = qel_filter_op(stream, 0, 0, QEL_FILTER_DELETE);
    if (rc != 0) QEL_DEBUG_TAGGED(kTag, "Could not set filter");
    detach_buffers(stream);
    const int endpt = static_cast<int>(stream->endpt);
    qel::stream::release_stream(stream);
    QEL_DEBUG_TAGGED(kTag, "closed strm, endpt:%d", endpt);
    QEL_SPAN_RETURN(span, rc);
}
