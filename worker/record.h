// The receive worker's part of the stream record (stream/stream.h holds one): its thread, its
// control words and the ring through which it hands descriptor copies to the receive path.
#pragma once

#include <atomic>
#include <cstdint>

#include "hux.h"
#include "qel.h"

namespace qel::worker {

struct plix_ring;

// The application's thread writes `ring`, `copies`, `resend_cb`, `cpu` and `sleeps` before its
// release store of state 1, and the worker thread reads them only after an acquire load has seen
// that state. The three control words are written by one side and re-read by the other on every
// pass.
struct WorkerLink {
    qel_resend_cb_t resend_cb;
    uint32_t cpu;                   // 0: not pinned
    std::atomic<uint32_t> state;    // QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_*
    std::atomic<uint32_t> started;  // 1 started, 0 stopped; written by the application
    std::atomic<uint32_t> mode;     // QEL_RECEIVE_STREAM_WORKER_(UN)BLOCKED; likewise
    // A control that changes `started` or `mode` counts `generation` up after the change; the
    // worker thread copies the generation it has read into `acting` at the start of a pass,
    // once the receive or drop routine of the previous pass has returned. The control waits
    // for that acknowledgement (worker/worker_controls.cpp).
    std::atomic<uint32_t> generation;
    std::atomic<uint32_t> acting;
    // Sleeping worker only: the blocks it has handed over through `ring` (each ended by its
    // trailer or status), counted by the worker thread, and 1 while a poll with a timeout may
    // sleep on that count. The worker makes its wake call only when it sees the poll asleep.
    std::atomic<uint32_t> handed;
    std::atomic<uint32_t> poll_asleep;
    // The worker sleeps while the stream is idle (QEL_RECV_WORKER_SLEEP) instead of busy-polling.
    bool sleeps;
    hux_thread_t thread;
    plix_ring *ring;
    // One 64-byte cell per slot of `ring`: the descriptor copies that pass through it.
    uint8_t *copies;
    // The leader of the block the drop routine was in when a control interrupted it: the rest
    // of that block goes to the receive routine after an unblock, or to the poll after a
    // destroy, and must not arrive there without its leader. Used by the worker thread, and by
    // destroy after the join.
    bool leader_held;
    uint8_t held_leader[64];
};

}  // namespace qel::worker
