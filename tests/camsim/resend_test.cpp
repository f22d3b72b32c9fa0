// The packet resend service on the wire: commands sent to the control port from another
// socket, answers read from the stream's destination.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "camsim/camsim.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::hex;
using camsim_test::Packet;
using camsim_test::read_packet;

constexpr auto kQuiet = std::chrono::milliseconds(150);  // for a packet that should not come
constexpr auto kAnswer = std::chrono::seconds(5);

// Sent as 28 bytes, as the library does.
Bytes standard_command(uint16_t block, uint32_t first, uint32_t last, uint16_t channel = 0) {
    char text[80];
    std::snprintf(text, sizeof text, "42000040000c1234 %04x%04x %08x%08x 0000000000000000", channel,
                  block, first, last);
    return hex(text);
}

Bytes extended_command(uint64_t block, uint32_t first, uint32_t last) {
    char text[80];
    std::snprintf(text, sizeof text, "4210004000140009 00000000 %08x%08x %016llx", first, last,
                  static_cast<unsigned long long>(block));
    return hex(text);
}

// A simulator that has sent all its frames, whose packets were read away into stream_.
class Resend : public ::testing::Test {
protected:
    void start(uint64_t frames, uint32_t side, const std::function<void(Config &)> &tweak = {}) {
        Config c;
        c.control_port = 0;
        c.packet_rate = 50000;
        c.dest_port = receiver_.port();
        c.frames = frames;
        c.width = c.height = side;
        if (tweak) tweak(c);
        sim_ = std::make_unique<Simulator>(c);
        ASSERT_EQ(sim_->start(), "");
        ASSERT_TRUE(sim_->wait_sent(std::chrono::seconds(20)));
        for (const Bytes &d : receiver_.receive_count(sim_->counters().packets_sent, kAnswer)) {
            stream_.push_back(*read_packet(d));
        }
        ASSERT_EQ(stream_.size(), sim_->counters().packets_sent);
    }
    // The `expected` packets that answer a command, and any more that come soon after.
    std::vector<Packet> ask(const Bytes &command, size_t expected) {
        EXPECT_TRUE(host_.send_to(sim_->control_port(), command));
        std::vector<Packet> out;
        for (const Bytes &d : receiver_.receive_count(expected, kAnswer)) {
            out.push_back(*read_packet(d));
        }
        for (const Bytes &d : receiver_.drain(kQuiet)) out.push_back(*read_packet(d));
        return out;
    }
    // The body of the first sending of a packet.
    Bytes first_sent(uint64_t block, uint32_t packet_id) {
        for (const Packet &p : stream_) {
            if (p.block_id == block && p.packet_id == packet_id) return p.body;
        }
        return {1, 2, 3};
    }

    camsim_test::UdpSocket receiver_;
    camsim_test::UdpSocket host_;
    std::unique_ptr<Simulator> sim_;
    std::vector<Packet> stream_;
};

TEST_F(Resend, HeldBlocksAreResentAsFirstSentAndOthersGetErrorStatusPacketsWithoutData) {
    start(5, 64, [](Config &c) { c.history_frames = 2; });  // blocks 4 and 5 are held
    ASSERT_EQ(sim_->trailer_packet_id(), 4u);               // 4096 bytes: 3 payload packets
    // A last id beyond the block means to its end; leader and trailer (timestamp included)
    // and payload are those first sent, marked as resent.
    auto answer = ask(standard_command(5, 0, 0xFFFFFF), 5);
    ASSERT_EQ(answer.size(), 5u);
    Bytes joined;
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(answer[i].packet_id, i);
        EXPECT_EQ(answer[i].status, 0x0100);
        EXPECT_EQ(answer[i].format, i == 0 ? 1 : i == 4 ? 2 : 3);
        EXPECT_EQ(answer[i].body, first_sent(5, i));
        if (i % 4 != 0) joined.insert(joined.end(), answer[i].body.begin(), answer[i].body.end());
    }
    EXPECT_EQ(joined, sim_->expected_payload(4));
    // Block 1 was sent and fell out: removed from memory, one packet per asked id.
    answer = ask(standard_command(1, 1, 3), 3);
    ASSERT_EQ(answer.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(answer[i].status, 0x8012);
        EXPECT_EQ(answer[i].block_id, 1u);
        EXPECT_EQ(answer[i].packet_id, 1 + i);
        EXPECT_TRUE(answer[i].body.empty());
    }
    answer = ask(standard_command(3, 2, 0xFFFFFF), 3);  // "to the end" stops at the trailer
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(answer[2].packet_id, 4u);
    EXPECT_EQ(answer[2].format, 2);
    // Block 9 was never sent, and packets past the trailer of a held block: one unavailable
    // packet for the range.
    for (const Bytes &command : {standard_command(9, 1, 1), standard_command(5, 7, 9)}) {
        answer = ask(command, 1);
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0].status, 0x800C);
        EXPECT_EQ(answer[0].packet_id, command[15]);
    }
    const Counters n = sim_->counters();
    EXPECT_EQ(n.resend_requests, 5u);
    EXPECT_EQ(n.packets_resent, 5u);
    EXPECT_EQ(n.bytes_resent, 4096u + 5 * 8 + 36 + 8);  // payload, headers, leader, trailer
    EXPECT_EQ(n.error_packets, 3u + 3 + 1 + 1);
}

TEST_F(Resend, ExtendedIdsResendWithTheResentFlagAndFlagRangeErrors) {
    start(8, 100, [](Config &c) {
        c.extended_ids = true;
        c.first_block_id = 0x100000000ull;
    });
    const auto answer = ask(extended_command(0x100000005ull, 3, 3), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_TRUE(answer[0].extended);
    EXPECT_EQ(answer[0].status, 0);
    EXPECT_EQ(answer[0].flags, 0x0001);
    EXPECT_EQ(answer[0].block_id, 0x100000005ull);
    EXPECT_EQ(answer[0].packet_id, 3u);
    EXPECT_EQ(answer[0].body, first_sent(0x100000005ull, 3));
    // Ids past the trailer: one error packet flagged as a range error.
    const auto error = ask(extended_command(0x100000001ull, 50, 0xFFFFFFFF), 1);
    ASSERT_EQ(error.size(), 1u);
    EXPECT_EQ(error[0].status, 0x800C);
    EXPECT_EQ(error[0].flags, 0x0004);
    EXPECT_TRUE(error[0].body.empty());
}

TEST_F(Resend, MalformedCommandsAreCountedAndIgnoredAndTheServiceGoesOn) {
    start(2, 16, [](Config &c) { c.channel = 2; });
    Bytes bad_key = standard_command(1, 1, 1, 2);
    bad_key[0] = 0x43;
    Bytes truncated = standard_command(1, 1, 1, 2);
    truncated.resize(19);
    const std::vector<Bytes> commands{bad_key,
                                      truncated,
                                      standard_command(1, 1, 1, 0),  // another channel
                                      extended_command(1, 1, 1),     // extended ids on standard ids
                                      Bytes(2000, 0x42),
                                      Bytes{}};
    for (const Bytes &b : commands) EXPECT_TRUE(host_.send_to(sim_->control_port(), b));
    const auto end = std::chrono::steady_clock::now() + kAnswer;
    while (sim_->counters().requests_malformed < commands.size() &&
           std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(sim_->counters().requests_malformed, commands.size());
    EXPECT_FALSE(receiver_.receive(kQuiet).has_value());
    EXPECT_EQ(sim_->counters().resend_requests, 0u);
    const auto answer = ask(standard_command(2, 1, 1, 2), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x0100);
}

}  // namespace
