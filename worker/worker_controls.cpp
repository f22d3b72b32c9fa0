// Starting, stopping, blocking and unblocking a receive worker: one pattern, four instances.
//
// A control does not return before the worker thread acts on the new value. The thread runs a
// receive or drop routine to the end of a block before it looks at the words again (and leaves
// a block early only when a control or destroy asks it to), so without the wait an application
// that unblocks and polls at once, or blocks and stops polling, could meet the thread still
// working as before: two consumers of the worker ring, or two threads on the queue list.
#include <thread>

#include "qel.h"
#include "stream/stream.h"
#include "worker/recv_worker.h"
#include "worker/wake_word.h"

namespace {

using qel::worker::on_worker_thread;

using ControlWord = std::atomic<uint32_t> qel::worker::WorkerLink::*;
using Counter = uint64_t qel_stats_t::*;

// Waits until the worker thread has begun a pass with generation `generation` or later.
void await_acknowledgement(qel_stream_t *stream, uint32_t generation) {
    // Acquire pairs with the thread's release store of `acting`: what its routines did
    // before (dequeues from the worker ring, buffers queued) happens before this returns.
    while (stream->worker.acting.load(std::memory_order_acquire) != generation) {
        if (stream->worker.state.load(std::memory_order_acquire) !=
            QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING) {
            return;
        }
        std::this_thread::yield();
    }
}

int set_control(qel_stream_t *stream, ControlWord field, uint32_t target, Counter counter) {
    if (stream == nullptr) return QEL_EINVAL;
    // Acquire pairs with the thread's release store of state 2.
    if (stream->worker.state.load(std::memory_order_acquire) !=
        QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING) {
        return QEL_EINVAL;
    }
    std::atomic<uint32_t> &word = stream->worker.*field;
    // Relaxed: only the application's side writes the control words.
    if (word.load(std::memory_order_relaxed) == target) return 0;
    // Release pairs with the thread's acquire loads: what this thread did on the stream before
    // (its last poll, its last queued buffer) happens before the worker acts on the new value.
    word.store(target, std::memory_order_release);
    const uint32_t generation = stream->worker.generation.load(std::memory_order_relaxed) + 1;
    // Release: a thread that reads this generation reads the new word too.
    stream->worker.generation.store(generation, std::memory_order_release);
    // A stopped sleeping worker sleeps on the generation.
    if (stream->worker.sleeps) qel::worker::wake_sleepers(stream->worker.generation);
    qel::stream::count(stream->stats->*counter);
    // Called from the resend callback, the thread would wait for itself; it takes the new
    // value when the callback has returned.
    if (!on_worker_thread) await_acknowledgement(stream, generation);
    return 0;
}

}  // namespace

extern "C" {

QEL_EXPORT int qel_start_recv_worker(qel_stream_t *stream) {
    return set_control(stream, &qel::worker::WorkerLink::started, 1, &qel_stats_t::worker_starts);
}

QEL_EXPORT int qel_stop_recv_worker(qel_stream_t *stream) {
    return set_control(stream, &qel::worker::WorkerLink::started, 0, &qel_stats_t::worker_stops);
}

QEL_EXPORT int qel_unblock_recv_worker(qel_stream_t *stream) {
    return set_control(stream, &qel::worker::WorkerLink::mode, QEL_RECEIVE_STREAM_WORKER_UNBLOCKED,
                       &qel_stats_t::worker_unblocks);
}

QEL_EXPORT int qel_block_recv_worker(qel_stream_t *stream) {
    return set_control(stream, &qel::worker::WorkerLink::mode, QEL_RECEIVE_STREAM_WORKER_BLOCKED,
                       &qel_stats_t::worker_blocks);
}

}  // extern "C"
