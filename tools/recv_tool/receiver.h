// One stream received through the library: open, buffers, the receive loop of each mode, and
// the counters the reports show. Every failure is a one-line reason for the user.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "qel.h"
#include "recv_tool/options.h"
#include "recv_tool/report.h"

namespace qel::recv_tool {

// One block handed to the tool.
struct Delivery {
    const qel_block_t *block = nullptr;
    uint64_t sequence = 0;  // 1 for the first block delivered
    bool complete = true;
    uint32_t resend_count = 0;  // requests sent for this block (resend mode)
};

class Receiver {
public:
    explicit Receiver(const Options &options);
    ~Receiver();
    Receiver(const Receiver &) = delete;
    Receiver &operator=(const Receiver &) = delete;

    // Opens the stream and, when the buffer size is given, queues the buffers. Empty on
    // success, else the reason.
    [[nodiscard]] std::string open();

    // Receives until a limit of the options is met, `stop` returns true (asked about every
    // pass), or an error. `on_block` sees every delivered block before its buffer is queued
    // again; `on_second` gets a sample about once a second. Empty on success.
    [[nodiscard]] std::string run(const std::function<void(const Delivery &)> &on_block,
                                  const std::function<void(const Sample &)> &on_second,
                                  const std::function<bool()> &stop);

    [[nodiscard]] Sample sample() const;
    [[nodiscard]] qel_stats_t stats() const;
    // Every block not delivered complete, by cause.
    [[nodiscard]] Losses losses() const;
    [[nodiscard]] uint64_t buffer_size() const { return buffer_size_; }
    [[nodiscard]] std::string stream_name() const;
    [[nodiscard]] qel_stream_t *stream() const { return stream_; }

private:
    [[nodiscard]] std::string receive_all(const std::function<void(const Delivery &)> &on_block,
                                          const std::function<void(const Sample &)> &on_second,
                                          const std::function<bool()> &stop);
    [[nodiscard]] std::string queue_buffers(uint32_t count, uint64_t size);
    // One call of the mode's receive function: its result, with the block in block_.
    int receive_once(Delivery &delivery);
    // Queues a buffer whose block has been used again; a probe buffer is replaced by one of
    // the size the first block gave. Empty on success.
    [[nodiscard]] std::string give_back(qel_buffer_t *buffer);

    Options options_;
    qel_stream_t *stream_ = nullptr;
    std::vector<qel_buffer_t *> buffers_;
    std::vector<qel_buffer_t *> probes_;  // buffers of the probe size still in use
    uint64_t buffer_size_ = 0;
    qel_block_t block_{};
    uint64_t delivered_ = 0;
    uint64_t bytes_ = 0;
    uint64_t blocks_seen_ = 0;  // delivered or dropped: gives each block's request ids
    Losses returned_;           // the losses the receive calls reported by their result
    std::chrono::steady_clock::time_point start_{};
    // When run returned: later samples measure the run up to there.
    struct End {
        std::chrono::steady_clock::time_point time;
        double cpu_seconds = 0;
    };
    std::optional<End> ended_;
    double cpu_at_start_ = 0;
};

// Processor time of this process so far, in seconds.
[[nodiscard]] double process_cpu_seconds();

}  // namespace qel::recv_tool
