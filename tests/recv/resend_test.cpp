// Packet resend: the request datagrams on a real socket standing for the camera, expected
// block ids and the order check.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "recv/resend.h"
#include "stream/stream.h"
#include "support/camera_socket.h"
#include "support/receive_fixture.h"

using namespace qel::driver;
using namespace qel::recv;

namespace {

class ResendTest : public qel::test::ReceiveTest {
protected:
    void open_zero_loss(uint32_t extra_flags, uint32_t order_mode = 2, uint32_t max_requests = 100,
                        uint32_t block_timeout = 0, uint32_t resend_timeout = 0) {
        qel_stream_options_t o{};
        o.flags = QEL_OPEN_ZEROLOSS | extra_flags;
        o.max_requests = max_requests;
        o.block_timeout = block_timeout;
        o.resend_timeout = resend_timeout;
        o.order_mode = order_mode;
        o.camera_addr = loopback_;
        o.camera_port = camera_.port();
        open_with(0, &o);
        queue_buffers(3);
    }
    void post_leader(uint64_t id) { post(qel::test::image_leader(id, 0x01080001, 64, 48)); }
    void post_status(uint64_t id, uint8_t status, uint32_t packet = 0) {
        post(qel::test::trailer(id, 1, 3072, status, packet));
    }
    // The call returns 11 for a lone leader; the next one works the block.
    int receive(uint16_t req_id_base = 0) {
        int rc = qel_poll_recv_pr(stream_, &block_, req_id_base, &status_);
        return rc == QEL_EAGAIN ? qel_poll_recv_pr(stream_, &block_, req_id_base, &status_) : rc;
    }

    qel::test::Camera camera_;
    qel_block_t block_{};
    qel_pr_status_t status_{};
};

TEST_F(ResendTest, RequestBytesOfBothIdForms) {
    struct Case {
        uint32_t flags;
        uint64_t block;
        uint32_t packet;
        uint16_t base;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {0, 66, 1007, 0x1f70, {0x42, 0x00, 0x00, 0x40, 0x00, 0x0c, 0x1f, 0x70, 0x00, 0x00,
                               0x00, 0x42, 0x00, 0x00, 0x03, 0xef, 0x00, 0xff, 0xff, 0xff}},
        {QEL_OPEN_EXTENDED_ID,
         0x0102030405060708ull,
         0x00ABCDEF,
         7,
         {0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x00, 0x07, 0x00, 0x03, 0x00, 0x00, 0x00, 0xab,
          0xcd, 0xef, 0xff, 0xff, 0xff, 0xff, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
    };
    for (const Case &c : cases) {
        open_zero_loss(c.flags);
        stream_->opts->channel = c.flags != 0 ? 3 : 0;
        post_leader(c.block);
        post_status(c.block, KOB_QEL_STATUS_INCOMPLETE, c.packet);
        post_status(c.block, KOB_QEL_STATUS_COMPLETE);
        ASSERT_EQ(receive(c.base), 0);
        auto got = camera_.receive_all();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0], c.bytes);
        EXPECT_EQ(status_.resend_count, 1u);
        EXPECT_EQ(status_.req_id, c.base + 1);
    }
}

// Which last packet id a request asks for. Only a stream opened to ask for gaps, given a
// status that carries a gap end fitting the block, asks for the gap alone; every other status
// (no marker: a firmware that does not report gaps; a gap without a known end; an end before
// the gap or past the highest id) gets the request of a stream without the flag, byte for byte.
TEST_F(ResendTest, GapEndsBoundTheRequestOnlyWhenAskedFor) {
    using qel::test::gap_status;
    struct Case {
        const char *name;
        uint32_t flags;
        qel::test::Descriptor status;
        uint32_t expected_last;
    };
    const uint32_t kStandardEnd = 0x00FFFFFF;
    const Case cases[] = {
        {"ranged, gap end", QEL_OPEN_RANGED_RESEND, gap_status(9, 17, 26, true), 26},
        {"ranged, one packet", QEL_OPEN_RANGED_RESEND, gap_status(9, 17, 17, true), 17},
        {"ranged, leader gap", QEL_OPEN_RANGED_RESEND, gap_status(9, 0, 3, true), 3},
        {"ranged, extended ids", QEL_OPEN_RANGED_RESEND | QEL_OPEN_EXTENDED_ID,
         gap_status(9, 17, 0x01000000, true), 0x01000000},
        {"ranged, no marker", QEL_OPEN_RANGED_RESEND,
         qel::test::trailer(9, 1, 3072, KOB_QEL_STATUS_INCOMPLETE, 17), kStandardEnd},
        {"ranged, end not known", QEL_OPEN_RANGED_RESEND, gap_status(9, 17, 0, true, false),
         kStandardEnd},
        {"ranged, end before the gap", QEL_OPEN_RANGED_RESEND, gap_status(9, 17, 16, true),
         kStandardEnd},
        {"ranged, end past the highest id", QEL_OPEN_RANGED_RESEND,
         gap_status(9, 17, 0x01000000, true), kStandardEnd},
        {"not asked for", 0, gap_status(9, 17, 26, true), kStandardEnd},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        open_zero_loss(c.flags);
        post_leader(9);
        post(c.status);
        post_status(9, KOB_QEL_STATUS_COMPLETE);
        ASSERT_EQ(receive(0x10), 0);
        const auto got = camera_.receive_all();
        ASSERT_EQ(got.size(), 1u);
        const uint32_t first = qel::load_be32(c.status.data() + offset::kPacketId);
        const bool extended = (c.flags & QEL_OPEN_EXTENDED_ID) != 0;
        const uint32_t last =
            extended && c.expected_last == kStandardEnd ? 0xFFFFFFFF : c.expected_last;
        std::array<uint8_t, kResendRequestMaxBytes> bytes{};
        const size_t size = encode_resend_request({0x10, 0, 9, first, last, extended}, bytes);
        EXPECT_EQ(got[0], std::vector<uint8_t>(bytes.begin(), bytes.begin() + size));
    }
}

// max_requests counts the firmware's reports: with the flag, a report of three gaps is three
// requests and one round, so two rounds allowed send five requests (three, then two) and the
// third report gives the block up; a status without the marker is a round of its own. Without
// the flag every status is a round, as before.
TEST_F(ResendTest, RetryLimitCountsReportsNotGaps) {
    using qel::test::gap_status;
    struct Case {
        const char *name;
        uint32_t flags;
        std::vector<std::pair<uint32_t, uint32_t>> expected;  // first and last of each request
    };
    const uint32_t kEnd = 0x00FFFFFF;
    const Case cases[] = {
        {"ranged", QEL_OPEN_RANGED_RESEND, {{2, 3}, {7, 7}, {20, 24}, {7, 7}, {21, 21}}},
        {"not asked for", 0, {{2, kEnd}, {7, kEnd}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        open_zero_loss(c.flags | QEL_OPEN_KEEP_INCOMPLETE, 2, 2);
        post_leader(5);
        post(gap_status(5, 2, 3, true));
        post(gap_status(5, 7, 7, false));
        post(gap_status(5, 20, 24, false));
        post(gap_status(5, 7, 7, true));
        post(gap_status(5, 21, 21, false));
        post(gap_status(5, 21, 21, true));
        post(qel::test::trailer(5, 1, 3072, KOB_QEL_STATUS_INCOMPLETE, 22));
        post(qel::test::trailer(5, 1, 2500, KOB_QEL_STATUS_INCOMPLETE_FINAL, 21));
        ASSERT_EQ(receive(), 0);
        std::vector<std::pair<uint32_t, uint32_t>> got;
        for (const auto &r : camera_.receive_all()) {
            got.emplace_back(qel::load_be32(r.data() + 12), qel::load_be32(r.data() + 16));
        }
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(stream_->stats->resend_limit_hits, 1u);
        EXPECT_EQ(status_.resend_count, c.expected.size()) << "requests, not rounds";
    }
}

// The expected id wraps as each id form does: standard ids as a camera numbers them (0xFFFF is
// followed by 1), compared by their low 16 bits. Mode 1 drops anything unexpected, 3 delivers
// older and drops newer blocks.
TEST_F(ResendTest, OrderModesAndTheExpectedId) {
    struct Case {
        uint32_t flags, mode;
        uint64_t last, id;
        bool delivered;
    };
    for (const Case c :
         {Case{0, 1, 0, 1, true}, Case{0, 1, 0xFFFF, 1, true}, Case{0, 3, 0xFFFF, 1, true},
          Case{0, 1, 0xFFFE, 0xFFFF, true}, Case{0, 1, 0xFFFF, 2, false},
          Case{0, 1, 0x1FFFFFFFF, 1, true},
          Case{QEL_OPEN_EXTENDED_ID, 1, 0xFFFFFFFFFFFFFFFFull, 1, true},
          Case{QEL_OPEN_EXTENDED_ID, 1, 0xFFFFFFFF, 0x100000000ull, true},
          Case{0, 1, 0x10004, 0x10003, false}, Case{0, 2, 0x10004, 0x10007, true},
          Case{0, 3, 0x10004, 0x20003, true}, Case{0, 3, 4, 3, true}, Case{0, 3, 4, 7, false},
          Case{0, 4, 0x10004, 0x00007, true}, Case{0, 4, 0x10004, 0x10003, false}}) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << c.mode << " last " << c.last << " id " << c.id);
        open_zero_loss(c.flags, c.mode);
        stream_->last_block_id = c.last;
        post_leader(c.id);
        post_status(c.id, KOB_QEL_STATUS_COMPLETE);
        EXPECT_EQ(receive(), c.delivered ? 0 : QEL_EORDER);
        EXPECT_EQ(c.delivered ? block_.block_id : status_.status, c.delivered ? c.id : 1u);
        EXPECT_EQ(stream_->stats->blocks_dropped, c.delivered ? 0u : 1u);
        EXPECT_EQ(stream_->queue.queued_count, c.delivered ? 2u : 3u)
            << "a dropped block's buffer went back";
        EXPECT_EQ(stream_->last_block_id, c.id);
    }
}

// Three requests allowed: the fourth INCOMPLETE status gives the block up, once, and the later
// ones send nothing. The block is delivered with the bytes its final status says arrived.
TEST_F(ResendTest, RetryLimitGivesUpOnceAndSendsNothingMore) {
    open_zero_loss(QEL_OPEN_KEEP_INCOMPLETE, 2, 3);
    enable("QEL_DEBUG");
    post_leader(1);
    for (uint32_t p = 1; p <= 6; ++p) post_status(1, KOB_QEL_STATUS_INCOMPLETE, p);
    post(qel::test::trailer(1, 1, 2500, KOB_QEL_STATUS_INCOMPLETE_FINAL, 6));
    testing::internal::CaptureStderr();
    ASSERT_EQ(receive(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string limit = "QEL (qel_poll_recv_pr): Resend retry limit exceeded\n";
    ASSERT_NE(err.find(limit), std::string::npos);
    EXPECT_EQ(err.find(limit, err.find(limit) + 1), std::string::npos) << "once";
    EXPECT_EQ(stream_->stats->resend_sent, 3u);
    EXPECT_EQ(stream_->stats->resend_limit_hits, 1u);
    EXPECT_EQ(stream_->stats->blocks_incomplete, 1u);
    EXPECT_EQ(status_.status, 3u);
    EXPECT_EQ(status_.packet_id, 6u) << "the final status's packet id stays";
    EXPECT_EQ(status_.resend_count, 3u);
    EXPECT_EQ(block_.buffer, buffers_[0]);
    EXPECT_EQ(block_.payload_length, 2500u);
}

TEST_F(ResendTest, RequestIdsCountUpFromTheBaseAndWrapAtSixteenBits) {
    open_zero_loss(0);
    post_leader(1);
    for (uint32_t p = 1; p <= 3; ++p) post_status(1, KOB_QEL_STATUS_INCOMPLETE, p);
    post_status(1, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(receive(0xFFFE), 0);
    std::vector<int> ids;
    for (const auto &request : camera_.receive_all()) ids.push_back(request[6] << 8 | request[7]);
    EXPECT_EQ(ids, (std::vector<int>{0xFFFE, 0xFFFF, 0x0000}));
    EXPECT_EQ(status_.req_id, 1u) << "the id of the next request";
}

// Each timeout ends the resending on its own: the block is given up (the counter moves) and the
// firmware's later INCOMPLETE status sends nothing. The firmware here answers only once the
// library has given up, however long a loaded machine takes to get there. With both timeouts
// set, only the block timeout can end the resending while its timer runs.
TEST_F(ResendTest, EachTimeoutGivesTheBlockUp) {
    struct Case {
        const char *name;
        uint32_t block_timeout, resend_timeout;
        uint64_t qel_stats_t::*given_up;
        uint64_t qel_stats_t::*untouched;
    };
    for (const Case &c :
         {Case{"block", 1, 1, &qel_stats_t::block_timeouts, &qel_stats_t::resend_timeouts},
          Case{"resend", 0, 1, &qel_stats_t::resend_timeouts, &qel_stats_t::block_timeouts}}) {
        SCOPED_TRACE(c.name);
        open_zero_loss(QEL_OPEN_KEEP_INCOMPLETE, 2, 0, c.block_timeout, c.resend_timeout);
        post_leader(1);
        post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        std::thread firmware([&] {
            while (qel::stream::counter_value(stream_->stats->*c.given_up) == 0 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            post_status(1, KOB_QEL_STATUS_INCOMPLETE, 5);
            post(qel::test::trailer(1, 1, 1400, KOB_QEL_STATUS_INCOMPLETE_FINAL, 5));
        });
        int rc = QEL_EAGAIN;
        while (rc == QEL_EAGAIN && std::chrono::steady_clock::now() < deadline) {
            rc = qel_poll_recv_pr(stream_, &block_, 0, &status_);
        }
        firmware.join();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(status_.status, 3u);
        EXPECT_EQ(stream_->stats->*c.given_up, 1u);
        EXPECT_EQ(stream_->stats->*c.untouched, 0u);
        EXPECT_EQ(stream_->stats->resend_sent, 1u);
    }
}

// A request is out and nothing has come yet: the call waits in the driver for the firmware's
// next word, no longer than the resend timeout allows, instead of spinning beside the firmware.
TEST_F(ResendTest, WaitsInTheDriverWhileItsRequestIsAnswered) {
    open_zero_loss(QEL_OPEN_KEEP_INCOMPLETE, 2, 100, 0, 200);
    post_leader(1);
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
    std::vector<uint32_t> waits;
    adapter_.on(TREL_WAIT_DESC, [&](qel::test::Call &call) {
        waits.push_back(call.word());
        post_status(1, KOB_QEL_STATUS_COMPLETE);
        return 0u;
    });
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(status_.status, 2u);
    EXPECT_EQ(stream_->stats->resend_sent, 1u);
    ASSERT_EQ(waits.size(), 1u);
    EXPECT_GE(waits[0], 1u);
    EXPECT_LE(waits[0], 200u);
}

// A stream without timeouts whose firmware never finishes a block: the call comes back (after
// its documented bound) instead of spinning for ever, and the block stays given up.
TEST_F(ResendTest, CallReturnsWhenTheFirmwareNeverFinishesTheBlock) {
    open_zero_loss(QEL_OPEN_KEEP_INCOMPLETE, 2, 3);
    post_leader(1);
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 4);
    EXPECT_EQ(receive(), QEL_EAGAIN);
    EXPECT_EQ(stream_->stats->resend_sent, 1u);
    EXPECT_EQ(stream_->stats->block_timeouts, 1u);
    post_status(1, KOB_QEL_STATUS_INCOMPLETE, 5);
    EXPECT_EQ(qel_poll_recv_pr(stream_, &block_, 1, &status_), QEL_EAGAIN);
    EXPECT_EQ(stream_->stats->resend_sent, 1u) << "no request for a block given up";
    post(qel::test::trailer(1, 1, 1400, KOB_QEL_STATUS_INCOMPLETE_FINAL, 5));
    ASSERT_EQ(qel_poll_recv_pr(stream_, &block_, 1, &status_), 0);
    EXPECT_EQ(status_.status, 3u);
    EXPECT_EQ(block_.payload_length, 1400u);
    // The next block is resent again.
    post_leader(2);
    post_status(2, KOB_QEL_STATUS_INCOMPLETE, 2);
    post_status(2, KOB_QEL_STATUS_COMPLETE);
    ASSERT_EQ(receive(), 0);
    EXPECT_EQ(stream_->stats->resend_sent, 2u);
}

}  // namespace
