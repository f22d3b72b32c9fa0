// The settle step: what the receive calls do with the trailer or status descriptor that ends
// (or reports on) the block in the stream's block record. qel_poll_recv and qel_poll_recv_pr
// both go through it, so a firmware status means the same to either call.
#pragma once

#include <cstdint>

#include "qel.h"
#include "recv/descriptor.h"

namespace qel::recv {

enum class Settled : uint8_t {
    kDeliver,  // the block is in `block_out`; `code` is the firmware status it finished with
    kSkip,     // the block was dropped and its buffer queued again: read the next one
    kGoesOn,   // the firmware is still collecting the block (an INCOMPLETE status)
    kFail,     // nothing delivered; `code` is the call's result
};

struct Outcome {
    Settled action;
    int code;
};

struct SettleRules {
    const char *tag;       // tags the messages
    bool keep_incomplete;  // deliver a block that lacks packets rather than drop it
    // Finished blocks must carry the id after the last one (the resending call's order check,
    // which also records each finished block's id).
    bool check_order;
};

// Settles the block the descriptor `d` reports on. Counts what it drops, delivers or fails in
// the stream's statistics, and takes (and for a dropped block queues again) the buffer of a
// block the firmware finished.
Outcome settle(qel_stream_t *stream, const DescriptorResult &d, qel_block_t *block_out,
               const SettleRules &rules);

// Whether a firmware status ends its block in a buffer (the head of the queue list).
constexpr bool finishes_in_buffer(int status) {
    return status == KOB_QEL_STATUS_COMPLETE || status == KOB_QEL_STATUS_INCOMPLETE_FINAL ||
           status == KOB_QEL_STATUS_BUFFER_OVERFLOW;
}

}  // namespace qel::recv
