// The descriptor ring: tags, read offset, progress page and doorbell; host time through the
// clock page.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/receive_fixture.h"

using namespace qel::recv;

namespace {

using DescriptorTest = qel::test::ReceiveTest;

// Tags cycle 1..15 across the ring's wrap; the doorbell gets the count every 16 descriptors.
TEST_F(DescriptorTest, TagsWrapAndTheDoorbellRingsEverySixteenth) {
    const uint32_t slots = regions().length[0] / kDescriptorBytes;
    uint8_t *bell = regions().base[2];
    std::vector<uint32_t> rung_at;
    DescriptorResult result;
    for (uint32_t i = 0; i < slots + 20; ++i) {
        std::memset(bell, 0xEE, 8);
        post(qel::test::leader(i + 1, 1));
        EXPECT_EQ(stream_->cursor.read_ptr[63] & 0x0F, i % 15 + 1) << i;
        ASSERT_EQ(next_descriptor(stream_, 0, result), QEL_EAGAIN) << "a leader reports nothing";
        EXPECT_EQ(progress_word(progress_page::kConsumed), i + 1);
        EXPECT_EQ(progress_word(progress_page::kReadOffset), ((i + 1) % slots) * kDescriptorBytes);
        if (bell[0] != 0xEE) {
            rung_at.push_back(i + 1);
            const uint32_t n = i + 1;
            const uint8_t expected[8] = {static_cast<uint8_t>(n >> 24),
                                         static_cast<uint8_t>(n >> 16),
                                         static_cast<uint8_t>(n >> 8),
                                         static_cast<uint8_t>(n),
                                         0,
                                         0,
                                         0,
                                         0};
            EXPECT_EQ(std::memcmp(bell, expected, 8), 0) << n;
        }
    }
    ASSERT_GE(rung_at.size(), 3u);
    for (size_t k = 0; k < rung_at.size(); ++k) EXPECT_EQ(rung_at[k], 16 * k + 1);
}

// A trailer's tick count becomes host time through the clock page; a trailer without time, or
// a page without divisor, gives 0 (and no division by zero).
TEST_F(DescriptorTest, HostTimeThroughTheClockPage) {
    struct Case {
        uint64_t ticks;  // 0: the trailer carries no time
        uint32_t divisor;
        uint64_t host_time;
    };
    uint8_t *page = regions().base[4];
    auto put = [&](size_t at, auto v) { std::memcpy(page + at, &v, sizeof v); };
    put(clock_page::kBaseTicks, uint64_t{1000});
    put(clock_page::kBaseTime, uint64_t{5000000});
    put(clock_page::kMultiplier, uint32_t{3});
    put(clock_page::kSequence, uint32_t{2});
    const uint64_t ticks = 0x0001000003E8ull;  // high part 1, low part 1000
    uint64_t id = 0;
    for (const Case &c :
         {Case{ticks, 2, 5000000 + (ticks - 1000) * 3 / 2}, Case{0, 2, 0}, Case{ticks, 0, 0}}) {
        SCOPED_TRACE(c.divisor);
        put(clock_page::kDivisor, c.divisor);
        qel::test::Descriptor t = qel::test::trailer(++id, 1, 10);
        if (c.ticks != 0) qel::test::set_ticks(t, c.ticks);
        stream_->block.host_time = 77;
        post(t);
        DescriptorResult result;
        ASSERT_EQ(next_descriptor(stream_, 0, result), 0);
        EXPECT_EQ(stream_->block.host_time, c.host_time);
    }
}

// While the sequence word is odd the parameters are being written: the conversion waits for the
// even word and uses only what was written under it.
TEST_F(DescriptorTest, ClockPageBeingWrittenIsWaitedOut) {
    uint8_t *page = regions().base[4];
    std::atomic_ref<uint32_t> seq(*reinterpret_cast<uint32_t *>(page + clock_page::kSequence));
    auto store = [&](size_t at, auto v) {
        std::atomic_ref<decltype(v)>(*reinterpret_cast<decltype(v) *>(page + at))
            .store(v, std::memory_order_relaxed);
    };
    store(clock_page::kMultiplier, uint32_t{1});
    store(clock_page::kDivisor, uint32_t{1});
    store(clock_page::kBaseTime, uint64_t{111});
    seq.store(1, std::memory_order_release);  // odd: being written
    std::atomic<uint64_t> time{0};
    std::thread reader([&] { time = host_time_of(page, 5); });
    store(clock_page::kBaseTime, uint64_t{1000000});
    store(clock_page::kBaseTicks, uint64_t{0});
    seq.store(2, std::memory_order_release);
    reader.join();
    EXPECT_EQ(time.load(), 1000005u) << "the half-written base time is never used";
}

}  // namespace
