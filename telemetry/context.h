// Metrics and trace contexts inside the library: the routines the exported twins share, the
// telemetry worker and the hand-over of stream lists to it.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/flag_word.h"
#include "hux.h"
#include "qel.h"

namespace qel::telemetry {

// The record's flag words are read and written through core/flag_word.h.
using core::load_flag;
using core::store_flag;

// The record's lock: a recursive mutex, held for one scope.
class RecordLock {
public:
    explicit RecordLock(qel_metrics_trace_t *ctx) : ctx_(ctx) { pthread_mutex_lock(&ctx_->lock); }
    ~RecordLock() { pthread_mutex_unlock(&ctx_->lock); }
    RecordLock(const RecordLock &) = delete;
    RecordLock &operator=(const RecordLock &) = delete;

private:
    qel_metrics_trace_t *ctx_;
};

// ---- Shared routines of the exported twins ----
int qel_create_metrics_trace(qel_metrics_trace_t **out, uint32_t addon_param32,
                             uint16_t addon_param16);
int qel_destroy_metrics_trace(qel_metrics_trace_t *ctx);
void qel_free_metrics_trace(qel_metrics_trace_t *ctx);
int qel_enable_metrics_trace(qel_metrics_trace_t *ctx);
int qel_disable_metrics_trace(qel_metrics_trace_t *ctx);
int qel_metrics_trace_add_remove_common(qel_metrics_trace_t *ctx, qel_stream_t *stream,
                                        uint32_t add);
int qel_start_metrics_trace(qel_metrics_trace_t *ctx, uint64_t cpu_mask);
int qel_stop_metrics_trace(qel_metrics_trace_t *ctx);

// Polls `field` every millisecond until it holds `value`: 0, or -1 after timeout_s × 1000
// polls (at once when that product is below 1).
int qel_wait_for_value(uint32_t timeout_s, const uint32_t *field, uint32_t value);

// The accessor a diagnostic program reaches through FP_GET_INFO: a flag or period by name,
// 0xFFFFFFFF for an unknown key (or a period key on a trace context).
uint32_t qel_metrics_trace_get_info(const qel_metrics_trace_t *ctx, const char *key);
// With QEL_API_TEST_BUF holding the hexadecimal address of a buffer of at least 29 bytes,
// writes "FP_GET_INFO=<accessor address>" there and into the environment. A value that does
// not name 29 bytes this process may write is told of on standard error, never written through.
void qel_publish_get_info();

// Detaches a stream from the contexts it is attached to; close calls it before it releases
// the stream, so that no context keeps a pointer to a released record.
void detach_stream(qel_stream_t *stream);

// ---- The telemetry worker ----
// The worker's rest between two exports, in milliseconds. Tests shorten it; 5000 otherwise.
inline constexpr uint32_t kWorkerRestMs = 5000;
extern std::atomic<uint32_t> worker_rest_ms;

void *worker(void *ctx);
int process_worker_cmd(uint32_t cmd, qel_metrics_trace_t *ctx);
int qel_update_worker(qel_metrics_trace_t *ctx, uint32_t cmd, qel_stream_t *stream, uint32_t add,
                      uint32_t timeout_s);
int qel_copy_streamlist(qel_metrics_trace_t *ctx, qel_stream_t *stream, uint32_t add,
                        qel_stream_t ***out);
// Installs `list` as the record's stream list, frees the old one and recounts num_streams.
void adopt_stream_list(qel_metrics_trace_t *ctx, qel_stream_t **list);
int qel_get_adapter_sns(char ***out);
int qel_telemetry_now(hux_timeval *tv);

// The auto-reset event behind wake_event.
void *create_wake_event();
void destroy_wake_event(void *event);
void signal_wake_event(void *event);
void wait_wake_event(void *event);

}  // namespace qel::telemetry
