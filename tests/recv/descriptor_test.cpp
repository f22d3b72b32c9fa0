// The descriptor ring: tags, read offset, progress page, doorbell, waiting, conversion.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/receive_fixture.h"

using namespace qel::driver;
using namespace qel::recv;
using qel::test::Descriptor;

namespace {

class DescriptorTest : public qel::test::ReceiveTest {
protected:
    int next(int32_t timeout = 0) { return next_descriptor(stream_, timeout, result_); }
    DescriptorResult result_;
};

TEST_F(DescriptorTest, NothingPostedWithoutTimeoutEntersNoDriver) {
    EXPECT_EQ(next(0), QEL_EAGAIN);
    EXPECT_EQ(adapter_.command_count(), 0u);
    EXPECT_EQ(stream_->read_ptr, stream_->ring_start);
    stream_->expected_tag = 1;  // a zeroed ring entry carries tag 0, which is never expected
    EXPECT_EQ(next(0), QEL_EAGAIN);
}

TEST_F(DescriptorTest, TagsCycleOneToFifteenAndTheReadOffsetWraps) {
    const uint32_t slots = regions().length[0] / kDescriptorBytes;
    std::vector<uint8_t> tags;
    for (uint32_t i = 0; i < slots + 20; ++i) {
        post(qel::test::leader(i + 1, 1));
        const uint8_t *slot = stream_->read_ptr;
        tags.push_back(slot[63] & 0x0F);
        ASSERT_EQ(next(0), QEL_EAGAIN) << "a leader reports nothing yet";
        EXPECT_EQ(progress_word(progress_page::kConsumed), i + 1);
        EXPECT_EQ(progress_word(progress_page::kReadOffset), ((i + 1) % slots) * kDescriptorBytes);
        EXPECT_EQ(progress_word(progress_page::kExpectedTag), stream_->expected_tag);
    }
    for (size_t i = 0; i < tags.size(); ++i) EXPECT_EQ(tags[i], i % 15 + 1) << i;
    EXPECT_EQ(tags[15], 1) << "the sixteenth descriptor carries tag 1";
    EXPECT_EQ(stream_->read_ptr, stream_->ring_start + 20 * kDescriptorBytes);
}

TEST_F(DescriptorTest, DoorbellRingsEverySixteenthDescriptor) {
    uint8_t *bell = regions().base[2];
    std::memset(bell, 0xEE, 8);
    std::vector<uint32_t> rung_at;
    for (uint32_t count = 1; count <= 40; ++count) {
        std::memset(bell, 0xEE, 8);
        post(qel::test::leader(count, 1));
        ASSERT_EQ(next(0), QEL_EAGAIN);
        if (bell[0] != 0xEE) {
            rung_at.push_back(count);
            const uint8_t expected[8] = {0, 0, 0, static_cast<uint8_t>(count), 0, 0, 0, 0};
            EXPECT_EQ(std::memcmp(bell, expected, 8), 0) << count;
        }
    }
    EXPECT_EQ(rung_at, (std::vector<uint32_t>{1, 17, 33}));
}

TEST_F(DescriptorTest, CreditByteGrantsAQueueCredit) {
    const uint32_t credits = stream_->queue_credits;
    Descriptor d = qel::test::leader(1, 1);
    d[61] = 1;
    post(d);
    EXPECT_EQ(next(0), QEL_EAGAIN);
    EXPECT_EQ(stream_->queue_credits, credits + 1);
}

TEST_F(DescriptorTest, WaitsAgainWhileNothingNewIsThere) {
    int waits = 0;
    adapter_.on(TREL_WAIT_DESC, [&](qel::test::Call &call) {
        EXPECT_EQ(call.word(), 250u) << "the caller's timeout, unchanged";
        if (++waits == 3) post(qel::test::trailer(1, 1, 100));
        return 0u;  // a wake-up, whether or not anything came
    });
    EXPECT_EQ(next(250), 0);
    EXPECT_EQ(waits, 3);
}

TEST_F(DescriptorTest, NegativeTimeoutWaitsAsLongAsTheDriverAllows) {
    adapter_.on(TREL_WAIT_DESC, [&](qel::test::Call &call) {
        EXPECT_EQ(call.word(), 0x7FFFFFFFu);
        return host_error_of_driver_code(QEL_ETIMEDOUT);
    });
    EXPECT_EQ(next(-1), QEL_ETIMEDOUT);
    EXPECT_EQ(stream_->read_ptr, stream_->ring_start) << "a failed wait changes nothing";
    EXPECT_EQ(progress_word(progress_page::kConsumed), 0u);
}

TEST_F(DescriptorTest, OtherDescriptorTypesAreSkipped) {
    Descriptor d = qel::test::leader(1, 1);
    d[5] = 7;  // type 7
    post(d);
    post(qel::test::trailer(1, 1, 10));
    EXPECT_EQ(next(0), QEL_EAGAIN);
    EXPECT_EQ(kob_to_qel_block(stream_, d.data()), -QEL_EINVAL);
    EXPECT_EQ(next(0), 0);
}

TEST_F(DescriptorTest, StatusDescriptorKeepsTheLeadersFields) {
    post(qel::test::image_leader(9, 0x01080001, 640, 480, 1234));
    post(qel::test::trailer(0, 0, 0, KOB_QEL_STATUS_INCOMPLETE_FINAL, 77));
    EXPECT_EQ(next(0), QEL_EAGAIN);
    ASSERT_EQ(next(0), 0);
    EXPECT_EQ(result_.status, KOB_QEL_STATUS_INCOMPLETE_FINAL);
    EXPECT_EQ(result_.packet_id, 77u);
    EXPECT_EQ(stream_->block.block_id, 9u);
    EXPECT_EQ(stream_->block.u.image.size_x, 640u);
    EXPECT_EQ(stream_->block.timestamp, 1234u);
}

TEST_F(DescriptorTest, HostTimeThroughTheClockPage) {
    uint8_t *page = regions().base[4];
    auto put = [&](size_t at, auto v) { std::memcpy(page + at, &v, sizeof v); };
    put(clock_page::kBaseTicks, uint64_t{1000});
    put(clock_page::kBaseTime, uint64_t{5000000});
    put(clock_page::kMultiplier, uint32_t{3});
    put(clock_page::kDivisor, uint32_t{2});
    put(clock_page::kSequence, uint32_t{2});
    Descriptor t = qel::test::trailer(1, 1, 10);
    qel::test::set_ticks(t, 0x0001000003E8ull);  // high part 1, low part 1000
    post(t);
    ASSERT_EQ(next(0), 0);
    EXPECT_EQ(stream_->block.host_time, 5000000 + (0x0001000003E8ull - 1000) * 3 / 2);

    // Time byte 0: no time.
    post(qel::test::trailer(2, 1, 10));
    ASSERT_EQ(next(0), 0);
    EXPECT_EQ(stream_->block.host_time, 0u);

    // A page without divisor: no time, and no crash.
    put(clock_page::kDivisor, uint32_t{0});
    post(t);
    ASSERT_EQ(next(0), 0);
    EXPECT_EQ(stream_->block.host_time, 0u);
}

TEST_F(DescriptorTest, ClockPageWriteInProgressIsWaitedOut) {
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
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        store(clock_page::kBaseTime, uint64_t{1000000});
        store(clock_page::kBaseTicks, uint64_t{0});
        seq.store(2, std::memory_order_release);
    });
    EXPECT_EQ(host_time_of(page, 5), 1000005u) << "the half-written base time is never used";
    writer.join();
}

// Every payload type's fields are checked end to end in tests/firmware (EveryPayloadType); here
// what that does not see: a type without timestamp or chunks leaves both zero, and the record's
// status is the trailer's last word.
TEST_F(DescriptorTest, ChunkTypeHasNoTimestampAndNoChunkFields) {
    Descriptor l = qel::test::leader(10, 4, 0x1122334455667788ull, 0x0100);
    qel::test::put16(l, 16, 0x0003);  // the leader's flag word is not the block's status
    for (size_t i = 28; i < 60; ++i) l[i] = static_cast<uint8_t>(i);
    Descriptor t = qel::test::trailer(10, 4, 123456);
    qel::test::put32(t, 36, 0xA1A2A3A4);
    qel::test::put32(t, 40, 0xB1B2B3B4);
    post(l);
    post(t);
    ASSERT_EQ(next(0), QEL_EAGAIN);
    ASSERT_EQ(next(0), 0);
    const qel_block_t &b = stream_->block;
    EXPECT_EQ(b.u.chunk.chunk_payload_length, 0xA1A2A3A4u);
    EXPECT_EQ(b.timestamp | b.chunk_data_length | b.chunk_layout_id | b.status, 0u);
}

TEST_F(DescriptorTest, WrongBlockIdIsReportedAndTheTrailerWins) {
    enable("QEL_DEBUG");
    post(qel::test::leader(5, 1));
    post(qel::test::trailer(0x10006, 1, 10));
    next(0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(next(0), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr("QEL (kob_to_qel_block): Received block descriptor with wrong "
                                   "block id expected blk_id:5, received blk_id:6\n"));
    EXPECT_EQ(stream_->block.block_id, 0x10006u);
}

}  // namespace
