// The seam between an endpoint and its firmware (packet reception and reassembly), which runs
// on threads of its own.
//
// An endpoint starts its firmware when it is both enabled and has a filter socket, and stops
// it (by destroying it) before that socket is closed or replaced and before the endpoint goes.
// The destructor of a Firmware must stop and join every thread it started; after it returns
// the firmware touches nothing of the endpoint again. The firmware must not call the
// endpoint's command-side members (they take the control mutex under which it is stopped);
// its members are those marked "firmware" in endpoint.h.
#pragma once

#include <memory>

namespace qel::adapter {

class Endpoint;

class Firmware {
public:
    virtual ~Firmware() = default;
};

// Starts the firmware of `endpoint`, reading packets from `socket` (non-blocking UDP, open
// until the firmware is destroyed). Null when there is nothing to run.
using FirmwareStarter = std::unique_ptr<Firmware> (*)(Endpoint &endpoint, int socket);

// The starter that endpoints use from now on, in place of the default; null runs nothing.
// For tests and tools that run a firmware of their own, or none.
void set_firmware_starter(FirmwareStarter starter);
// Forgets the starter set above: endpoints use the default again.
void reset_firmware_starter();
// The starter used while none is set. The software adapter installs its packet reception
// (software_firmware.h) here when it is created; until then there is none.
void set_default_firmware_starter(FirmwareStarter starter);
// The starter that endpoints use now (null: none).
FirmwareStarter firmware_starter();

}  // namespace qel::adapter
