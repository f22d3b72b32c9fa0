// The telemetry add-on as the rest of the library sees it: whether it is in use, the
// process-wide handles and the entry points the trace spans call.
#pragma once

#include <cstdint>

namespace qel::telemetry {

using StartSpanFn = int (*)(void *trace, const char *name, void **span);
using AddEventFn = int (*)(void *span, const char *name, const char *key, const char *value);
using EndSpanFn = int (*)(void *trace, void *span);

struct Addon {
    StartSpanFn start_span = nullptr;  // null when the add-on lacks it or is not loaded
    AddEventFn add_event = nullptr;
    EndSpanFn end_span = nullptr;
};

// Set only by a fully successful load, never cleared.
extern uint32_t qel_telemetry_available;
extern void *qel_metrics_handle;
extern void *qel_trace_handle;
extern Addon addon;

// Loads the add-on; 0 when it is in use, non-zero when not.
int qel_load_telemetry_addon();

}  // namespace qel::telemetry
