// The camera a run of qel-recv controls itself (--control-camera), and the list of cameras
// (--list-cameras). Built on libqelcamera where that was built; elsewhere every call says that
// camera control is not built in.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "recv_tool/options.h"

namespace qel::recv_tool {

class ControlledCamera {
public:
    ControlledCamera();
    // Stops the camera if it was started and gives control back, whatever ended the run.
    ~ControlledCamera();
    ControlledCamera(const ControlledCamera &) = delete;
    ControlledCamera &operator=(const ControlledCamera &) = delete;

    // Finds the camera, takes control and applies the settings asked for. Empty on success.
    [[nodiscard]] std::string open(const CameraControl &control);
    // The camera's address, and the local address of the interface that reaches it.
    [[nodiscard]] std::string address() const;
    [[nodiscard]] std::string interface_address() const;
    // The payload bytes of one block as the camera is set; 0 when it does not say.
    [[nodiscard]] uint64_t payload_size() const;
    // Points stream channel 0 at the address and port and starts acquisition.
    [[nodiscard]] std::string start(const std::string &local_address, uint16_t port);
    // Empty while control is held, else why it is not.
    [[nodiscard]] std::string check() const;
    // Stops acquisition; empty on success.
    [[nodiscard]] std::string stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Prints the cameras that answer, one a line (or as a JSON array); returns the exit status.
int list_cameras(FILE *out, bool json);

}  // namespace qel::recv_tool
