// Loader of the optional telemetry add-on. Until the add-on contract is built, no add-on is
// ever found: telemetry is optional and everything else works without it.
#include "telemetry/addon.h"

namespace qel::telemetry {

uint32_t qel_telemetry_available = 0;
void *qel_metrics_handle = nullptr;
void *qel_trace_handle = nullptr;
Addon addon{};

int qel_load_telemetry_addon() {
    return -1;
}

}  // namespace qel::telemetry
