// The receive worker inside the library: its thread, its two routines, and the ring through
// which it hands descriptor copies to qel_poll_recv.
//
// Who uses what: the worker thread is the shared descriptor ring's only consumer and the
// worker ring's only producer. The worker ring's consumer is the application's qel_poll_recv
// while the worker is unblocked and the drop routine (on the worker thread) while it is
// blocked; the controls hand that role over only once the thread has acknowledged the change
// (worker_controls.cpp), and destroy takes it after the thread has ended.
#pragma once

#include <atomic>
#include <cstdint>

#include "qel.h"
#include "stream/stream.h"
#include "worker/plix_ring.h"

namespace qel::worker {

// Results of the routines besides the firmware statuses they pass on.
inline constexpr int kNothingReady = -QEL_EAGAIN;      // no descriptor, no block under way
inline constexpr int kSeriesGivenUp = -QEL_ETIMEDOUT;  // resend request limit reached
inline constexpr int kInterrupted = -4;  // left a block unfinished: stopped, (un)blocked, destroyed
// The drop of one descriptor did not end its block (a leader, an INCOMPLETE status).
inline constexpr int kBlockGoesOn = -1;

// Exit lines of the trace spans: each names one way out of its function.
namespace exit_line {
inline constexpr int kCreateNullStream = 300;
inline constexpr int kCreateNoCallback = 305;
inline constexpr int kCreateExists = 312;
inline constexpr int kCreateNoRing = 318;
inline constexpr int kCreateNoThread = 322;
inline constexpr int kCreateNotPinned = 349;
inline constexpr int kCreated = 355;
inline constexpr int kDestroyOwnThread = 362;
inline constexpr int kDestroyNullStream = 366;
inline constexpr int kDestroyInProgress = 370;
inline constexpr int kDestroyNoWorker = 374;
inline constexpr int kDestroyed = 390;
inline constexpr int kThreadNullStream = 245;
inline constexpr int kThreadLeft = 268;
}  // namespace exit_line

// True on the worker's own thread (the resend callback runs there).
extern thread_local bool on_worker_thread;

// The thread's body; `stream` is the qel_stream_t. Returns its result as a pointer-sized int.
void *qel__rwdt_thread(void *stream);
// Takes the descriptors of at most one block off the shared ring into the worker ring, asking
// for resends on a zero-loss stream. The last descriptor's firmware status (0 to 255),
// kNothingReady, kSeriesGivenUp or kInterrupted.
int qel__recv_worker_recv(qel_stream_t *stream);
// Drops the descriptors of at most one block: those in the worker ring first, then those that
// arrive on the shared ring. 0 (a block dropped, or nothing there), 12, 119, 1, QEL_EPROTO or
// kInterrupted.
int qel__recv_worker_drop(qel_stream_t *stream);

// Drops one descriptor as the drop routine does: a finished block's buffer (the head of the
// queue list) goes back to the firmware. kBlockGoesOn, or the drop routine's result. `tag`
// tags its message.
int drop_descriptor(qel_stream_t *stream, const uint8_t *descriptor, const char *tag);

// Creates the worker ring of `count` slots and its copy cells on the stream. False, with
// nothing attached, when the ring cannot be created (another exists, a count that is not a
// power of two, no memory).
bool attach_ring(qel_stream_t *stream, uint32_t count) noexcept;
// After the thread has ended: drops every descriptor still in the ring (finished blocks give
// their buffers back in queue order), then releases the ring and the cells.
void settle_and_release_ring(qel_stream_t *stream);
// The slot count of a new worker ring: region 0's length in bytes, as unsigned 32-bit.
uint32_t ring_slots(const qel_stream_t *stream);

// Whether the worker should go on with what it is doing: running, started and in `mode`, with
// no control waiting for it. The last matters when the thread read a control's new word before
// its generation (the control stores them in that order): it then runs in the new mode without
// having acknowledged it, and must come back to the loop to do so, even mid-block.
// Acquire pairs with the release stores of the controls and of destroy; `acting` is written by
// this thread alone.
inline bool still_acting(const qel_stream_t *stream, uint32_t mode) {
    return stream->worker.state.load(std::memory_order_acquire) ==
               QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING &&
           stream->worker.started.load(std::memory_order_acquire) == 1 &&
           stream->worker.mode.load(std::memory_order_acquire) == mode &&
           stream->worker.generation.load(std::memory_order_acquire) ==
               stream->worker.acting.load(std::memory_order_relaxed);
}

// How long the routines wait in the driver for the next descriptor: a sleeping worker one
// slice, after which it looks at its controls again; a busy-polling worker not at all.
inline int32_t driver_wait_ms(const qel_stream_t *stream) {
    return stream->worker.sleeps ? QEL_RECV_WORKER_WAKE_MS : 0;
}

// A hint to the processor inside a busy-poll loop; not a sleep.
inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

namespace test_hooks {

using ThreadStarter = int (*)(hux_thread_t *thread, hux_thread_fn fn, void *arg);
// Replaces hux_thread_create for the worker's thread; null restores it. Tests only.
void set_thread_starter(ThreadStarter starter) noexcept;
// Gives new worker rings `slots` slots instead of region 0's length; 0 restores that. Tests
// only.
void set_ring_slots(uint32_t slots) noexcept;

}  // namespace test_hooks

}  // namespace qel::worker
