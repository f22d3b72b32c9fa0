// A fixture for receive tests: an open stream on the scripted adapter with buffers queued,
// and helpers to post descriptors into its ring as the firmware would.
#pragma once

#include <vector>

#include "support/descriptors.h"
#include "support/stream_fixture.h"

namespace qel::test {

class ReceiveTest : public StreamTest {
protected:
    void SetUp() override {
        StreamTest::SetUp();
        open_with(0);
    }
    void TearDown() override {
        close();
        StreamTest::TearDown();
    }

    void open_with(uint32_t flags, const qel_stream_options_t *options = nullptr) {
        close();
        if (options) {
            qel_stream_options_t o = *options;
            ASSERT_EQ(qel_open_stream_pr(&loopback_, 5000, &stream_, &o, nullptr), 0);
        } else {
            ASSERT_EQ(qel_open_stream(&loopback_, 5000, &stream_, flags, nullptr), 0);
        }
        endpoint_ = stream_->endpt;
        adapter_.clear_commands();
    }
    // Closes the stream and frees every buffer of buffers_ (queued ones after the close, which
    // detaches them).
    void close() {
        if (stream_ == nullptr) return;
        for (auto *b : buffers_) {
            if (!b->queued) {
                EXPECT_EQ(qel_free(b), 0);
            }
        }
        std::vector<qel_buffer_t *> queued;
        for (qel_buffer_t *b = stream_->queue.head; b; b = b->next) queued.push_back(b);
        qel_close_stream(stream_);
        for (auto *b : queued) EXPECT_EQ(qel_free(b), 0);
        stream_ = nullptr;
        buffers_.clear();
    }
    // Allocates and queues `count` buffers of `size` bytes.
    void queue_buffers(int count, size_t size = 4096) {
        for (int i = 0; i < count; ++i) {
            qel_buffer_t *b = nullptr;
            ASSERT_EQ(qel_alloc(stream_, size, &b), 0);
            ASSERT_EQ(qel_queue_buffer(b), 0);
            buffers_.push_back(b);
        }
    }
    void post(const Descriptor &d) { adapter_.post_descriptor(0, endpoint_, d); }
    EndpointRegions &regions() { return adapter_.regions(0, endpoint_); }
    uint32_t progress_word(size_t offset) {
        uint32_t v;
        std::memcpy(&v, regions().base[5] + offset, 4);
        return v;
    }

    qel_stream_t *stream_ = nullptr;
    uint32_t endpoint_ = 0;
    std::vector<qel_buffer_t *> buffers_;
};

}  // namespace qel::test
