// What closing a stream tells a room above stream/ that keeps pointers to streams: the
// telemetry's contexts hold the streams they export, and must let go of one before it is
// released. That room registers its routine before it can hold any stream (when its first
// context is made), so stream/ names nothing above it.
#pragma once

#include "qel.h"

namespace qel::stream {

// Called by qel_close_stream before the stream is released (its worker is already gone).
using CloseHook = void (*)(qel_stream_t *stream);

// Registers `hook` (one at a time; null for none). Safe from any thread.
void set_close_hook(CloseHook hook);

}  // namespace qel::stream
