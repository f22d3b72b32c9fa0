// The context record is read by the add-on, built apart from the library: its layout is an
// interface and must not move.
#include <cstddef>

#include "qel.h"

namespace qel::telemetry {

using R = qel_metrics_trace_t;
static_assert(offsetof(R, addon_param32) == 0);
static_assert(offsetof(R, addon_param16) == 4);
static_assert(offsetof(R, enab) == 8);
static_assert(offsetof(R, serial_numbers) == 16);
static_assert(offsetof(R, num_streams) == 24);
static_assert(offsetof(R, max_streams) == 28);
static_assert(offsetof(R, streamList) == 32);
static_assert(offsetof(R, active) == 40);
static_assert(offsetof(R, thread_started) == 44);
static_assert(offsetof(R, in_wait_state) == 48);
static_assert(offsetof(R, pending_list) == 56);
static_assert(offsetof(R, thread_cmd) == 64);
static_assert(offsetof(R, lock) == 72 && sizeof(pthread_mutex_t) == 40);
static_assert(offsetof(R, thread) == 112 && sizeof(hux_thread_t) == 16);
static_assert(offsetof(R, wake_event) == 128);
static_assert(offsetof(R, is_metrics) == 136);
static_assert(offsetof(R, timeout_s) == 140);
static_assert(offsetof(R, adapter_period) == 144);
static_assert(offsetof(R, stream_period) == 148);
static_assert(sizeof(R) == 152);

}  // namespace qel::telemetry
