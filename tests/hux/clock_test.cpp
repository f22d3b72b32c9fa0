// The clocks: the tick conversion at any uptime, and the readings of the monotonic clock.
#include <time.h>

#include <gtest/gtest.h>

#include <cstdint>

#include "hux.h"
#include "hux/clock_convert.h"

namespace qel::test {
namespace {

using u128 = unsigned __int128;

// The exact values, computed in 128 bits.
uint64_t exact_100ns(uint64_t count, uint64_t frequency) {
    return static_cast<uint64_t>(static_cast<u128>(count) * 10'000'000 / frequency);
}
uint64_t exact_ns_fraction(uint64_t count, uint64_t frequency) {
    return static_cast<uint64_t>(static_cast<u128>(count % frequency) * 1'000'000'000 / frequency);
}

struct TicksCase {
    uint64_t count;
    uint64_t frequency;
};
void PrintTo(const TicksCase &c, std::ostream *os) {
    *os << c.count << " ticks at " << c.frequency << " Hz";
}

class TickConversion : public ::testing::TestWithParam<TicksCase> {};

TEST_P(TickConversion, IsExactWithoutOverflow) {
    const auto [count, frequency] = GetParam();
    const uint64_t t = hux::ticks_to_100ns(count, frequency);
    EXPECT_EQ(t, exact_100ns(count, frequency));

    const hux_timeval tv = hux::timeval_from_100ns(t);
    EXPECT_EQ(static_cast<uint32_t>(tv.tv_sec), static_cast<uint32_t>(t / 10'000'000));
    EXPECT_GE(tv.tv_usec, 0);
    EXPECT_LT(tv.tv_usec, 1'000'000);
    EXPECT_EQ(static_cast<uint64_t>(tv.tv_usec), t % 10'000'000 / 10);

    const hux_timespec ts = hux::timespec_from_ticks(count, frequency);
    EXPECT_EQ(static_cast<uint32_t>(ts.tv_sec), static_cast<uint32_t>(count / frequency));
    EXPECT_GE(ts.tv_nsec, 0);
    EXPECT_LT(ts.tv_nsec, 1'000'000'000);
    EXPECT_EQ(static_cast<uint64_t>(ts.tv_nsec), exact_ns_fraction(count, frequency));
}

constexpr uint64_t kGHz = 1'000'000'000;
constexpr uint64_t kDayNs = 86'400 * kGHz;

INSTANTIATE_TEST_SUITE_P(
    Uptimes, TickConversion,
    ::testing::Values(TicksCase{0, kGHz}, TicksCase{kGHz - 1, kGHz},
                      // Past half an hour, count * 10^7 no longer fits 64 bits.
                      TicksCase{1'845'000'000'000, kGHz}, TicksCase{kDayNs + 123'456'789, kGHz},
                      TicksCase{400 * kDayNs + 999'999'999, kGHz}, TicksCase{UINT64_MAX, kGHz},
                      // Counters of other rates: the ACPI timer, 10 MHz, a 2.4 GHz TSC.
                      TicksCase{3'579'545ull * 86'400 * 3 + 1'234'567, 3'579'545},
                      TicksCase{UINT64_MAX - 1, 10'000'000},
                      TicksCase{2'400'000'000ull * 90 * 86'400 + 2'399'999'999, 2'400'000'000}));

TEST(TickConversion, OneDayOfUptimeGivesItsSeconds) {
    const hux_timeval tv = hux::timeval_from_100ns(hux::ticks_to_100ns(kDayNs + 500'000'000, kGHz));
    EXPECT_EQ(tv.tv_sec, 86'400);
    EXPECT_EQ(tv.tv_usec, 500'000);
}

TEST(TickConversion, SecondsKeepTheirLow32Bits) {
    const uint64_t count = ((uint64_t{1} << 32) + 5) * kGHz + 7;
    EXPECT_EQ(hux::timespec_from_ticks(count, kGHz).tv_sec, 5);
    EXPECT_EQ(hux::timespec_from_ticks(count, kGHz).tv_nsec, 7);
    EXPECT_EQ(hux::timeval_from_100ns(hux::ticks_to_100ns(count, kGHz)).tv_sec, 5);
}

TEST(TickConversion, HostTimeCountsFrom1601) {
    // 1 January 1970 is 11,644,473,600 s after 1 January 1601.
    EXPECT_EQ(hux::realtime_to_100ns_since_1601(0, 0), 116'444'736'000'000'000u);
    EXPECT_EQ(hux::realtime_to_100ns_since_1601(1, 999), 116'444'736'010'000'009u);
}

int64_t ns_of(const hux_timespec &ts) {
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

TEST(ClockGettime, EveryClockIdReadsTheMonotonicClock) {
    hux_timespec a{}, b{}, c{};
    const int64_t before = monotonic_ns();
    ASSERT_EQ(hux_clock_gettime(0, &a), 0);
    ASSERT_EQ(hux_clock_gettime(1, &b), 0);
    ASSERT_EQ(hux_clock_gettime(0, &c), 0);
    const int64_t after = monotonic_ns();
    // Interleaved readings of ids 0 and 1 stay in order and within the host clock's readings.
    EXPECT_LE(before, ns_of(a));
    EXPECT_LE(ns_of(a), ns_of(b));
    EXPECT_LE(ns_of(b), ns_of(c));
    EXPECT_LE(ns_of(c), after);
}

TEST(ClockGettime, ReadingsNeverDecreaseAndStayInRange) {
    hux_timespec previous{};
    hux_timeval previous_tv{};
    ASSERT_EQ(hux_clock_gettime(0, &previous), 0);
    ASSERT_EQ(hux_gettimeofday(&previous_tv), 0);
    for (int i = 0; i < 20'000; ++i) {
        hux_timespec ts{};
        hux_timeval tv{};
        ASSERT_EQ(hux_clock_gettime(i & 1, &ts), 0);
        ASSERT_EQ(hux_gettimeofday(&tv), 0);
        ASSERT_GE(ts.tv_nsec, 0);
        ASSERT_LT(ts.tv_nsec, 1'000'000'000);
        ASSERT_GE(tv.tv_usec, 0);
        ASSERT_LT(tv.tv_usec, 1'000'000);
        ASSERT_GE(ns_of(ts), ns_of(previous));
        ASSERT_GE(int64_t{tv.tv_sec} * 1'000'000 + tv.tv_usec,
                  int64_t{previous_tv.tv_sec} * 1'000'000 + previous_tv.tv_usec);
        previous = ts;
        previous_tv = tv;
    }
}

TEST(Gettimeofday, ReadsTheMonotonicClockInMicroseconds) {
    hux_timeval tv{};
    const int64_t before = monotonic_ns() / 1000;
    ASSERT_EQ(hux_gettimeofday(&tv), 0);
    const int64_t after = monotonic_ns() / 1000;
    const int64_t us = int64_t{tv.tv_sec} * 1'000'000 + tv.tv_usec;
    EXPECT_LE(before, us);
    EXPECT_LE(us, after);
}

TEST(Clocks, NullRecordsAreRefused) {
    EXPECT_EQ(hux_gettimeofday(nullptr), -1);
    EXPECT_EQ(hux_clock_gettime(0, nullptr), -1);
    hux_cycles_counter_init();
}

}  // namespace
}  // namespace qel::test
