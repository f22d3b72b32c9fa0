// The step every receive path shares: a finished block takes the oldest queued buffer.
#pragma once

#include "qel.h"

namespace qel::recv {

// Takes the head of the queue list off it and counts it on the progress page. Null, taking
// nothing, when no buffer is queued.
qel_buffer_t *take_head_buffer(qel_stream_t *stream);

// Takes the head of the queue list into the block record (`buffer`, `data`) and counts it on
// the progress page. False, taking nothing, when no buffer is queued: the firmware cannot have
// finished a block into a buffer the stream never gave it.
bool take_buffer(qel_stream_t *stream);

// Queues the buffer of a failed block again; its result is not reported.
void requeue(qel_stream_t *stream);

}  // namespace qel::recv
