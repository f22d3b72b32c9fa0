// The simulator as a GigE Vision device: it waits on its control port for a client to
// discover it, take control, set it up through its registers and start acquisition, and then
// streams to the destination the client wrote, with the configured faults and resend service,
// until the client stops it, gives up control or stops sending heartbeats.
//
//   qel::camsim::Config config;        // the stream before any client changes it
//   config.control_address = "127.0.0.1";
//   qel::camsim::Device device(config);
//   if (std::string error = device.start(); !error.empty()) { ... }
//   ...                                // clients such as Aravis control it
//   device.stop();
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "camsim/camsim.h"
#include "camsim/gvcp_device.h"

namespace qel::camsim {

class Device {
public:
    explicit Device(Config config, DeviceIdentity identity = {});
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Opens the control port and serves it on a thread of its own. An empty text on success,
    // else a one-line reason. Once only.
    [[nodiscard]] std::string start();
    // Stops any stream and the service and closes the port. Safe to call more than once.
    void stop();

    [[nodiscard]] uint16_t control_port() const;
    [[nodiscard]] bool acquiring() const;
    // Counters of the running acquisition, else of the last one (zero before the first).
    [[nodiscard]] Counters counters() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel::camsim
