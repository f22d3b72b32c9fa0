// Trace spans around the stream and worker entry points; inert unless the telemetry add-on is
// in use.
#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "qel.h"
#include "telemetry/addon.h"

using namespace qel::telemetry;

namespace {

// The work-around switch is looked up on every call so that it can be set while running.
bool span_workaround(const char *tag) {
    if (std::getenv("JIRA_QEL_234") == nullptr) return false;
    QEL_VERBOSE_TAGGED(tag, "JIRA_QEL_234 work around enabled\n");
    return true;
}

}  // namespace

extern "C" QEL_EXPORT int qel_span_begin(void **span, const char *name) {
    constexpr const char *kTag = "qel_telemetry_start_trace_span";
    if (addon.start_span == nullptr) return 0;
    void *trace = load_handle(qel_trace_handle);
    if (trace == nullptr) {
        QEL_DEBUG_TAGGED(kTag, "telemetry has not been initialized\n");
        return -1;
    }
    if (span_workaround(kTag)) return 0;
    return addon.start_span(trace, name, span);
}

extern "C" QEL_EXPORT int qel_span_end(void *span, const char *name, int line) {
    constexpr const char *kTag = "qel_telemetry_end_trace_span";
    if (qel_telemetry_available == 0) return 0;
    void *trace = load_handle(qel_trace_handle);
    if (trace == nullptr) {
        QEL_DEBUG_TAGGED(kTag, "telemetry has not been initialized\n");
        return -1;
    }
    if (span_workaround(kTag)) return 0;
    // Eight bytes hold at most seven digits: a longer line number reaches the add-on cut.
    char line_text[8];
    std::snprintf(line_text, sizeof line_text, "%d", line);
    addon.add_event(span, name, "", line_text);
    return addon.end_span(trace, span);
}
