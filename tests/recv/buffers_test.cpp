// Buffers and statistics against the scripted adapter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

#include "core/driver.h"
#include "core/log.h"
#include "support/open_stream_fixture.h"

using namespace qel::driver;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class BufferTest : public qel::test::OpenStreamTest {
protected:
    // Frees what the test left: buffers the firmware still holds after the close detached them.
    void TearDown() override {
        std::vector<qel_buffer_t *> queued;
        for (auto *b : owned_) {
            EXPECT_EQ(b->queued ? (queued.push_back(b), 0) : qel_free(b), 0);
        }
        if (stream_) qel_close_stream(stream_);
        stream_ = nullptr;
        for (auto *b : queued) EXPECT_EQ(qel_free(b), 0);
        OpenStreamTest::TearDown();
    }
    qel_buffer_t *alloc(size_t size = 1000) {
        qel_buffer_t *b = nullptr;
        EXPECT_EQ(qel_alloc(stream_, size, &b), 0);
        if (b) owned_.push_back(b);
        return b;
    }
    // qel_free, and the fixture forgets a buffer that is gone.
    int release(qel_buffer_t *b) {
        const int rc = qel_free(b);
        if (rc == 0) forget(b);
        return rc;
    }
    void forget(qel_buffer_t *b) { std::erase(owned_, b); }
    std::vector<qel_buffer_t *> owned_;
};

TEST_F(BufferTest, DataAreaIsPinnedAtThePageBoundary) {
    // A small buffer, and one of more than a huge page, which is laid out differently.
    const size_t sizes[] = {1000, (size_t{2} << 20) + 1000};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        SCOPED_TRACE(sizes[i]);
        qel_buffer_t *b = alloc(sizes[i]);
        ASSERT_NE(b, nullptr);
        auto pins = adapter_.commands_with(TREL_PIN_BUF);
        ASSERT_EQ(pins.size(), i + 1);
        const auto pin = pins[i].as<PinRecord>();
        const uintptr_t mem = reinterpret_cast<uintptr_t>(b->mem);
        EXPECT_EQ(pin.address % 4096, 0u);
        EXPECT_GE(pin.address, mem);
        EXPECT_LT(pin.address, mem + 4096);
        EXPECT_EQ(pin.length, sizes[i]);
        EXPECT_NE(b->index, 0u) << "the index the driver returned";
        // The whole data area lies inside the allocation: writing it is safe (the sanitizer
        // build checks).
        std::memset(reinterpret_cast<void *>(pin.address), 0xAB, sizes[i]);
        const uint32_t index = b->index;
        EXPECT_EQ(release(b), 0);
        auto unpins = adapter_.commands_with(TREL_UNPIN_BUF);
        ASSERT_EQ(unpins.size(), i + 1);
        EXPECT_EQ(unpins[i].as<WordRecord>().value, index);
    }
}

TEST_F(BufferTest, FirstFourQueueCommandsCarryACredit) {
    std::vector<qel_buffer_t *> buffers;
    for (int i = 0; i < 6; ++i) buffers.push_back(alloc());
    for (auto *b : buffers) ASSERT_EQ(qel_queue_buffer(b), 0);
    auto queued = adapter_.commands_with(TREL_QUEUE_BUF);
    ASSERT_EQ(queued.size(), 6u);
    for (size_t i = 0; i < queued.size(); ++i) {
        EXPECT_EQ(queued[i].as<QueueRecord>().credit, i < 4 ? 1u : 0u) << i;
        EXPECT_EQ(queued[i].as<QueueRecord>().index, buffers[i]->index);
    }
    EXPECT_EQ(stream_->queue_credits, 0u);
    EXPECT_EQ(stream_->queued_count, 6u);
    // The queue list holds them in the order they were queued.
    qel_buffer_t *b = stream_->queue_head;
    for (auto *expected : buffers) {
        ASSERT_EQ(b, expected);
        b = b->next;
    }
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(stream_->stats->buffers_queued, 6u);
}

TEST_F(BufferTest, FirstQueueingBindsOnce) {
    enable("QEL_VERBOSE");
    qel_buffer_t *a = alloc();
    qel_buffer_t *b = alloc();
    CaptureStderr();
    ASSERT_EQ(qel_queue_buffer(a), 0);
    ASSERT_EQ(qel_queue_buffer(b), 0);
    EXPECT_EQ(GetCapturedStderr(), "QEL: Binding to 127.0.0.1:5000\n\n");
    auto filters = adapter_.commands_with(TREL_FILTER_OP);
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0].as<FilterRecord>().address, 0x7F000001u);
    EXPECT_EQ(filters[0].as<FilterRecord>().port, 5000);
    EXPECT_EQ(filters[0].as<FilterRecord>().operation, kFilterAdd);
    EXPECT_EQ(stream_->filter_added, 1);
}

TEST_F(BufferTest, FailedFilterReleasesTheBufferAndTriesAgainNextTime) {
    qel_buffer_t *a = alloc();
    qel_buffer_t *b = alloc();
    adapter_.fail(TREL_FILTER_OP, QEL_EACCES, 1);
    CaptureStderr();
    EXPECT_EQ(qel_queue_buffer(a), QEL_EINVAL);
    GetCapturedStderr();
    forget(a);
    // `a` is gone: unpinned, out of the queue list.
    EXPECT_EQ(adapter_.count(TREL_UNPIN_BUF), 1u);
    EXPECT_EQ(stream_->queue_head, nullptr);
    EXPECT_EQ(stream_->queued_count, 0u);
    EXPECT_EQ(stream_->queue_tail, &stream_->queue_head);
    EXPECT_EQ(stream_->filter_added, 0);
    EXPECT_EQ(stream_->queue_credits, 3u) << "the credit taken stays taken";
    EXPECT_EQ(stream_->stats->buffers_freed, 1u);
    ASSERT_EQ(qel_queue_buffer(b), 0);
    EXPECT_EQ(stream_->filter_added, 1);
    EXPECT_EQ(stream_->queue_head, b);
    EXPECT_EQ(adapter_.count(TREL_FILTER_OP), 2u);
}

TEST_F(BufferTest, FailedFilterWithFailedUnpinKeepsTheBufferQueued) {
    qel_buffer_t *a = alloc();
    adapter_.fail(TREL_FILTER_OP, QEL_EACCES, 1);
    adapter_.fail(TREL_UNPIN_BUF, QEL_EBUSY, 1);
    CaptureStderr();
    EXPECT_EQ(qel_queue_buffer(a), QEL_EINVAL);
    GetCapturedStderr();
    EXPECT_EQ(stream_->queue_head, a) << "still held by the firmware, so still in the list";
    EXPECT_EQ(stream_->queued_count, 1u);
    EXPECT_EQ(release(a), QEL_EBUSY);
}

TEST_F(BufferTest, RefusedQueueOrFreeChangesNothingAndCanBeRepeated) {
    qel_buffer_t *a = alloc();
    adapter_.fail(TREL_QUEUE_BUF, QEL_ENOMEM, 1);
    EXPECT_EQ(qel_queue_buffer(a), QEL_ENOMEM);
    EXPECT_EQ(stream_->queue_head, nullptr);
    EXPECT_EQ(stream_->queue_credits, 3u);
    EXPECT_EQ(adapter_.count(TREL_FILTER_OP), 0u);
    ASSERT_EQ(qel_queue_buffer(a), 0);
    EXPECT_EQ(qel_queue_buffer(a), QEL_EBUSY) << "queued twice";
    EXPECT_EQ(release(a), QEL_EBUSY) << "freed while queued";
    EXPECT_EQ(stream_->queued_count, 1u);
    EXPECT_EQ(adapter_.count(TREL_QUEUE_BUF), 2u);
    EXPECT_EQ(adapter_.count(TREL_UNPIN_BUF), 0u);
    qel_buffer_t *b = alloc();
    adapter_.fail(TREL_UNPIN_BUF, QEL_EBUSY, 1);
    EXPECT_EQ(release(b), QEL_EBUSY);
    EXPECT_EQ(stream_->stats->buffers_freed, 0u);
    EXPECT_EQ(release(b), 0);
    EXPECT_EQ(stream_->stats->buffers_freed, 1u);
}

TEST_F(BufferTest, CloseDetachesEveryBufferWhichCanStillBeFreed) {
    qel_buffer_t *a = alloc();
    qel_buffer_t *b = alloc();
    qel_buffer_t *held = alloc();  // allocated, never queued: the application holds it
    qel_buffer_t *freed = alloc();
    ASSERT_EQ(qel_queue_buffer(a), 0);
    ASSERT_EQ(qel_queue_buffer(b), 0);
    ASSERT_EQ(release(freed), 0);
    ASSERT_EQ(qel_close_stream(stream_), 0);
    stream_ = nullptr;
    adapter_.clear_commands();
    // A detached buffer names no stream: it cannot be queued again, only freed (under ASan a
    // stale stream pointer here is a use after free).
    EXPECT_EQ(qel_queue_buffer(held), QEL_EINVAL);
    EXPECT_EQ(release(held), 0);
    EXPECT_EQ(release(a), 0);
    EXPECT_EQ(release(b), 0);
    EXPECT_EQ(adapter_.command_count(), 0u) << "the endpoint is gone: nothing to unpin";
}

TEST_F(BufferTest, PinFailureReleasesEverything) {
    enable("QEL_VERBOSE");
    adapter_.fail(TREL_PIN_BUF, QEL_ENOMEM, 1);
    qel_buffer_t *b = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_alloc(stream_, 1000, &b), QEL_EINVAL);
    EXPECT_THAT(GetCapturedStderr(), HasSubstr("QEL (qel_alloc): Could not pin buffer (0x"));
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(stream_->stats->buffers_allocated, 0u);
}

TEST_F(BufferTest, CallerMistakesAndCallsBeforeInitAreRefused) {
    qel_buffer_t *b = nullptr;
    EXPECT_EQ(qel_alloc(nullptr, 1000, &b), QEL_EINVAL);
    EXPECT_EQ(qel_alloc(stream_, 1000, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_alloc(stream_, 0, &b), QEL_EINVAL);
    EXPECT_EQ(qel_alloc(stream_, size_t{1} << 32, &b), QEL_EINVAL);
    EXPECT_EQ(qel_free(nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_queue_buffer(nullptr), QEL_EINVAL);
    EXPECT_EQ(adapter_.command_count(), 0u);
    qel_buffer_t *a = alloc();
    qel::core::qel_api_version.store(0);
    qel::core::qel_verbose.store(1);
    CaptureStderr();
    EXPECT_EQ(qel_alloc(stream_, 1000, &b), QEL_EINVAL);
    EXPECT_EQ(qel_queue_buffer(a), QEL_EINVAL);
    EXPECT_EQ(release(a), QEL_EINVAL);
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel_alloc): QEL library not initialized\n"
              "QEL (qel_queue_buffer): QEL library not initialized\n"
              "QEL (qel_free): QEL library not initialized\n");
    qel::core::qel_api_version.store(QEL_API_VERSION);
    EXPECT_EQ(release(a), 0);
}

TEST_F(BufferTest, StatisticsClearKeepsTheBufferCounters) {
    qel_buffer_t *a = alloc();
    qel_buffer_t *b = alloc();
    ASSERT_EQ(qel_queue_buffer(b), 0);
    ASSERT_EQ(release(a), 0);
    stream_->dropped_blocks = 3;
    stream_->delivered_blocks = 5;
    stream_->stats->poll_errors = 9;
    ASSERT_EQ(qel_clear_stats(stream_), 0);
    qel_stats_t stats;
    std::memset(&stats, 0xFF, sizeof stats);
    ASSERT_EQ(qel_get_stats(stream_, &stats), 0);
    EXPECT_EQ(stats.buffers_allocated, 2u);
    EXPECT_EQ(stats.buffers_freed, 1u);
    EXPECT_EQ(stats.buffers_queued, 0u);
    EXPECT_EQ(stats.poll_errors, 0u);
    qel_info_t info;
    ASSERT_EQ(qel_info(stream_, &info), 0);
    EXPECT_EQ(info.reserved, 0u);
    EXPECT_EQ(info.dropped, 3u);
    EXPECT_EQ(info.delivered, 5u);
    EXPECT_EQ(qel_get_stats(stream_, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_get_stats(nullptr, &stats), QEL_EINVAL);
    EXPECT_EQ(qel_clear_stats(nullptr), QEL_EINVAL);
}

}  // namespace
