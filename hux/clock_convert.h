// Counter readings to seconds and fractions. Kept apart from the clock reads so that the
// arithmetic can be checked with counter values of any uptime.
#pragma once

#include <cstdint>

#include "hux.h"

namespace qel::hux {

constexpr uint64_t kHundredNsPerSecond = 10'000'000;
constexpr uint64_t kNsPerSecond = 1'000'000'000;

// `count` ticks of a counter running at `frequency` ticks per second, in 100-ns units,
// rounded down. count * 10^7 would overflow 64 bits after half an hour of a 1 GHz counter, so
// whole seconds and the remainder are scaled apart; the sum is the exact quotient. Exact for
// frequencies from 1 Hz (counts below 1.8e12) up to 1.8e12 Hz (any count).
constexpr uint64_t ticks_to_100ns(uint64_t count, uint64_t frequency) {
    return count / frequency * kHundredNsPerSecond +
           count % frequency * kHundredNsPerSecond / frequency;
}

// 100-ns units to seconds (the low 32 bits) and microseconds.
constexpr hux_timeval timeval_from_100ns(uint64_t t) {
    return hux_timeval{static_cast<int32_t>(static_cast<uint32_t>(t / kHundredNsPerSecond)),
                       static_cast<int32_t>(t % kHundredNsPerSecond / 10)};
}

// `count` ticks to seconds (the low 32 bits) and nanoseconds. The remainder is below
// `frequency`, so its product with 10^9 fits 64 bits for any frequency below 18 GHz.
constexpr hux_timespec timespec_from_ticks(uint64_t count, uint64_t frequency) {
    return hux_timespec{static_cast<int32_t>(static_cast<uint32_t>(count / frequency)),
                        static_cast<int32_t>(count % frequency * kNsPerSecond / frequency)};
}

// A real-time reading (seconds and nanoseconds since 1970) as 100-ns units since 1601, the
// host time used when no monotonic counter exists.
constexpr uint64_t kSeconds1601To1970 = 11'644'473'600;
constexpr uint64_t realtime_to_100ns_since_1601(uint64_t seconds, uint64_t nanoseconds) {
    return (seconds + kSeconds1601To1970) * kHundredNsPerSecond + nanoseconds / 100;
}

}  // namespace qel::hux
