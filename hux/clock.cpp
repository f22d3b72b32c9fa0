// The clocks: the monotonic counter as seconds plus micro- or nanoseconds since its origin.
#include <time.h>

#include "hux.h"
#include "hux/clock_convert.h"

namespace qel::hux {

namespace {

// CLOCK_MONOTONIC counts nanoseconds: the counter runs at 1 GHz.
constexpr uint64_t kCounterFrequency = kNsPerSecond;

struct ClockState {
    uint64_t frequency = 0;
    bool counter_available = false;
};

ClockState probe_counter() {
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) return ClockState{0, false};
    return ClockState{kCounterFrequency, true};
}

// Each clock probes the counter on its first call. A function-local static makes concurrent
// first calls wait for the one that probes, so no thread reads a half-set state.
const ClockState &gettimeofday_state() {
    static const ClockState state = probe_counter();
    return state;
}
const ClockState &clock_gettime_state() {
    static const ClockState state = probe_counter();
    return state;
}

bool read_counter(uint64_t *count) {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
    *count = static_cast<uint64_t>(now.tv_sec) * kNsPerSecond + static_cast<uint64_t>(now.tv_nsec);
    return true;
}

bool read_host_time(uint64_t *t) {
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return false;
    *t = realtime_to_100ns_since_1601(static_cast<uint64_t>(now.tv_sec),
                                      static_cast<uint64_t>(now.tv_nsec));
    return true;
}

}  // namespace

}  // namespace qel::hux

using namespace qel::hux;

extern "C" {

QEL_EXPORT void hux_cycles_counter_init(void) {}

QEL_EXPORT int hux_gettimeofday(hux_timeval *tv) {
    const ClockState &state = gettimeofday_state();
    if (tv == nullptr) return -1;
    uint64_t t = 0;
    if (state.counter_available) {
        uint64_t count = 0;
        if (!read_counter(&count)) return -1;
        t = ticks_to_100ns(count, state.frequency);
    } else if (!read_host_time(&t)) {
        return -1;
    }
    *tv = timeval_from_100ns(t);
    return 0;
}

QEL_EXPORT int hux_clock_gettime(int /*clock_id: every id reads the one counter*/,
                                 hux_timespec *ts) {
    const ClockState &state = clock_gettime_state();
    if (!state.counter_available || ts == nullptr) return -1;
    uint64_t count = 0;
    if (!read_counter(&count)) return -1;
    *ts = timespec_from_ticks(count, state.frequency);
    return 0;
}

}  // extern "C"
