// The tools' one door into the library's internals. Programs in tools/ use the public headers
// (qel.h, hux.h) and, for what those do not offer, this header alone (scripts/check-layers
// holds them to it), so that whatever of the inside the tools depend on is named here:
// - the driver's command codes and records (core/driver.h): qel-adapter lists boards and
//   endpoints through hux_ioctl;
// - the safe folders and files (core/private_files.h): qel-recv writes its images and reports;
// - the software adapter firmware's counters of an open endpoint: qel-soak prints them.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "core/driver.h"
#include "core/private_files.h"
#include "hux.h"

namespace qel::tools_door {

struct FirmwareCount {
    std::string_view name;
    uint64_t value;
};

// Every firmware counter of the software adapter's endpoint open as `endpoint` (the endpoint
// handle of a stream), in the firmware's order; empty when that handle is not one of the
// software adapter's endpoints. libqel does not export it: a tool that calls it links the
// library's objects (qel_static).
std::vector<FirmwareCount> firmware_counters(hux_handle_t endpoint);

}  // namespace qel::tools_door
