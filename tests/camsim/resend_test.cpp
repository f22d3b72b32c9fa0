// The packet resend service on the wire: commands sent to the control port from another
// socket, answers read from the stream's destination.
#include <gtest/gtest.h>

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
using camsim_test::UdpSocket;

// Nothing more is expected: how long to listen for a packet that should not come.
constexpr auto kQuiet = std::chrono::milliseconds(150);
constexpr auto kAnswer = std::chrono::seconds(5);

Bytes standard_command(uint16_t block, uint32_t first, uint32_t last, uint16_t channel = 0) {
    Bytes b =
        hex("42 00 00 40 00 0c 12 34 00 00 00 00 00 00 00 00 00 00 00 00"
            " 00 00 00 00 00 00 00 00");  // sent as 28 bytes, as the library does
    b[8] = static_cast<uint8_t>(channel >> 8);
    b[9] = static_cast<uint8_t>(channel);
    b[10] = static_cast<uint8_t>(block >> 8);
    b[11] = static_cast<uint8_t>(block);
    for (int i = 0; i < 4; ++i) {
        b[12 + i] = static_cast<uint8_t>(first >> (24 - 8 * i));
        b[16 + i] = static_cast<uint8_t>(last >> (24 - 8 * i));
    }
    return b;
}

Bytes extended_command(uint64_t block, uint32_t first, uint32_t last) {
    Bytes b = hex("42 10 00 40 00 14 00 09 00 00 00 00");
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(first >> (24 - 8 * i)));
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(last >> (24 - 8 * i)));
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(block >> (56 - 8 * i)));
    return b;
}

// A simulator that has sent all its frames to the receiver, whose packets were read away
// into stream_; commands go to it from another socket.
class Resend : public ::testing::Test {
protected:
    void start(uint64_t frames, uint32_t width, uint32_t height,
               const std::function<void(Config &)> &tweak = {}) {
        Config c;
        c.control_port = 0;
        c.packet_rate = 50000;
        c.dest_port = receiver_.port();
        c.frames = frames;
        c.width = width;
        c.height = height;
        if (tweak) tweak(c);
        sim_ = std::make_unique<Simulator>(c);
        ASSERT_EQ(sim_->start(), "");
        ASSERT_TRUE(sim_->wait_sent(std::chrono::seconds(20)));
        stream_ = receiver_.receive_count(sim_->counters().packets_sent, kAnswer);
        ASSERT_EQ(stream_.size(), sim_->counters().packets_sent);
    }
    // What arrives in answer to one command: the `expected` packets, and any more that come
    // soon after them.
    std::vector<Packet> ask(const Bytes &command, size_t expected) {
        EXPECT_TRUE(host_.send_to(sim_->control_port(), command));
        std::vector<Packet> out;
        for (const Bytes &d : receiver_.receive_count(expected, kAnswer)) {
            out.push_back(*read_packet(d));
        }
        for (const Bytes &d : receiver_.drain(kQuiet)) out.push_back(*read_packet(d));
        return out;
    }
    // The first sending of a packet of `block` in `format` (the last one that matches).
    std::optional<Packet> first_sent(uint64_t block, uint8_t format, uint32_t packet_id) {
        std::optional<Packet> found;
        for (const Bytes &d : stream_) {
            auto q = read_packet(d);
            if (q && q->block_id == block && q->format == format && q->packet_id == packet_id) {
                found = std::move(q);
            }
        }
        return found;
    }
    // Sends every command and waits until `counter` (read from the counters) reaches their
    // number; then nothing may arrive.
    void expect_silent(const std::vector<Bytes> &commands, uint64_t Counters::*counter) {
        for (const Bytes &b : commands) EXPECT_TRUE(host_.send_to(sim_->control_port(), b));
        const auto end = std::chrono::steady_clock::now() + kAnswer;
        while (sim_->counters().*counter < commands.size() &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(sim_->counters().*counter, commands.size());
        EXPECT_FALSE(receiver_.receive(kQuiet).has_value());
        EXPECT_EQ(sim_->counters().resend_requests, 0u);
        EXPECT_EQ(sim_->counters().packets_resent, 0u);
    }

    UdpSocket receiver_;
    UdpSocket host_;
    std::unique_ptr<Simulator> sim_;
    std::vector<Bytes> stream_;
};

TEST_F(Resend, TheExampleCommandGetsExactlyThatPacketMarkedAsResent) {
    // 92 bytes a packet: 320 x 300 Mono8 takes 1044 payload packets.
    start(1, 320, 300, [](Config &c) {
        c.first_block_id = 66;
        c.packet_size = 100;
    });
    ASSERT_EQ(sim_->trailer_packet_id(), 1045u);
    const auto answer = ask(hex("42 00 00 40 00 0c 1f 70 00 00 00 42 00 00 03 ef 00 00 03 ef"), 1);
    ASSERT_EQ(answer.size(), 1u);
    const Packet &p = answer[0];
    EXPECT_FALSE(p.extended);
    EXPECT_EQ(p.status, 0x0100);
    EXPECT_EQ(p.block_id, 66u);
    EXPECT_EQ(p.packet_id, 1007u);
    EXPECT_EQ(p.format, 3);
    const Bytes frame = sim_->expected_payload(0);
    EXPECT_EQ(p.body, Bytes(frame.begin() + 1006 * 92, frame.begin() + 1007 * 92));
    // The first sending of that packet had the same data.
    const auto first = first_sent(66, 3, 1007);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->status, 0);
    EXPECT_EQ(first->body, p.body);
    const Counters n = sim_->counters();
    EXPECT_EQ(n.resend_requests, 1u);
    EXPECT_EQ(n.packets_resent, 1u);
    EXPECT_EQ(n.bytes_resent, 100u);
    EXPECT_EQ(n.error_packets, 0u);
}

TEST_F(Resend, ExtendedIdsResendWithTheResentFlag) {
    start(8, 100, 100, [](Config &c) {
        c.extended_ids = true;
        c.first_block_id = 0x100000000ull;
    });
    const auto answer = ask(extended_command(0x100000005ull, 3, 5), 3);
    ASSERT_EQ(answer.size(), 3u);
    const Bytes frame = sim_->expected_payload(5);
    const uint32_t size = sim_->payload_bytes_per_packet();
    for (uint32_t i = 0; i < 3; ++i) {
        const Packet &p = answer[i];
        EXPECT_TRUE(p.extended);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.flags, 0x0001);
        EXPECT_EQ(p.block_id, 0x100000005ull);
        EXPECT_EQ(p.packet_id, 3 + i);
        EXPECT_EQ(p.body, Bytes(frame.begin() + (2 + i) * size, frame.begin() + (3 + i) * size));
    }
}

TEST_F(Resend, ALastIdBeyondTheBlockMeansToItsEndLeaderAndTrailerIncluded) {
    start(3, 64, 64);  // 4096 bytes: 3 payload packets, trailer 4
    ASSERT_EQ(sim_->trailer_packet_id(), 4u);
    const auto answer = ask(standard_command(2, 0, 0xFFFFFF), 5);
    ASSERT_EQ(answer.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(answer[i].packet_id, i);
        EXPECT_EQ(answer[i].status, 0x0100);
    }
    EXPECT_EQ(answer[0].format, 1);
    EXPECT_EQ(answer[4].format, 2);
    // Leader and trailer are those first sent, timestamp included.
    ASSERT_TRUE(first_sent(2, 1, 0).has_value());
    EXPECT_EQ(first_sent(2, 1, 0)->body, answer[0].body);
    ASSERT_TRUE(first_sent(2, 2, 4).has_value());
    EXPECT_EQ(first_sent(2, 2, 4)->body, answer[4].body);
    Bytes joined;
    for (uint32_t i = 1; i < 4; ++i) {
        joined.insert(joined.end(), answer[i].body.begin(), answer[i].body.end());
    }
    EXPECT_EQ(joined, sim_->expected_payload(1));
}

TEST_F(Resend, FramesNoLongerHeldGetErrorStatusPacketsWithoutData) {
    start(5, 64, 64, [](Config &c) { c.history_frames = 2; });  // blocks 4 and 5 are held
    // Block 1 was sent and fell out: removed from memory, one packet per asked id.
    auto answer = ask(standard_command(1, 1, 3), 3);
    ASSERT_EQ(answer.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(answer[i].status, 0x8012);
        EXPECT_EQ(answer[i].block_id, 1u);
        EXPECT_EQ(answer[i].packet_id, 1 + i);
        EXPECT_TRUE(answer[i].body.empty());
    }
    // "To the end" stops at the trailer.
    answer = ask(standard_command(3, 2, 0xFFFFFF), 3);
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
    // A held block is still served.
    answer = ask(standard_command(4, 1, 1), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x0100);

    const Counters n = sim_->counters();
    EXPECT_EQ(n.resend_requests, 5u);
    EXPECT_EQ(n.error_packets, 3u + 3 + 1 + 1);
    EXPECT_EQ(n.packets_resent, 1u);
}

TEST_F(Resend, ExtendedRangeErrorsCarryTheRangeErrorFlag) {
    start(1, 16, 16, [](Config &c) { c.extended_ids = true; });
    const auto answer = ask(extended_command(1, 50, 0xFFFFFFFF), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x800C);
    EXPECT_EQ(answer[0].flags, 0x0004);
    EXPECT_TRUE(answer[0].body.empty());
}

TEST_F(Resend, IgnoreModeCountsButAnswersNothing) {
    start(2, 16, 16, [](Config &c) { c.ignore_resend = true; });
    expect_silent({standard_command(1, 1, 1), standard_command(2, 0, 0xFFFFFF)},
                  &Counters::requests_ignored);
}

TEST_F(Resend, MalformedCommandsAreCountedAndIgnored) {
    start(2, 16, 16, [](Config &c) { c.channel = 2; });
    Bytes bad_key = standard_command(1, 1, 1, 2);
    bad_key[0] = 0x43;
    Bytes truncated = standard_command(1, 1, 1, 2);
    truncated.resize(19);
    expect_silent(
        {
            bad_key, truncated, standard_command(1, 5, 4, 2),  // last before first
            standard_command(1, 1, 1, 0),                      // another channel
            extended_command(1, 1, 1),     // extended ids on a standard-id stream
            standard_command(0, 1, 1, 2),  // block 0
            Bytes(2000, 0x42),             // far too long
            Bytes{},                       // empty
        },
        &Counters::requests_malformed);
    // The service goes on: a good command is still answered.
    const auto answer = ask(standard_command(2, 1, 1, 2), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x0100);
}

}  // namespace
