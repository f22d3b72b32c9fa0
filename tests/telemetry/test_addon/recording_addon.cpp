// A test add-on that records each call reaching it, one line per call, for a test to read back.
// Built several times, each copy libqeltelemetry.so in a folder of its own, leaving out what a
// loader scenario needs missing (TEST_ADDON_OMIT_END_SPAN, TEST_ADDON_OMIT_ADAPTER_FETCH) or
// refusing the statistics reader (TEST_ADDON_REFUSE_REGISTRATION).
#include <mutex>
#include <string>

#include "qel.h"

#define ADDON_EXPORT extern "C" __attribute__((visibility("default")))

namespace {
std::mutex mutex;
std::string log_text;
int metrics_state = 0, trace_state = 0;  // what the handles point at

void record(const std::string &line) {
    std::lock_guard guard(mutex);
    log_text += line + '\n';
}
}  // namespace

// The record of calls, copied for the calling thread.
ADDON_EXPORT const char *test_addon_log() {
    static thread_local std::string copy;
    std::lock_guard guard(mutex);
    copy = log_text;
    return copy.c_str();
}

ADDON_EXPORT int qel_telemetry_export_metrics(void *) {
    record("export_metrics");
    return 7;  // ignored by the library
}

ADDON_EXPORT int qel_telemetry_init_metrics(qel_metrics_trace_t *, void *, void *, void **handle) {
    *handle = &metrics_state;
    return 0;
}

ADDON_EXPORT int qel_telemetry_init_trace(qel_metrics_trace_t *, void **handle) {
    *handle = &trace_state;
    return 0;
}

ADDON_EXPORT int qel_telemetry_export_traces(void *) {
    record("export_traces");
    return 7;
}

ADDON_EXPORT int qel_telemetry_start_trace_span(void *, const char *name, void **span) {
    *span = &trace_state;
    record(std::string("start_span ") + name);
    return 0;
}

#ifndef TEST_ADDON_OMIT_END_SPAN
ADDON_EXPORT int qel_telemetry_end_trace_span(void *, void *) {
    record("end_span");
    return 3;  // passed on by qel_span_end
}
#endif

ADDON_EXPORT int qel_telemetry_trace_span_add_event(void *, const char *, const char *,
                                                    const char *) {
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

ADDON_EXPORT int qel_telemetry_register_get_stats(qel_get_stats_fn) {
    record("register_get_stats");
#ifdef TEST_ADDON_REFUSE_REGISTRATION
    return 0;
#else
    return 1;
#endif
}
