// The receive worker's thread: it busy-polls, never sleeping once running, so that a
// descriptor is taken within one pass of its loop after the firmware posts it. A sleeping
// worker instead waits in the driver while the stream is idle, and on its control generation
// while stopped.
#include <chrono>
#include <cstdint>
#include <thread>

#include "core/log.h"
#include "core/span.h"
#include "qel.h"
#include "stream/stream.h"
#include "worker/recv_worker.h"
#include "worker/wake_word.h"

namespace qel::worker {

namespace {

constexpr const char *kTag = "qel__rwdt_thread";

}  // namespace

thread_local bool on_worker_thread = false;

void *qel__rwdt_thread(void *argument) {
    core::ScopedSpan span(kTag);
    QEL_DEBUG_TAGGED(kTag, "Entering rwdt thread");
    auto *stream = static_cast<qel_stream_t *>(argument);
    if (stream == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "Failed to create rwdt thread");
        span.end_at(exit_line::kThreadNullStream);
        return reinterpret_cast<void *>(intptr_t{QEL_EINVAL});
    }
    on_worker_thread = true;
    // Acquire pairs with create's release store of state 1: the ring, the copies, the callback
    // and the processor are set once this thread sees it.
    while (stream->worker.state.load(std::memory_order_acquire) ==
           QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // Release pairs with create's acquire spin on state 2.
    stream->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING,
                               std::memory_order_release);

    uint32_t acknowledged = stream->worker.acting.load(std::memory_order_relaxed);
    for (;;) {
        // Acquire pairs with destroy's release store of state 3.
        const uint32_t state = stream->worker.state.load(std::memory_order_acquire);
        if (state == QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED) break;
        if (state != QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING) {
            cpu_pause();
            continue;
        }
        // The generation first: acquire pairs with the control's release store of it, which
        // follows its store of the control word, so the words read below are at least as new.
        const uint32_t generation = stream->worker.generation.load(std::memory_order_acquire);
        const uint32_t started = stream->worker.started.load(std::memory_order_acquire);
        const uint32_t mode = stream->worker.mode.load(std::memory_order_acquire);
        if (generation != acknowledged) {
            // Release pairs with the control's acquire wait: everything the routines did on the
            // previous pass (the worker ring, the queue list) happens before the control
            // returns to the application.
            stream->worker.acting.store(generation, std::memory_order_release);
            acknowledged = generation;
        }
        if (started != 1) {
            // A sleeping worker sleeps until a control or destroy moves the generation (it may
            // have moved since the look above: then the sleep does not begin).
            if (stream->worker.sleeps) {
                sleep_while(stream->worker.generation, generation, -1);
            } else {
                cpu_pause();
            }
        } else if (mode == QEL_RECEIVE_STREAM_WORKER_BLOCKED) {
            static_cast<void>(qel__recv_worker_drop(stream));
        } else {
            static_cast<void>(qel__recv_worker_recv(stream));
        }
    }
    QEL_DEBUG_TAGGED(kTag, "QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED exiting rwdt thread");
    // Relaxed would do (destroy joins the thread before it looks again); release keeps every
    // store of the state word alike.
    stream->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_EXITED,
                               std::memory_order_release);
    span.end_at(exit_line::kThreadLeft);
    return nullptr;
}

}  // namespace qel::worker
