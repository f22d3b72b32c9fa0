// A stream on the software adapter's loopback board, its buffers, and the firmware's counters,
// for tests that send real GVSP datagrams to the library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "adapter/driver/endpoint.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/driver/software_adapter.h"
#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"
#include "camsim/camsim.h"
#include "support/adapter_env.h"

namespace qel::test {

using adapter::Counter;

// A UDP socket of its own (its own source port, from `from` when given) sending to a port of
// 127.0.0.1.
class Sender {
public:
    explicit Sender(uint16_t to, const char *from = nullptr)
        : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(to);
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (from != nullptr) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = inet_addr(from);
            EXPECT_EQ(bind(fd_, reinterpret_cast<const sockaddr *>(&local), sizeof local), 0);
        }
    }
    ~Sender() { ::close(fd_); }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;
    void send(const std::vector<uint8_t> &d) const {
        sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
    }

private:
    int fd_;
    sockaddr_in to_{};
};

class LibraryReceive : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        unsetenv("QEL_ADAPTER_RESEND_INTERVAL_MS");
        // A sender stalled on a loaded machine must not see its blocks time out; tests of the
        // timeout set their own.
        setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "5000", 1);
        core::reset_library_state();
        ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
        port_ = camsim::free_loopback_port();
    }
    void TearDown() override {
        close();
        core::reset_library_state();
        AdapterTest::TearDown();
    }

    void open(uint32_t flags) {
        ASSERT_EQ(qel_open_stream(&loopback_, port_, &stream_, flags, &handle_), 0);
    }
    void open_pr(uint32_t flags, uint16_t camera_port) {
        qel_stream_options_t o{};
        o.flags = flags | QEL_OPEN_ZEROLOSS;
        o.block_timeout = 1000;
        o.max_requests = 50;
        o.order_mode = 2;
        o.camera_addr = loopback_;
        o.camera_port = camera_port;
        ASSERT_EQ(qel_open_stream_pr(&loopback_, port_, &stream_, &o, &handle_), 0);
    }
    qel_buffer_t *queue(size_t size) {
        qel_buffer_t *b = nullptr;
        EXPECT_EQ(qel_alloc(stream_, size, &b), 0);
        EXPECT_EQ(qel_queue_buffer(b), 0);
        buffers_.push_back(b);
        return b;
    }
    // Frees the buffers the application holds, closes the stream, then frees the buffers
    // that were queued (the close detached them).
    void close() {
        if (stream_ == nullptr) return;
        std::vector<qel_buffer_t *> queued;
        for (qel_buffer_t *b : buffers_) {
            if (b->queued) {
                queued.push_back(b);
            } else {
                EXPECT_EQ(qel_free(b), 0);
            }
        }
        EXPECT_EQ(qel_close_stream(stream_), 0);
        for (qel_buffer_t *b : queued) EXPECT_EQ(qel_free(b), 0);
        buffers_.clear();
        stream_ = nullptr;
    }
    uint64_t counter(Counter c) {
        auto endpoint = adapter::attached_endpoint(handle_);
        return endpoint ? endpoint->firmware_counters().get(c) : 0;
    }
    // The counter once it has reached `value` (the firmware counts a block just after the
    // host can see it), or as it is after a second.
    uint64_t counter_at_least(Counter c, uint64_t value) {
        for (int i = 0; i < 1000 && counter(c) < value; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return counter(c);
    }
    // qel_poll_recv (or _pr when `status` is given) until it answers something other than 11
    // (a leader alone answers 11), for at most two seconds.
    int poll(qel_block_t *block) { return poll_pr(block, nullptr, false); }
    int poll_pr(qel_block_t *block, qel_pr_status_t *status, bool pr = true) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        int rc = QEL_EAGAIN;
        while (rc == QEL_EAGAIN && std::chrono::steady_clock::now() < end) {
            rc = pr ? qel_poll_recv_pr(stream_, block, 100, status)
                    : qel_poll_recv(stream_, block, 100);
            if (rc == QEL_EAGAIN) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return rc;
    }

    uint32_t loopback_ = inet_addr("127.0.0.1");
    uint16_t port_ = 0;
    qel_stream_t *stream_ = nullptr;
    hux_handle_t handle_ = HUX_INVALID_HANDLE;
    std::vector<qel_buffer_t *> buffers_;
};

}  // namespace qel::test
