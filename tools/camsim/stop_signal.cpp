#include "camsim/stop_signal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

namespace qel::camsim {

uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

StopSignal::StopSignal() : event_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void StopSignal::request() {
    // Release: whatever the stopping thread did before is seen by a thread that sees the
    // stop; pairs with the acquire load in requested().
    stop_.store(true, std::memory_order_release);
    const uint64_t one = 1;
    if (event_.valid()) {
        [[maybe_unused]] const ssize_t n = write(event_.get(), &one, sizeof one);
    }
}

bool StopSignal::requested() const {
    // Acquire: pairs with the release store in request().
    return stop_.load(std::memory_order_acquire);
}

bool StopSignal::sleep_until(uint64_t deadline_ns) const {
    for (;;) {
        if (requested()) return false;
        const uint64_t now = monotonic_ns();
        if (now >= deadline_ns) return true;
        const uint64_t left = deadline_ns - now;
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000u),
                               static_cast<long>(left % 1'000'000'000u)};
        pollfd wake{event_.get(), POLLIN, 0};
        ppoll(&wake, event_.valid() ? 1 : 0, &timeout, nullptr);
    }
}

}  // namespace qel::camsim
