// A camera on loopback for the firmware's end-to-end tests: sends GVSP datagrams to a stream
// port and answers GVCP packet-resend requests from the blocks it keeps, on a thread of its
// own.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "gvsp_builder.h"

namespace qel::test {

class TestCamera {
public:
    explicit TestCamera(uint16_t stream_port);
    ~TestCamera();
    TestCamera(const TestCamera &) = delete;
    TestCamera &operator=(const TestCamera &) = delete;

    void send(const Bytes &datagram) const;
    // Sends every packet of `block` but those whose index (0 the leader) is in `skipped`, and
    // keeps the block for resend requests.
    void send_block(const Block &block, Ids ids, std::vector<uint32_t> skipped = {});

    // The port that receives resend requests (127.0.0.1).
    uint16_t control_port() const { return control_port_; }

    struct Request {
        bool extended = false;
        uint64_t block_id = 0;
        uint32_t first = 0;
        uint32_t last = 0;
        uint16_t request_id = 0;
    };
    std::vector<Request> requests() const;

private:
    void serve();

    int stream_socket_ = -1;
    int control_socket_ = -1;
    uint16_t stream_port_ = 0;
    uint16_t control_port_ = 0;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::map<uint64_t, std::pair<Block, Ids>> kept_;  // by block id
    std::vector<Request> requests_;
    std::thread thread_;
};

}  // namespace qel::test
