// The software adapter: the driver and the adapter firmware done in software, answering the
// driver command set on this host's network interfaces.
#pragma once

#include "hux/device_host.h"

namespace qel::adapter {

// The process's one software adapter, created on first use.
hux::DeviceHost &software_adapter();

}  // namespace qel::adapter
