// What qel-recv shows: the status line of each second, the summary table at the end and the
// same summary as one JSON object.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qel.h"

namespace qel::recv_tool {

// The counters at one moment of a run.
struct Sample {
    double seconds = 0;       // since receiving began
    double cpu_seconds = 0;   // processor time of the process (user and system)
    uint64_t delivered = 0;   // blocks handed to the tool
    uint64_t bytes = 0;       // payload bytes of those blocks
    uint64_t incomplete = 0;  // blocks delivered incomplete
    uint64_t dropped = 0;  // blocks the library dropped (incomplete, no buffer, too large, order)
    uint64_t resend_requests = 0;
};

// Why blocks were not delivered complete. The first four are the results the receive calls
// gave; the rest is what the library dropped without a word to the caller: incomplete blocks
// (and, of those, the ones whose resend series ran out of time or requests) and blocks the
// watchdog gave up.
struct Losses {
    uint64_t no_buffer = 0;   // a block came while no buffer was queued
    uint64_t too_large = 0;   // a block overflowed its buffer
    uint64_t order = 0;       // a block out of order
    uint64_t protocol = 0;    // a firmware status the stream could not pair with its state
    uint64_t incomplete = 0;  // dropped for missing packets
    uint64_t block_timeout = 0;
    uint64_t resend_limit = 0;
    uint64_t watchdog = 0;
};

// The frame check of the demo: every delivered frame compared with what the simulator sent.
struct DemoCheck {
    uint64_t frames_sent = 0;
    uint64_t frames_intact = 0;     // delivered complete and equal to the frame sent
    uint64_t frames_corrupt = 0;    // delivered, but not equal to any frame sent
    uint64_t frames_lost = 0;       // sent, never delivered intact
    uint64_t packets_withheld = 0;  // packets the simulated loss kept back
    uint64_t packets_resent = 0;
};

struct Summary {
    std::string stream;  // "ADDR:PORT" or "GROUP:PORT on ADDR"
    std::string mode;
    uint32_t buffers = 0;
    uint64_t buffer_size = 0;
    Sample last;
    qel_stats_t stats{};
    Losses losses;
    std::optional<DemoCheck> demo;
    std::vector<std::string> saved;  // PNG files written
    std::string save_error;          // why saving stopped, empty when it did not
};

// "  2.0 s  49.9 frames/s  0.123 Gbit/s  delivered 100  incomplete 0  dropped 0  resend
// requests 7  CPU 12.5%": rates over the interval from `before` to `now`.
[[nodiscard]] std::string status_line(const Sample &before, const Sample &now);

// The summary as an aligned table of "name  value" lines.
[[nodiscard]] std::string summary_table(const Summary &summary);

// The summary as one JSON object on one line.
[[nodiscard]] std::string summary_json(const Summary &summary);

}  // namespace qel::recv_tool
