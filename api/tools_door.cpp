// What the tools' door (tools_door.h) adds to the headers it gathers.
#include "api/tools_door.h"

#include "adapter/driver/endpoint.h"
#include "adapter/driver/software_adapter.h"
#include "adapter/firmware/firmware_counters.h"

namespace qel::tools_door {

std::vector<FirmwareCount> firmware_counters(hux_handle_t endpoint) {
    std::vector<FirmwareCount> counts;
    const std::shared_ptr<adapter::Endpoint> attached = adapter::attached_endpoint(endpoint);
    if (!attached) return counts;
    const adapter::CounterSnapshot snapshot = attached->firmware_counters().snapshot();
    for (size_t i = 0; i < adapter::kCounterCount; ++i) {
        counts.push_back({adapter::kCounterNames[i], snapshot[i]});
    }
    return counts;
}

}  // namespace qel::tools_door
