// An open endpoint device: one handle of "\\.\trel<board>\e<endpoint>". It answers every
// endpoint command; TREL_OPEN_ENDPT attaches it to its endpoint, and closing the handle shuts
// the endpoint down.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "adapter/driver/boards.h"
#include "adapter/driver/endpoint.h"

namespace qel::adapter {

// Whether `code` is a command of the endpoint device.
bool is_endpoint_command(uint32_t code);

class EndpointDevice {
public:
    // The device of endpoint `endpoint` of board `board_number`, `boards` being the board list
    // as it was when the device was opened.
    EndpointDevice(std::shared_ptr<const std::vector<Board>> boards, uint32_t board_number,
                   uint32_t endpoint);

    // Answers one command. Returns 0 or a host error value.
    uint32_t control(uint32_t code, void *record, uint32_t length);
    // The handle closes: the attached endpoint, if any, is shut down.
    void close();

    // The attached endpoint, or null.
    std::shared_ptr<Endpoint> endpoint() const;

private:
    int open_endpoint(void *record, uint32_t length);
    int answer_attached(Endpoint &endpoint, uint32_t code, void *record, uint32_t length);

    const std::shared_ptr<const std::vector<Board>> boards_;
    const uint32_t board_number_;
    const uint32_t endpoint_number_;
    mutable std::mutex mutex_;  // guards attached_ and closed_
    std::shared_ptr<Endpoint> attached_;
    bool closed_ = false;
};

}  // namespace qel::adapter
