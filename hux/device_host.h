// The one seam between the library and an adapter: open a device by name, send it a driver
// command, close it. The software adapter answers by default; tests install a scripted one.
// Nothing above hux/ sees this interface, and hux/ names no adapter: the adapter registers
// itself as the default host (default_device_host below).
//
// The seam is a C boundary: no exception crosses it. A host catches what its work throws and
// answers with a host error instead (an allocation failure: the driver code QEL_ENOMEM).
#pragma once

#include <cstdint>

namespace qel::hux {

class DeviceHost {
public:
    virtual ~DeviceHost() = default;
    // Opens the device called `name` (as hux_open formats it). Returns 0 and the handle, or a
    // host error value (see driver.h) and leaves *handle alone.
    virtual uint32_t open(const char *name, uint64_t *handle) noexcept = 0;
    // One driver command on an open handle, `record` both input and output. Returns 0 or a
    // host error value.
    virtual uint32_t control(uint64_t handle, uint32_t code, void *record,
                             uint32_t length) noexcept = 0;
    virtual void close(uint64_t handle) noexcept = 0;
};

// The host in use: the installed one, else the default host.
DeviceHost &device_host() noexcept;
// The host used while none is installed. The software adapter defines it
// (adapter/driver/software_adapter.cpp), so that the library reaches it through this seam
// alone; it is made on first use, never during static initialisation.
DeviceHost &default_device_host() noexcept;
// Installs `host` in place of the software adapter; null puts the software adapter back.
// For tests and tools; not meant to change while devices are open.
void set_device_host(DeviceHost *host);

// Turns a host error value into the library's errno-style code.
int map_host_error(uint32_t host_error);

}  // namespace qel::hux
