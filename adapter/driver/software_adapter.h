// The software adapter: the driver and the adapter firmware done in software, answering the
// driver command set on this host's network interfaces.
#pragma once

#include <cstdint>
#include <memory>

#include "hux/device_host.h"

namespace qel::adapter {

// The process's one software adapter, created on first use.
hux::DeviceHost &software_adapter() noexcept;

class Endpoint;

// The endpoint attached through the software adapter's handle `handle`, or null. For the
// firmware's tools and for tests, which post descriptors and inspect filters through it.
std::shared_ptr<Endpoint> attached_endpoint(uint64_t handle);

}  // namespace qel::adapter
