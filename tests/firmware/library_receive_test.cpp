// The library receiving GVSP datagrams on loopback through the software adapter's firmware.
#include <algorithm>
#include <cstring>
#include <thread>

#include "gvsp_builder.h"
#include "library_fixture.h"

namespace qel::test {
namespace {

// One stream through its troubles: a post waking the descriptor wait, a block with no buffer
// queued, a block larger than its buffer, a block missing a packet until the block timeout.
// After each the next block arrives whole.
TEST_F(LibraryReceive, EachTroubleIsReportedAndTheNextBlockArrives) {
    setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "50", 1);
    open(0);
    qel_buffer_t *buffer = queue(9000);
    Sender camera(port_);
    auto send = [&](uint64_t id, uint32_t bytes, uint32_t skipped = 0) {
        const Block b = make_block(Ids::standard, id, BlockShape{}, bytes, 1400);
        for (uint32_t i = 0; i < b.packets.size(); ++i) {
            if (skipped == 0 || i != skipped) camera.send(b.packets[i]);
        }
        return b;
    };
    auto expect_block = [&](const Block &sent) {
        qel_block_t b{};
        ASSERT_EQ(poll(&b), 0);
        EXPECT_EQ(b.block_id, sent.block_id);
        ASSERT_EQ(b.payload_length, sent.data.size());
        EXPECT_EQ(std::memcmp(b.data, sent.data.data(), sent.data.size()), 0);
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    };

    // The wait sleeps in the driver; the firmware's post ends it long before ten seconds.
    Block first;
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        first = send(1, 8000);
    });
    const auto start = std::chrono::steady_clock::now();
    qel_block_t b{};
    int rc = QEL_EAGAIN;  // the leader alone answers 11
    for (int calls = 0; rc == QEL_EAGAIN && calls < 4; ++calls) {
        rc = qel_poll_recv(stream_, &b, 10000);
    }
    later.join();
    ASSERT_EQ(rc, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(b.block_id, 1u);

    send(2, 8000);
    EXPECT_EQ(poll(&b), QEL_ENOBUFS);
    EXPECT_EQ(counter_at_least(Counter::blocks_no_buffers, 1), 1u);
    ASSERT_EQ(qel_queue_buffer(buffer), 0);
    expect_block(send(3, 8000));

    send(4, 20000);
    EXPECT_EQ(poll(&b), QEL_ENOMEM);
    expect_block(send(5, 8000));

    queue(9000);
    send(6, 8000, 3);
    expect_block(send(7, 8000));
    qel_stats_t stats{};
    ASSERT_EQ(qel_get_stats(stream_, &stats), 0);
    EXPECT_EQ(stats.blocks_dropped, 3u);  // blocks 2, 4 and 6
    EXPECT_EQ(counter_at_least(Counter::blocks_incomplete_final, 1), 1u);
}

// A stream without packet resend: a block that lost a packet can never complete, so it ends
// as soon as a later block has, and costs only itself (not the blocks queued behind it for a
// block timeout each).
TEST_F(LibraryReceive, WithoutResendALostPacketCostsOnlyItsBlock) {
    open(0);
    for (int i = 0; i < 16; ++i) queue(9000);
    Sender camera(port_);
    constexpr uint64_t kBlocks = 41;
    uint64_t delivered = 0;
    uint64_t last_id = 0;
    qel_stats_t stats{};
    // Every fifth block loses a packet. Ten blocks at a time, fewer than the buffers: then
    // everything but the last block of each ten (which waits for the next complete block)
    // is reported, and no block lacks a buffer.
    for (uint64_t sent = 0; sent < kBlocks;) {
        for (const uint64_t group_end = std::min(sent + 10, kBlocks); sent < group_end;) {
            const Block b = make_block(Ids::standard, ++sent, BlockShape{}, 8000, 1400);
            for (uint32_t i = 0; i < b.packets.size(); ++i) {
                if (sent % 5 != 0 || i != 3) camera.send(b.packets[i]);
            }
        }
        const uint64_t expected = sent == kBlocks ? kBlocks : sent - 1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
        while (delivered + stats.blocks_dropped < expected &&
               std::chrono::steady_clock::now() < end) {
            qel_block_t b{};
            if (qel_poll_recv(stream_, &b, 100) == 0) {
                ++delivered;
                EXPECT_GT(b.block_id, last_id);
                last_id = b.block_id;
                ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
            }
            ASSERT_EQ(qel_get_stats(stream_, &stats), 0);
        }
    }
    EXPECT_EQ(delivered, kBlocks - 8);
    EXPECT_EQ(stats.blocks_dropped, 8u);
    EXPECT_EQ(counter_at_least(Counter::blocks_overtaken, 8), 8u);
}

// A zero-loss stream's firmware waits for a block's missing packets as long as the stream's
// own block timeout, not its shorter default: the answer to a resend request that comes
// later than that default still completes the block.
TEST_F(LibraryReceive, AZeroLossStreamsBlockTimeoutIsTheFirmwares) {
    setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "1", 1);
    qel_stream_options_t o{};
    o.flags = QEL_OPEN_ZEROLOSS;
    o.block_timeout = 60000;
    o.order_mode = 2;
    o.camera_addr = loopback_;
    o.camera_port = camsim::free_loopback_port();  // nobody answers there
    ASSERT_EQ(qel_open_stream_pr(&loopback_, port_, &stream_, &o, &handle_), 0);
    queue(9000);
    Sender camera(port_);
    const Block sent = make_block(Ids::standard, 1, BlockShape{}, 8000, 1400);
    for (size_t i = 0; i < sent.packets.size(); ++i) {
        if (i != 2) camera.send(sent.packets[i]);
    }
    // The firmware keeps asking for packet 2 long after its own default would have ended the
    // block (after the first request).
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (counter(Counter::incomplete_statuses) < 3 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GE(counter(Counter::incomplete_statuses), 3u);
    camera.send(as_resent(sent.packets[2], Ids::standard));
    qel_block_t b{};
    qel_pr_status_t status{};
    int rc = QEL_EAGAIN;
    while (rc != 0 && std::chrono::steady_clock::now() < end) {
        rc = qel_poll_recv_pr(stream_, &b, 100, &status);
    }
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(b.payload_length, sent.data.size());
    EXPECT_EQ(std::memcmp(b.data, sent.data.data(), sent.data.size()), 0);
    ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
}

}  // namespace
}  // namespace qel::test
