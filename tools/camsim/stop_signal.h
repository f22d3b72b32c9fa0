// Tells the simulator's threads to stop, and lets them sleep until a time or the stop,
// whichever comes first. An eventfd that becomes readable on stop wakes every poller at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "camsim/udp.h"

namespace qel::camsim {

// CLOCK_MONOTONIC in nanoseconds.
[[nodiscard]] uint64_t monotonic_ns();

class StopSignal {
public:
    StopSignal();

    [[nodiscard]] bool valid() const { return event_.valid(); }
    [[nodiscard]] int fd() const { return event_.get(); }
    void request();
    [[nodiscard]] bool requested() const;
    // Sleeps until the monotonic clock reaches `deadline_ns`; false when stop was requested.
    bool sleep_until(uint64_t deadline_ns) const;

private:
    std::atomic<bool> stop_{false};
    Fd event_;
};

}  // namespace qel::camsim
