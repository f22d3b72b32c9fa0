// What the receive worker tests share: a stream on the scripted adapter with buffers, waits
// for conditions with deadlines, looks at the shared ring's progress and the worker ring from
// the test's thread, and a UDP socket standing for the camera.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/camera_socket.h"
#include "support/receive_fixture.h"
#include "worker/plix_ring.h"
#include "worker/recv_worker.h"
#include "worker/ring_registry.h"

namespace qel::worker {

using namespace std::chrono_literals;

// Waits until `condition` holds, looking every millisecond; false when `limit` passes first.
// The limits are wide: a loaded machine may keep the worker off the processor for a while.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Runs `call` on another thread and waits at most 10 s for it to return. A call that does not
// return would hang the test (and its teardown) for good, so the process ends at once instead,
// failed.
template <class Call>
void must_return(Call call, const char *what) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> returned = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    if (returned.wait_for(10s) != std::future_status::ready) {
        std::fprintf(stderr, "%s did not return within 10 s\n", what);
        std::abort();
    }
}

using test::Camera;

// Fields of a resend request.
inline uint16_t request_id(const std::vector<uint8_t> &r) {
    return static_cast<uint16_t>(r[6] << 8 | r[7]);
}
inline uint32_t request_first(const std::vector<uint8_t> &r) {
    return recv::be32(r.data() + 12);
}
inline uint16_t request_block(const std::vector<uint8_t> &r) {
    return static_cast<uint16_t>(r[10] << 8 | r[11]);
}

class WorkerTest : public test::ReceiveTest {
protected:
    void TearDown() override {
        if (stream_ != nullptr) {
            EXPECT_EQ(qel_destroy_recv_worker(stream_), 0);
        }
        ReceiveTest::TearDown();
        test_hooks::set_thread_starter(nullptr);
        test_hooks::set_ring_slots(0);
        EXPECT_EQ(ring_registry.head, nullptr) << "a worker ring was left behind";
    }

    // A zero-loss stream whose requests go to camera_.
    void open_zero_loss(uint32_t max_requests, uint32_t block_timeout = 0) {
        qel_stream_options_t o{};
        o.flags = QEL_OPEN_ZEROLOSS;
        o.max_requests = max_requests;
        o.block_timeout = block_timeout;
        o.order_mode = 2;
        o.camera_addr = loopback_;
        o.camera_port = camera_.port();
        open_with(0, &o);
    }

    // Descriptors of a block.
    void post_leader(uint64_t id) { post(test::image_leader(id, 0x01080001, 64, 48)); }
    void post_status(uint64_t id, uint8_t status, uint32_t packet = 0) {
        post(test::trailer(id, 1, 3072, status, packet));
    }
    void post_block(uint64_t id, uint8_t status = 0) {
        post_leader(id);
        post_status(id, status);
    }

    // Descriptors consumed from the shared ring, as the progress page says.
    uint32_t consumed() {
        auto *word =
            reinterpret_cast<uint32_t *>(regions().base[5] + recv::progress_page::kConsumed);
        // Acquire pairs with the consumer's release store of the count.
        return std::atomic_ref<uint32_t>(*word).load(std::memory_order_acquire);
    }
    // Waits until `count` descriptors have been consumed.
    bool consumed_reaches(uint32_t count) {
        return eventually([&] { return consumed() >= count; });
    }
    // Copies waiting in the worker ring.
    uint32_t in_worker_ring() {
        plix_ring *ring = stream_->worker_ring;
        return ring->prod.load(std::memory_order_acquire) -
               ring->cons.load(std::memory_order_acquire);
    }

    // Polls until a call gives something other than 11 or 10 s pass (then 11).
    int poll_block(qel_block_t &block) {
        int rc = QEL_EAGAIN;
        eventually([&] { return (rc = qel_poll_recv(stream_, &block, 0)) != QEL_EAGAIN; });
        return rc;
    }

    // The queue list, head first. Only while the worker cannot touch it (unblocked, stopped,
    // or gone).
    std::vector<qel_buffer_t *> queue_list() {
        std::vector<qel_buffer_t *> list;
        for (qel_buffer_t *b = stream_->queue_head; b != nullptr; b = b->next) list.push_back(b);
        return list;
    }
    // Driver indices of the buffers queued since the commands were last cleared.
    std::vector<uint32_t> queued_indices() {
        std::vector<uint32_t> indices;
        for (const auto &c : adapter_.commands_with(driver::TREL_QUEUE_BUF)) {
            indices.push_back(c.as<driver::QueueRecord>().index);
        }
        return indices;
    }

    qel_recv_worker_status_t status() {
        qel_recv_worker_status_t s{};
        EXPECT_EQ(qel_get_status_recv_worker(stream_, &s), 0);
        return s;
    }

    qel_stats_t stats() {
        qel_stats_t s{};
        EXPECT_EQ(qel_get_stats(stream_, &s), 0);
        return s;
    }

    Camera camera_;
};

}  // namespace qel::worker
