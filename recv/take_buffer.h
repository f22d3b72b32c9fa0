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

// Gives the head of the queue list, whose block is dropped unread, straight back to the
// firmware at the tail. It stays marked queued throughout, so that qel_free on another thread
// refuses it instead of freeing it under the receive worker; only a failed queue command makes
// it the application's again. False, taking nothing, when no buffer is queued.
bool requeue_head(qel_stream_t *stream);

// Queues again a buffer the receive path took off the queue list with its queued mark left
// set (recv/buffers.cpp): as qel_queue_buffer, without its checks and without the filter,
// which a block that reached the buffer shows to be there. On failure the mark is cleared, as
// the last touch of the buffer, and the driver's code returned.
int queue_again(qel_buffer_t *buffer);

}  // namespace qel::recv
