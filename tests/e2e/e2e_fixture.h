// What the end-to-end tests share: the library on the software adapter's loopback board,
// streams with their buffers, and checks of received blocks against the simulator's frames.
#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "adapter/driver/endpoint.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/driver/software_adapter.h"
#include "camsim/camsim.h"
#include "core/state.h"
#include "qel.h"
#include "support/adapter_env.h"

namespace qel::test {

using adapter::Counter;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline const uint32_t kLoopback = inet_addr("127.0.0.1");

// Waits until `done()` holds, for at most `limit`; its last answer.
template <typename Done>
bool eventually(Done done, milliseconds limit = milliseconds(2000)) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) std::this_thread::sleep_for(milliseconds(1));
    return done();
}

// One stream of the library and the buffers allocated for it.
class Receiver {
public:
    ~Receiver() { close(); }

    // A stream from 127.0.0.1:port, or from the multicast `group` when one is given.
    int open(uint16_t port, uint32_t flags, const uint32_t *group = nullptr) {
        return group ? qel_open_mcast_stream(&kLoopback, group, port, &stream_, flags, &handle_)
                     : qel_open_stream(&kLoopback, port, &stream_, flags, &handle_);
    }
    // A zero-loss stream that asks 127.0.0.1:camera_port for lost packets.
    int open_pr(uint16_t port, uint32_t flags, uint16_t camera_port) {
        qel_stream_options_t o{};
        o.flags = flags | QEL_OPEN_ZEROLOSS;
        o.block_timeout = 1000;
        o.max_requests = 50;
        o.order_mode = 2;
        o.camera_addr = kLoopback;
        o.camera_port = camera_port;
        return qel_open_stream_pr(&kLoopback, port, &stream_, &o, &handle_);
    }
    // Allocates and queues `count` buffers of `size` bytes; the first failure's code.
    int queue(size_t size, int count) {
        for (int i = 0; i < count; ++i) {
            qel_buffer_t *b = nullptr;
            if (const int rc = qel_alloc(stream_, size, &b); rc != 0) return rc;
            buffers_.push_back(b);
            if (const int rc = qel_queue_buffer(b); rc != 0) return rc;
        }
        return 0;
    }
    // qel_poll_recv (or, given a status, qel_poll_recv_pr) until it answers other than 11 (or
    // 138, qel_poll_recv's own wait ending with nothing), for at most two seconds.
    int poll(qel_block_t *block, qel_pr_status_t *status = nullptr, uint16_t req_id_base = 0) {
        const auto end = Clock::now() + milliseconds(2000);
        int rc = QEL_EAGAIN;
        while (Clock::now() < end) {
            rc = status ? qel_poll_recv_pr(stream_, block, req_id_base, status)
                        : qel_poll_recv(stream_, block, 50);
            if (rc != QEL_EAGAIN && (status != nullptr || rc != QEL_ETIMEDOUT)) break;
            if (rc == QEL_EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return rc;
    }
    qel_stats_t stats() const {
        qel_stats_t s{};
        EXPECT_EQ(qel_get_stats(stream_, &s), 0);
        return s;
    }
    uint64_t counter(Counter c) const {
        auto endpoint = adapter::attached_endpoint(handle_);
        return endpoint ? endpoint->firmware_counters().get(c) : 0;
    }
    // The firmware's counter once it has reached `value`, or as it is after two seconds.
    uint64_t counter_at_least(Counter c, uint64_t value) const {
        eventually([&] { return counter(c) >= value; });
        return counter(c);
    }
    // Buffers queued with the firmware, waiting for a block.
    uint32_t queued_with_firmware() const {
        auto endpoint = adapter::attached_endpoint(handle_);
        return endpoint ? endpoint->buffers().queued_count() : 0;
    }
    // Frees the buffers, closes the stream. The close detaches the buffers still queued; every
    // buffer is then released by qel_free.
    void close() {
        if (stream_ == nullptr) return;
        std::vector<qel_buffer_t *> queued;
        for (qel_buffer_t *b : buffers_) {
            if (qel_free(b) != 0) queued.push_back(b);
        }
        EXPECT_EQ(qel_close_stream(stream_), 0);
        for (qel_buffer_t *b : queued) EXPECT_EQ(qel_free(b), 0);
        buffers_.clear();
        stream_ = nullptr;
    }
    qel_stream_t *stream() const { return stream_; }

private:
    qel_stream_t *stream_ = nullptr;
    hux_handle_t handle_ = HUX_INVALID_HANDLE;
    std::vector<qel_buffer_t *> buffers_;
};

class EndToEnd : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        unsetenv("QEL_ADAPTER_RESEND_INTERVAL_MS");
        set_block_timeout(milliseconds(5000));
        core::reset_library_state();
        ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    }
    void TearDown() override {
        core::reset_library_state();
        AdapterTest::TearDown();
    }
    // QEL_ADAPTER_BLOCK_TIMEOUT_MS; long by default, so that a stalled sender ends no block.
    static void set_block_timeout(milliseconds timeout) {
        setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", std::to_string(timeout.count()).c_str(), 1);
    }
};

// A simulator configuration streaming to 127.0.0.1:port, answering resend requests on a free
// port of 127.0.0.1.
inline camsim::Config stream_to(uint16_t port) {
    camsim::Config c;
    c.dest_port = port;
    c.control_address = "127.0.0.1";
    c.control_port = camsim::free_loopback_port();
    return c;
}

// Whether `block` holds exactly what the simulator's frame with its block id carried.
inline ::testing::AssertionResult is_frame(const camsim::Simulator &sim, const qel_block_t &block) {
    const auto frame = sim.frame_of_block(block.block_id);
    const std::vector<uint8_t> expected =
        frame ? sim.expected_payload(*frame) : std::vector<uint8_t>{};
    if (frame && block.payload_length == expected.size() &&
        block.payload_type == camsim::payload_type_code(sim.config().payload) &&
        std::memcmp(block.data, expected.data(), expected.size()) == 0) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "block " << block.block_id << " is not its frame";
}

}  // namespace qel::test
