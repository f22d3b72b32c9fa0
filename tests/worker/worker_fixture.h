// What the worker tests share: rings that free themselves and a registry check (RingTest), and
// a stream on the scripted adapter with a UDP socket standing for the camera (WorkerTest).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/camera_socket.h"
#include "support/receive_fixture.h"
#include "worker/plix_ring.h"
#include "worker/recv_worker.h"
#include "worker/ring_memory.h"
#include "worker/ring_registry.h"

namespace qel::worker {

using namespace std::chrono_literals;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

struct FreeRing {
    void operator()(plix_ring *ring) const noexcept { plix_ring_free(ring); }
};
using RingPtr = std::unique_ptr<plix_ring, FreeRing>;

template <class Call>
std::string stderr_of(Call &&call) {
    CaptureStderr();
    call();
    return GetCapturedStderr();
}
inline RingPtr quiet_ring(uint32_t count) {
    RingPtr ring;
    stderr_of([&] { ring.reset(plix_ring_create(count)); });
    return ring;
}
inline void *element(uintptr_t value) {
    return reinterpret_cast<void *>(value);
}

class RingTest : public testing::Test {
protected:
    void TearDown() override {
        test_hooks::fail_allocation(0);
        EXPECT_EQ(ring_registry.head, nullptr) << "a registry entry was left behind";
        EXPECT_EQ(ring_registry.tail, nullptr);
        EXPECT_EQ(ring_registry.count, 0u);
    }
};

// Waits (wide limit: a loaded machine may keep the worker off the processor) until `condition`
// holds; false when the limit passes first.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return condition();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Runs `call` on another thread; a call that hangs would hang the teardown too, so the process
// ends at once, failed, after 10 s.
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

inline uint16_t request_id(const std::vector<uint8_t> &r) {
    return static_cast<uint16_t>(r[6] << 8 | r[7]);
}

class WorkerTest : public test::ReceiveTest {
protected:
    void TearDown() override {
        EXPECT_EQ(stream_ != nullptr ? qel_destroy_recv_worker(stream_) : 0, 0);
        ReceiveTest::TearDown();
        test_hooks::set_thread_starter(nullptr);
        test_hooks::set_ring_slots(0);
        test_hooks::fail_allocation(0);
        EXPECT_EQ(ring_registry.head, nullptr) << "a worker ring was left behind";
    }
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
    void post_leader(uint64_t id) { post(test::image_leader(id, 0x01080001, 64, 48)); }
    void post_status(uint64_t id, uint8_t status, uint32_t packet = 0) {
        post(test::trailer(id, 1, 3072, status, packet));
    }
    void post_block(uint64_t id, uint8_t status = 0) {
        post_leader(id);
        post_status(id, status);
    }
    uint32_t consumed() {
        auto *word =
            reinterpret_cast<uint32_t *>(regions().base[5] + recv::progress_page::kConsumed);
        // Acquire pairs with the consumer's release store of the count.
        return std::atomic_ref<uint32_t>(*word).load(std::memory_order_acquire);
    }
    bool consumed_reaches(uint32_t count) {
        return eventually([&] { return consumed() >= count; });
    }
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
    // Only while the worker cannot touch the queue list (blocked, stopped or gone).
    std::vector<qel_buffer_t *> queue_list() {
        std::vector<qel_buffer_t *> list;
        for (qel_buffer_t *b = stream_->queue_head; b != nullptr; b = b->next) list.push_back(b);
        return list;
    }
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

    test::Camera camera_;
};

}  // namespace qel::worker
