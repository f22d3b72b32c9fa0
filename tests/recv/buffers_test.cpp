// Buffers and statistics against the scripted adapter.
#include <gtest/gtest.h>

#include <vector>

#include "core/driver.h"
#include "support/descriptors.h"
#include "support/open_stream_fixture.h"

using namespace qel::driver;

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
        if (rc == 0) std::erase(owned_, b);
        return rc;
    }
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
        // The whole data area lies inside the allocation: writing it is safe (the sanitizer
        // build checks).
        std::memset(reinterpret_cast<void *>(pin.address), 0xAB, sizes[i]);
        const uint32_t index = b->index;
        EXPECT_EQ(release(b), 0);
        EXPECT_EQ(adapter_.commands_with(TREL_UNPIN_BUF).at(i).as<WordRecord>().value, index);
    }
}

TEST_F(BufferTest, CloseDetachesEveryBufferWhichCanStillBeFreed) {
    qel_buffer_t *a = alloc();
    qel_buffer_t *b = alloc();
    qel_buffer_t *held = alloc();  // allocated, never queued: the application holds it
    qel_buffer_t *freed = alloc();
    ASSERT_EQ(qel_queue_buffer(a), 0);
    ASSERT_EQ(qel_queue_buffer(b), 0);
    EXPECT_EQ(qel_queue_buffer(a), QEL_EBUSY) << "queued twice";
    EXPECT_EQ(release(a), QEL_EBUSY) << "freed while queued";
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

// A block is bounded by the size allocated, not by a larger length the driver wrote back into
// the pin record: a block one byte longer than the buffer is an overflow.
TEST_F(BufferTest, TheBoundIsTheSizeAllocatedWhateverThePinReplySays) {
    adapter_.on(TREL_PIN_BUF, [](qel::test::Call &call) {
        call.as<PinRecord>() = PinRecord{call.as<PinRecord>().address, 1u << 20, 7};
        return 0u;
    });
    qel_buffer_t *b = alloc(4096);
    ASSERT_EQ(qel_queue_buffer(b), 0);
    adapter_.post_descriptor(0, stream_->endpt, qel::test::image_leader(1, 0x01080001, 64, 65));
    adapter_.post_descriptor(0, stream_->endpt, qel::test::trailer(1, 1, 4097));
    qel_block_t block{};
    EXPECT_EQ(qel_poll_recv(stream_, &block, 0), QEL_EAGAIN);
    EXPECT_EQ(qel_poll_recv(stream_, &block, 0), QEL_ENOMEM);
}

// The first queueing's filter fails: the buffer is released (22, or 16 for a port another stream
// has), or, when its unpin fails too, it stays queued with its handle valid (11, a code no
// released buffer gets), and the next queueing adds the filter.
TEST_F(BufferTest, AFailedFirstFilterReleasesTheBufferOrSaysItStaysQueued) {
    qel_buffer_t *b = alloc();
    adapter_.fail(TREL_FILTER_OP, QEL_EACCES, 1);
    ASSERT_EQ(qel_queue_buffer(b), QEL_EINVAL);
    std::erase(owned_, b);  // released
    EXPECT_EQ(adapter_.count(TREL_UNPIN_BUF), 1u);
    EXPECT_EQ(stream_->queue.queued_count, 0u);

    b = alloc();
    adapter_.fail(TREL_FILTER_OP, QEL_EBUSY, 1);
    ASSERT_EQ(qel_queue_buffer(b), QEL_EBUSY) << "a port another stream has";
    std::erase(owned_, b);  // released
    EXPECT_EQ(adapter_.count(TREL_UNPIN_BUF), 2u);
    EXPECT_EQ(stream_->queue.queued_count, 0u);

    b = alloc();
    adapter_.fail(TREL_FILTER_OP, QEL_EACCES, 1);
    adapter_.fail(TREL_UNPIN_BUF, QEL_EACCES, 1);
    EXPECT_EQ(qel_queue_buffer(b), QEL_EAGAIN);
    EXPECT_EQ(stream_->queue.head, b);
    EXPECT_EQ(stream_->queue.queued_count, 1u);
    EXPECT_EQ(release(b), QEL_EBUSY) << "still queued";
    qel_buffer_t *next = alloc();
    ASSERT_EQ(qel_queue_buffer(next), 0);
    EXPECT_EQ(stream_->filter_added, 1u);
    EXPECT_EQ(stream_->queue.queued_count, 2u);
    EXPECT_EQ(adapter_.count(TREL_QUEUE_BUF), 4u) << "the buffer kept was not queued twice";
}

}  // namespace
