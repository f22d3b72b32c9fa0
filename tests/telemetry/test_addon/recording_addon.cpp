// A test add-on: it answers the library's calls as the environment tells it and records each
// call, so that a test can read back what reached the add-on. Built several times, each copy
// named libqeltelemetry.so in a folder of its own; the build leaves out the entry points that
// a loader scenario needs missing:
//   TEST_ADDON_OMIT_END_SPAN        no qel_telemetry_end_trace_span
//   TEST_ADDON_OMIT_ADAPTER_FETCH   no qel_adapter_data_fetch
//   TEST_ADDON_REFUSE_REGISTRATION  the statistics reader is refused
// Environment read at each call: TEST_ADDON_INIT_RESULT (result of both init calls).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "qel.h"

#define ADDON_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex mutex;
std::string log_text;  // one line per call
qel_get_stats_fn get_stats = nullptr;
qel_metrics_trace_t *metrics_ctx = nullptr;  // the context of the last metrics init
int metrics_state = 0;                       // what the handles point at
int trace_state = 0;
unsigned long next_span = 1;

void record(const std::string &line) {
    std::lock_guard guard(mutex);
    log_text += line;
    log_text += '\n';
}

std::string pointer_text(const void *p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

int init_result() {
    const char *text = std::getenv("TEST_ADDON_INIT_RESULT");
    return text ? std::atoi(text) : 0;
}

}  // namespace

// ---- What the test reads back ----

// Copies the record of calls into `buffer` (cut, terminated); returns its full length.
ADDON_EXPORT size_t test_addon_log(char *buffer, size_t size) {
    std::lock_guard guard(mutex);
    if (size > 0) {
        const size_t n = log_text.size() < size - 1 ? log_text.size() : size - 1;
        std::memcpy(buffer, log_text.data(), n);
        buffer[n] = '\0';
    }
    return log_text.size();
}

ADDON_EXPORT void *test_addon_metrics_state() {
    return &metrics_state;
}
ADDON_EXPORT void *test_addon_trace_state() {
    return &trace_state;
}

// ---- The add-on's entry points ----

ADDON_EXPORT int qel_telemetry_export_metrics(void *handle) {
    // Reads every listed stream through the registered reader, as a real add-on would:
    // "export_metrics <handle> <streams> <reader result>...".
    std::string line = "export_metrics " + pointer_text(handle);
    std::unique_lock guard(mutex);
    qel_metrics_trace_t *const ctx = metrics_ctx;
    const qel_get_stats_fn fn = get_stats;
    guard.unlock();
    if (handle == &metrics_state && ctx != nullptr) {
        line += " " + std::to_string(ctx->num_streams);
        for (uint32_t i = 0; i < ctx->num_streams; ++i) {
            qel_stats_t stats{};
            line += " " + std::to_string(fn ? fn(ctx->streamList[i], &stats) : -100);
        }
    }
    record(line);
    return 7;  // ignored by the library
}

ADDON_EXPORT int qel_telemetry_init_metrics(qel_metrics_trace_t *ctx, void *adapter_fetch,
                                            void *stream_fetch, void **handle) {
    record("init_metrics " + pointer_text(ctx) + " " + pointer_text(adapter_fetch) + " " +
           pointer_text(stream_fetch) + " " + pointer_text(*handle));
    *handle = &metrics_state;
    std::unique_lock guard(mutex);
    metrics_ctx = ctx;
    guard.unlock();
    return init_result();
}

ADDON_EXPORT int qel_telemetry_init_trace(qel_metrics_trace_t *ctx, void **handle) {
    record("init_trace " + pointer_text(ctx) + " " + pointer_text(*handle));
    *handle = &trace_state;
    return init_result();
}

ADDON_EXPORT int qel_telemetry_export_traces(void *handle) {
    record("export_traces " + pointer_text(handle));
    return 7;
}

ADDON_EXPORT int qel_telemetry_start_trace_span(void *trace, const char *name, void **span) {
    std::unique_lock guard(mutex);
    const unsigned long id = next_span++;
    guard.unlock();
    *span = reinterpret_cast<void *>(id);
    record("start_span " + pointer_text(trace) + " " + name + " " + std::to_string(id));
    return 0;
}

#ifndef TEST_ADDON_OMIT_END_SPAN
ADDON_EXPORT int qel_telemetry_end_trace_span(void *trace, void *span) {
    record("end_span " + pointer_text(trace) + " " +
           std::to_string(reinterpret_cast<unsigned long>(span)));
    return 3;  // passed on by qel_span_end
}
#endif

ADDON_EXPORT int qel_telemetry_trace_span_add_event(void *span, const char *name, const char *key,
                                                    const char *value) {
    record("add_event " + std::to_string(reinterpret_cast<unsigned long>(span)) + " " + name +
           " [" + key + "] " + value);
    return 9;
}

#ifndef TEST_ADDON_OMIT_ADAPTER_FETCH
ADDON_EXPORT int qel_adapter_data_fetch(void) {
    return 0;
}
#endif

ADDON_EXPORT int qel_stream_data_fetch(void) {
    return 0;
}

ADDON_EXPORT int qel_telemetry_register_get_stats(qel_get_stats_fn fn) {
    std::unique_lock guard(mutex);
    get_stats = fn;
    guard.unlock();
    record(std::string("register_get_stats ") + (fn ? "reader" : "null"));
#ifdef TEST_ADDON_REFUSE_REGISTRATION
    return 0;
#else
    return 1;
#endif
}

// Calls the registered reader for `stream`, as the add-on would during an export.
ADDON_EXPORT int test_addon_read_stats(qel_stream_t *stream, qel_stats_t *stats) {
    std::unique_lock guard(mutex);
    const qel_get_stats_fn fn = get_stats;
    guard.unlock();
    return fn ? fn(stream, stats) : -100;
}
