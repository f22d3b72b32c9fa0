#include "e2e_fixture.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "adapter/endpoint.h"
#include "adapter/software_adapter.h"
#include "core/state.h"

namespace qel::test {

int Receiver::open(uint16_t port, uint32_t flags) {
    return qel_open_stream(&kLoopback, port, &stream_, flags, &handle_);
}

int Receiver::open_multicast(uint32_t group, uint16_t port, uint32_t flags) {
    return qel_open_mcast_stream(&kLoopback, &group, port, &stream_, flags, &handle_);
}

int Receiver::open_pr(uint16_t port, uint32_t flags, uint16_t camera_port, uint16_t channel) {
    qel_stream_options_t o{};
    o.flags = flags | QEL_OPEN_ZEROLOSS;
    o.block_timeout = 1000;
    o.max_requests = 50;
    o.order_mode = 2;
    o.camera_addr = kLoopback;
    o.camera_port = camera_port;
    o.channel = channel;
    return qel_open_stream_pr(&kLoopback, port, &stream_, &o, &handle_);
}

int Receiver::queue(size_t size, int count) {
    int first = -1;
    for (int i = 0; i < count; ++i) {
        qel_buffer_t *b = nullptr;
        int rc = qel_alloc(stream_, size, &b);
        if (rc == 0) {
            buffers_.push_back(b);
            rc = qel_queue_buffer(b);
        }
        if (first == -1) first = rc;
    }
    return first;
}

int Receiver::poll(qel_block_t *block, milliseconds limit) {
    const auto end = Clock::now() + limit;
    int rc = QEL_EAGAIN;
    // Each call's wait ends with 138 when nothing came; the caller's limit is what counts.
    while ((rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) && Clock::now() < end) {
        rc = qel_poll_recv(stream_, block, 50);
    }
    return rc;
}

int Receiver::poll_pr(qel_block_t *block, qel_pr_status_t *status, uint16_t req_id_base,
                      milliseconds limit) {
    const auto end = Clock::now() + limit;
    int rc = QEL_EAGAIN;
    while (rc == QEL_EAGAIN && Clock::now() < end) {
        rc = qel_poll_recv_pr(stream_, block, req_id_base, status);
        if (rc == QEL_EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return rc;
}

qel_stats_t Receiver::stats() const {
    qel_stats_t s{};
    EXPECT_EQ(qel_get_stats(stream_, &s), 0);
    return s;
}

uint64_t Receiver::counter(Counter c) const {
    auto endpoint = adapter::attached_endpoint(handle_);
    return endpoint ? endpoint->firmware_counters().get(c) : 0;
}

uint64_t Receiver::counter_at_least(Counter c, uint64_t value) const {
    eventually([&] { return counter(c) >= value; });
    return counter(c);
}

void Receiver::close() {
    if (stream_ == nullptr) return;
    // The close detaches the buffers still queued; every buffer is then released by qel_free.
    std::vector<qel_buffer_t *> queued;
    for (qel_buffer_t *b : buffers_) {
        if (qel_free(b) != 0) queued.push_back(b);
    }
    EXPECT_EQ(qel_close_stream(stream_), 0);
    for (qel_buffer_t *b : queued) EXPECT_EQ(qel_free(b), 0);
    buffers_.clear();
    stream_ = nullptr;
}

void EndToEnd::SetUp() {
    AdapterTest::SetUp();
    unsetenv("QEL_ADAPTER_RESEND_INTERVAL_MS");
    set_block_timeout(milliseconds(5000));
    core::reset_library_state();
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
}

void EndToEnd::TearDown() {
    core::reset_library_state();
    AdapterTest::TearDown();
}

void EndToEnd::set_block_timeout(milliseconds timeout) {
    setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", std::to_string(timeout.count()).c_str(), 1);
}

camsim::Config stream_to(uint16_t port) {
    camsim::Config c;
    c.dest_port = port;
    c.control_address = "127.0.0.1";
    c.control_port = free_port();
    return c;
}

::testing::AssertionResult is_frame(const camsim::Simulator &sim, const qel_block_t &block) {
    const auto frame = sim.frame_of_block(block.block_id);
    if (!frame) {
        return ::testing::AssertionFailure() << "block " << block.block_id << " was never sent";
    }
    const std::vector<uint8_t> expected = sim.expected_payload(*frame);
    if (block.payload_length != expected.size()) {
        return ::testing::AssertionFailure()
               << "block " << block.block_id << " holds " << block.payload_length
               << " bytes, frame " << *frame << " carried " << expected.size();
    }
    if (block.payload_type != camsim::payload_type_code(sim.config().payload)) {
        return ::testing::AssertionFailure()
               << "block " << block.block_id << " has payload type " << block.payload_type;
    }
    if (std::memcmp(block.data, expected.data(), expected.size()) != 0) {
        return ::testing::AssertionFailure()
               << "block " << block.block_id << " differs from frame " << *frame;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace qel::test
