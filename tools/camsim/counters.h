// The simulator's counters as the threads update them. The sender and the resend listener each
// own a cache line of counters; send errors may come from either. Every counter is statistics
// only: relaxed updates, no ordering with anything else.
#pragma once

#include <atomic>
#include <cstdint>

#include "camsim/camsim.h"

namespace qel::camsim {

using Counter = std::atomic<uint64_t>;

inline void add(Counter &counter, uint64_t n) {
    if (n != 0) counter.fetch_add(n, std::memory_order_relaxed);
}

struct alignas(64) SenderCounters {
    Counter frames{0};
    Counter packets{0};
    Counter bytes{0};
    Counter withheld{0};
    Counter duplicated{0};
    Counter reordered{0};
};

struct alignas(64) ResendCounters {
    Counter requests{0};
    Counter packets{0};
    Counter bytes{0};
    Counter error_packets{0};
    Counter ignored{0};
    Counter malformed{0};
};

struct SharedCounters {
    SenderCounters sender;
    ResendCounters resend;
    alignas(64) Counter send_errors{0};

    [[nodiscard]] Counters snapshot() const;
};

}  // namespace qel::camsim
