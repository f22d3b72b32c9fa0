// The seam between an endpoint and its firmware (packet reception and reassembly), which runs
// on threads of its own.
//
// An endpoint starts its firmware when it is both enabled and has a filter socket, and stops
// it (by destroying it) before that socket is closed or replaced and before the endpoint goes.
// The destructor of a Firmware must stop and join every thread it started; after it returns
// the firmware touches nothing of the endpoint again.
//
// The firmware knows nothing of the driver: what it works with is handed to it in a
// FirmwareLink, which the endpoint (adapter/driver/endpoint.h) fills when it starts it. None
// of it takes the endpoint's control mutex, under which the firmware is stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/ring_receiver.h"

namespace qel::adapter {

class Firmware {
public:
    virtual ~Firmware() = default;
};

// The keeper of an endpoint's clock page: rewrites its base tick count and base time under
// its sequence word. The firmware asks for this every second, from its own thread.
class ClockKeeper {
public:
    virtual void refresh_clock_page() = 0;

protected:
    ~ClockKeeper() = default;
};

// The adapter's settings that the firmware keeps to, read by the driver when it starts it.
struct FirmwareSettings {
    uint32_t resend_interval_ms = 0;
    uint32_t block_timeout_ms = 0;  // a block's time when the host named none
    uint32_t longest_wait_ms = 0;   // no block waits longer, whatever the host named
    bool any_source = false;        // packets from any sender count (source_filter.h)
};

// What a firmware is given of its endpoint. Everything referred to outlives the firmware.
struct FirmwareLink {
    // Where blocks go and what is counted (shared with the command side; each locks itself).
    FirmwarePorts ports;
    // The progress page, whose words the host wrote (with release stores) when it opened the
    // stream, before it added the filter that starts the firmware (core/shared_memory.h).
    std::span<uint8_t> progress_page;
    // Whether the camera's packets carry extended ids, as set when the firmware starts.
    bool extended_ids = false;
    FirmwareSettings settings;
    ClockKeeper &clock;
    // The packet socket's ring to read instead of the socket, when the filter opened one (it
    // stays mapped until the firmware is destroyed); fd -1: none.
    PacketRingView ring;
};

// Starts a firmware with `link`, reading packets from `socket` (non-blocking UDP, open until
// the firmware is destroyed). Null when there is nothing to run.
using FirmwareStarter = std::unique_ptr<Firmware> (*)(const FirmwareLink &link, int socket);

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
