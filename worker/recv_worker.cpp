// Creating, destroying and asking after a stream's receive worker.
#include <thread>

#include "core/log.h"
#include "core/span.h"
#include "hux.h"
#include "qel.h"
#include "stream/stream.h"
#include "worker/recv_worker.h"
#include "worker/wake_word.h"

namespace qel::worker {

namespace {

constexpr const char *kCreateTag = "qel_create_recv_worker";
constexpr const char *kDestroyTag = "qel_destroy_recv_worker";

std::atomic<test_hooks::ThreadStarter> thread_starter{nullptr};

int start_thread(qel_stream_t *stream) {
    test_hooks::ThreadStarter starter = thread_starter.load(std::memory_order_relaxed);
    if (starter == nullptr) starter = hux_thread_create;
    return starter(&stream->worker.thread, qel__rwdt_thread, stream);
}

// The receive path's descriptor source while the worker is attached: the copies the worker
// hands over through its ring. The application's thread is the ring's consumer only while the
// worker is unblocked; while it is blocked, the drop routine is. A copy is the caller's until
// its next dequeue: the worker writes that cell again only after it has seen the dequeue
// (worker/worker_ring.cpp). A poll with a timeout waits for a sleeping worker's next block;
// with a busy-polling worker it never waits.
const uint8_t *next_copy(void *context, int32_t timeout) {
    auto *stream = static_cast<qel_stream_t *>(context);
    WorkerLink &worker = stream->worker;
    // Only the application's thread writes the mode, so this look is exact.
    if (worker.mode.load(std::memory_order_relaxed) == QEL_RECEIVE_STREAM_WORKER_BLOCKED) {
        return nullptr;
    }
    void *element = nullptr;
    if (plix_ring_dequeue(worker.ring, &element) != 0) return static_cast<const uint8_t *>(element);
    if (!worker.sleeps || timeout == 0) return nullptr;
    // The count is read before the poll says it sleeps: a block handed over after this read
    // changes it, and the sleep below then does not begin, or ends.
    const uint32_t handed = worker.handed.load(std::memory_order_acquire);
    worker.poll_asleep.store(1, std::memory_order_relaxed);
    // Pairs with the worker's fence between its count and its look at poll_asleep: either the
    // worker sees the poll asleep and wakes it, or the look at the ring below sees its block.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (plix_ring_dequeue(worker.ring, &element) == 0) {
        sleep_while(worker.handed, handed, timeout);
        if (plix_ring_dequeue(worker.ring, &element) == 0) element = nullptr;
    }
    worker.poll_asleep.store(0, std::memory_order_relaxed);
    return static_cast<const uint8_t *>(element);
}

// Ends the thread, then settles and releases the ring. The stream has a worker in state 1, 2
// or 4.
void destroy_worker(qel_stream_t *stream) {
    // Release pairs with the thread's acquire loads of the state: it leaves its loop, and its
    // routines leave whatever they wait for.
    stream->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED,
                               std::memory_order_release);
    // A stopped sleeping worker sleeps until its generation moves: moved after the state, it
    // wakes the thread, which then sees the state.
    if (stream->worker.sleeps) {
        stream->worker.generation.fetch_add(1, std::memory_order_release);
        wake_sleepers(stream->worker.generation);
    }
    // The join orders everything the thread did before everything below.
    if (int rc = hux_thread_join(&stream->worker.thread); rc != 0) {
        QEL_DEBUG_TAGGED(kDestroyTag, "could not join the rwdt thread, rc=%d", rc);
    }
    settle_and_release_ring(stream);
    stream->worker.resend_cb = nullptr;
    stream->worker.sleeps = false;
    stream->cursor.source = {};
    stream->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE,
                               std::memory_order_relaxed);
}

}  // namespace

namespace test_hooks {

void set_thread_starter(ThreadStarter starter) noexcept {
    thread_starter.store(starter, std::memory_order_relaxed);
}

}  // namespace test_hooks

}  // namespace qel::worker

using namespace qel::worker;

extern "C" {

QEL_EXPORT int qel_create_recv_worker(qel_stream_t *stream, uint32_t cpu,
                                      qel_resend_cb_t resend_cb) {
    qel::core::ScopedSpan span(kCreateTag);
    if (stream == nullptr) return span.exit_at(exit_line::kCreateNullStream, QEL_ENOENT);
    if ((stream->opts->flags & QEL_OPEN_ZEROLOSS) != 0 && resend_cb == nullptr) {
        return span.exit_at(exit_line::kCreateNoCallback, QEL_EINVAL);
    }
    // Relaxed: only this thread moves the state away from 0 and back to it.
    if (stream->worker.state.load(std::memory_order_relaxed) !=
        QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE) {
        return span.exit_at(exit_line::kCreateExists, 0);
    }
    if (!attach_ring(stream, ring_slots(stream))) {
        return span.exit_at(exit_line::kCreateNoRing, QEL_EINVAL);
    }
    const bool sleeps = (cpu & QEL_RECV_WORKER_SLEEP) != 0;
    cpu &= ~QEL_RECV_WORKER_SLEEP;
    stream->worker.resend_cb = resend_cb;
    stream->worker.cpu = cpu;
    stream->worker.sleeps = sleeps;
    stream->resend.worker_series_given_up.clear();
    // A thread that never starts would leave the spin below waiting for ever.
    if (int rc = start_thread(stream); rc != 0) {
        QEL_DEBUG_TAGGED(kCreateTag, "Failed to start rwdt thread, rc=%d", rc);
        settle_and_release_ring(stream);
        stream->worker.resend_cb = nullptr;
        stream->worker.cpu = 0;
        stream->worker.sleeps = false;
        return span.exit_at(exit_line::kCreateNoThread, QEL_EINVAL);
    }
    // From here on the receive calls read what the worker hands over, not the shared ring.
    stream->cursor.source = {next_copy, stream};
    // Release pairs with the thread's acquire load of the state: it sees the ring, the copies,
    // the callback and the processor.
    stream->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_CREATED,
                               std::memory_order_release);
    // Acquire pairs with the thread's release store of state 2. Yielding rather than spinning
    // hard lets the new thread have the processor on a machine with few of them.
    while (stream->worker.state.load(std::memory_order_acquire) !=
           QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING) {
        std::this_thread::yield();
    }
    if (cpu != 0) {
        const int rc = hux_thread_set_affinity(&stream->worker.thread, 1u << (cpu % 32));
        if (rc != 0) {
            QEL_DEBUG_TAGGED(kCreateTag, "Failed to pin worker thread to CPU%d, rc=%d",
                             static_cast<int>(cpu), rc);
            destroy_worker(stream);
            return span.exit_at(exit_line::kCreateNotPinned, QEL_EINVAL);
        }
        QEL_DEBUG_TAGGED(kCreateTag, "Thread affinity pinned to CPU%d", static_cast<int>(cpu));
    }
    return span.exit_at(exit_line::kCreated, 0);
}

QEL_EXPORT int qel_destroy_recv_worker(qel_stream_t *stream) {
    qel::core::ScopedSpan span(kDestroyTag);
    if (stream == nullptr) return span.end_at(exit_line::kDestroyNullStream);
    // From the resend callback the thread would wait for itself to end.
    if (on_worker_thread) {
        QEL_DEBUG_TAGGED(kDestroyTag, "refused on the worker's own thread");
        return span.end_at(exit_line::kDestroyOwnThread);
    }
    // Acquire pairs with the thread's release stores of the state (nothing is read through it
    // here but the state itself).
    const uint32_t state = stream->worker.state.load(std::memory_order_acquire);
    if (state == QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED) {
        return span.end_at(exit_line::kDestroyInProgress);
    }
    if (state == QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE) {
        return span.end_at(exit_line::kDestroyNoWorker);
    }
    destroy_worker(stream);
    return span.end_at(exit_line::kDestroyed);
}

QEL_EXPORT int qel_get_status_recv_worker(qel_stream_t *stream, qel_recv_worker_status_t *status) {
    if (stream == nullptr || status == nullptr) return QEL_EINVAL;
    status->state = stream->worker.state.load(std::memory_order_acquire);
    status->started = stream->worker.started.load(std::memory_order_relaxed);
    status->mode = stream->worker.mode.load(std::memory_order_relaxed);
    return 0;
}

}  // extern "C"
