// What the end-to-end tests share: the library on the software adapter's loopback board,
// streams with their buffers, and checks of received blocks against the simulator's frames.
#pragma once

#include <arpa/inet.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "adapter/firmware_counters.h"
#include "camsim/camsim.h"
#include "qel.h"
#include "stream/stream.h"
#include "support/adapter_env.h"

namespace qel::test {

using adapter::Counter;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline const uint32_t kLoopback = inet_addr("127.0.0.1");

// One stream of the library and the buffers allocated for it.
class Receiver {
public:
    Receiver() = default;
    ~Receiver() { close(); }
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    int open(uint16_t port, uint32_t flags);
    int open_multicast(uint32_t group, uint16_t port, uint32_t flags);
    // A zero-loss stream that asks 127.0.0.1:camera_port for lost packets.
    int open_pr(uint16_t port, uint32_t flags, uint16_t camera_port, uint16_t channel = 0);
    // Allocates and queues `count` buffers of `size` bytes; the first queue's code.
    int queue(size_t size, int count);

    // qel_poll_recv (or _pr) until it answers other than 11 (or 138), for at most `limit`.
    int poll(qel_block_t *block, milliseconds limit = milliseconds(2000));
    int poll_pr(qel_block_t *block, qel_pr_status_t *status, uint16_t req_id_base,
                milliseconds limit = milliseconds(2000));

    qel_stats_t stats() const;
    uint64_t counter(Counter c) const;
    // The firmware's counter once it has reached `value` (it counts just after the host can
    // see what it counted), or as it is after two seconds.
    uint64_t counter_at_least(Counter c, uint64_t value) const;

    // Frees the buffers, closes the stream. Safe to call more than once.
    void close();

    qel_stream_t *stream() const { return stream_; }
    size_t buffers() const { return buffers_.size(); }

private:
    qel_stream_t *stream_ = nullptr;
    hux_handle_t handle_ = HUX_INVALID_HANDLE;
    std::vector<qel_buffer_t *> buffers_;
};

class EndToEnd : public AdapterTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // QEL_ADAPTER_BLOCK_TIMEOUT_MS; long by default, so that a stalled sender ends no block.
    static void set_block_timeout(milliseconds timeout);
};

// A simulator configuration streaming to 127.0.0.1:port, answering resend requests on a free
// port of 127.0.0.1.
camsim::Config stream_to(uint16_t port);

// Whether `block` holds exactly what the simulator's frame with its block id carried.
::testing::AssertionResult is_frame(const camsim::Simulator &sim, const qel_block_t &block);

// Waits until `done()` holds, for at most `limit`; its last answer.
template <typename Done>
bool eventually(Done done, milliseconds limit = milliseconds(2000)) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

}  // namespace qel::test
