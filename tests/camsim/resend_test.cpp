// The packet resend service on the wire: commands sent to the control port from another
// socket, answers read from the stream's destination.
#include <gtest/gtest.h>

#include <thread>

#include "camsim/camsim.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::be64;
using camsim_test::Bytes;
using camsim_test::hex;
using camsim_test::Packet;
using camsim_test::read_packet;
using camsim_test::UdpSocket;

// Nothing more is expected: how long to listen for a packet that should not come.
constexpr auto kQuiet = std::chrono::milliseconds(150);
constexpr auto kAnswer = std::chrono::seconds(5);

// A simulator that has sent all its frames to `receiver`, whose packets were read away.
Config aimed(Config c, uint16_t port) {
    c.dest_port = port;
    return c;
}

struct Sent {
    Sent(const Config &c, UdpSocket &receiver) : sim(aimed(c, receiver.port())) {
        EXPECT_EQ(sim.start(), "");
        EXPECT_TRUE(sim.wait_sent(std::chrono::seconds(20)));
        stream = receiver.receive_count(sim.counters().packets_sent, kAnswer);
        EXPECT_EQ(stream.size(), sim.counters().packets_sent);
    }
    Simulator sim;
    std::vector<Bytes> stream;
};

Config base() {
    Config c;
    c.control_port = 0;
    c.packet_rate = 50000;
    return c;
}

// What arrives in answer to one command: the `expected` packets, and any more that come
// soon after them.
std::vector<Packet> ask(UdpSocket &receiver, UdpSocket &host, uint16_t control_port,
                        const Bytes &command, size_t expected) {
    EXPECT_TRUE(host.send_to(control_port, command));
    std::vector<Packet> out;
    for (const Bytes &d : receiver.receive_count(expected, kAnswer)) out.push_back(*read_packet(d));
    for (const Bytes &d : receiver.drain(kQuiet)) out.push_back(*read_packet(d));
    return out;
}

// Waits until the simulator counted `n` malformed or ignored commands.
template <typename Read>
bool wait_count(Read read, uint64_t n) {
    const auto end = std::chrono::steady_clock::now() + kAnswer;
    while (std::chrono::steady_clock::now() < end) {
        if (read() >= n) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

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

TEST(Resend, TheExampleCommandGetsExactlyThatPacketMarkedAsResent) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.first_block_id = 66;
    c.frames = 1;
    c.packet_size = 100;  // 92 bytes a packet: 320 x 300 Mono8 takes 1044 payload packets
    c.width = 320;
    c.height = 300;
    Sent s(c, receiver);
    ASSERT_EQ(s.sim.trailer_packet_id(), 1045u);

    const auto answer = ask(receiver, host, s.sim.control_port(),
                            hex("42 00 00 40 00 0c 1f 70 00 00 00 42 00 00 03 ef 00 00 03 ef"), 1);
    ASSERT_EQ(answer.size(), 1u);
    const Packet &p = answer[0];
    EXPECT_FALSE(p.extended);
    EXPECT_EQ(p.status, 0x0100);
    EXPECT_EQ(p.block_id, 66u);
    EXPECT_EQ(p.packet_id, 1007u);
    EXPECT_EQ(p.format, 3);
    const Bytes frame = s.sim.expected_payload(0);
    EXPECT_EQ(p.body, Bytes(frame.begin() + 1006 * 92, frame.begin() + 1007 * 92));
    // The first sending of that packet had the same data.
    bool found = false;
    for (const Bytes &d : s.stream) {
        const auto q = read_packet(d);
        if (q && q->packet_id == 1007 && q->format == 3) {
            EXPECT_EQ(q->status, 0);
            EXPECT_EQ(q->body, p.body);
            found = true;
        }
    }
    EXPECT_TRUE(found);
    const Counters n = s.sim.counters();
    EXPECT_EQ(n.resend_requests, 1u);
    EXPECT_EQ(n.packets_resent, 1u);
    EXPECT_EQ(n.bytes_resent, 100u);
    EXPECT_EQ(n.error_packets, 0u);
}

TEST(Resend, ExtendedIdsResendWithTheResentFlag) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.extended_ids = true;
    c.first_block_id = 0x100000000ull;
    c.frames = 8;
    c.width = 100;
    c.height = 100;
    Sent s(c, receiver);
    const auto answer =
        ask(receiver, host, s.sim.control_port(), extended_command(0x100000005ull, 3, 5), 3);
    ASSERT_EQ(answer.size(), 3u);
    const Bytes frame = s.sim.expected_payload(5);
    const uint32_t size = s.sim.payload_bytes_per_packet();
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

TEST(Resend, ALastIdBeyondTheBlockMeansToItsEndLeaderAndTrailerIncluded) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.frames = 3;
    c.width = 64;
    c.height = 64;  // 4096 bytes: 3 payload packets, trailer 4
    Sent s(c, receiver);
    ASSERT_EQ(s.sim.trailer_packet_id(), 4u);
    const auto answer =
        ask(receiver, host, s.sim.control_port(), standard_command(2, 0, 0xFFFFFF), 5);
    ASSERT_EQ(answer.size(), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(answer[i].packet_id, i);
        EXPECT_EQ(answer[i].status, 0x0100);
    }
    EXPECT_EQ(answer[0].format, 1);
    EXPECT_EQ(answer[4].format, 2);
    // Leader and trailer are those first sent, timestamp included.
    for (const Bytes &d : s.stream) {
        const auto q = read_packet(d);
        if (q && q->block_id == 2 && q->format == 1) {
            EXPECT_EQ(q->body, answer[0].body);
        }
        if (q && q->block_id == 2 && q->format == 2) {
            EXPECT_EQ(q->body, answer[4].body);
        }
    }
    Bytes joined;
    for (uint32_t i = 1; i < 4; ++i) {
        joined.insert(joined.end(), answer[i].body.begin(), answer[i].body.end());
    }
    EXPECT_EQ(joined, s.sim.expected_payload(1));
}

TEST(Resend, FramesNoLongerHeldGetErrorStatusPacketsWithoutData) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.frames = 5;
    c.history_frames = 2;  // frames 3 and 4 (blocks 4 and 5) are held
    c.width = 64;
    c.height = 64;
    Sent s(c, receiver);
    const uint16_t port = s.sim.control_port();

    // Block 1 was sent and fell out: removed from memory, one packet per asked id.
    auto answer = ask(receiver, host, port, standard_command(1, 1, 3), 3);
    ASSERT_EQ(answer.size(), 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(answer[i].status, 0x8012);
        EXPECT_EQ(answer[i].block_id, 1u);
        EXPECT_EQ(answer[i].packet_id, 1 + i);
        EXPECT_TRUE(answer[i].body.empty());
    }
    // "To the end" stops at the trailer.
    answer = ask(receiver, host, port, standard_command(3, 2, 0xFFFFFF), 3);
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(answer[2].packet_id, 4u);
    EXPECT_EQ(answer[2].format, 2);
    // Block 9 was never sent: unavailable.
    answer = ask(receiver, host, port, standard_command(9, 1, 1), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x800C);
    // Packets past the trailer of a held block: one unavailable packet for the range.
    answer = ask(receiver, host, port, standard_command(5, 7, 9), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x800C);
    EXPECT_EQ(answer[0].packet_id, 7u);
    // A held block is still served.
    answer = ask(receiver, host, port, standard_command(4, 1, 1), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x0100);

    const Counters n = s.sim.counters();
    EXPECT_EQ(n.resend_requests, 5u);
    EXPECT_EQ(n.error_packets, 3u + 3 + 1 + 1);
    EXPECT_EQ(n.packets_resent, 1u);
}

TEST(Resend, ExtendedRangeErrorsCarryTheRangeErrorFlag) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.extended_ids = true;
    c.frames = 1;
    c.width = 16;
    c.height = 16;
    Sent s(c, receiver);
    const auto answer =
        ask(receiver, host, s.sim.control_port(), extended_command(1, 50, 0xFFFFFFFF), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x800C);
    EXPECT_EQ(answer[0].flags, 0x0004);
    EXPECT_TRUE(answer[0].body.empty());
}

TEST(Resend, IgnoreModeCountsButAnswersNothing) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.frames = 2;
    c.width = 16;
    c.height = 16;
    c.ignore_resend = true;
    Sent s(c, receiver);
    EXPECT_TRUE(host.send_to(s.sim.control_port(), standard_command(1, 1, 1)));
    EXPECT_TRUE(host.send_to(s.sim.control_port(), standard_command(2, 0, 0xFFFFFF)));
    EXPECT_TRUE(wait_count([&] { return s.sim.counters().requests_ignored; }, 2));
    EXPECT_FALSE(receiver.receive(kQuiet).has_value());
    EXPECT_EQ(s.sim.counters().resend_requests, 0u);
    EXPECT_EQ(s.sim.counters().packets_resent, 0u);
}

TEST(Resend, MalformedCommandsAreCountedAndIgnored) {
    UdpSocket receiver;
    UdpSocket host;
    Config c = base();
    c.frames = 2;
    c.width = 16;
    c.height = 16;
    c.channel = 2;
    Sent s(c, receiver);
    const uint16_t port = s.sim.control_port();
    Bytes bad_key = standard_command(1, 1, 1, 2);
    bad_key[0] = 0x43;
    Bytes truncated = standard_command(1, 1, 1, 2);
    truncated.resize(19);
    Bytes reversed = standard_command(1, 5, 4, 2);
    const std::vector<Bytes> bad = {
        bad_key,
        truncated,
        reversed,
        standard_command(1, 1, 1, 0),  // another channel
        extended_command(1, 1, 1),     // extended ids on a standard-id stream
        standard_command(0, 1, 1, 2),  // block 0
        Bytes(2000, 0x42),             // far too long
        Bytes{},                       // empty
    };
    for (const Bytes &b : bad) EXPECT_TRUE(host.send_to(port, b));
    EXPECT_TRUE(wait_count([&] { return s.sim.counters().requests_malformed; }, bad.size()));
    EXPECT_FALSE(receiver.receive(kQuiet).has_value());
    EXPECT_EQ(s.sim.counters().requests_malformed, bad.size());
    EXPECT_EQ(s.sim.counters().resend_requests, 0u);
    // The service goes on: a good command is still answered.
    const auto answer = ask(receiver, host, port, standard_command(2, 1, 1, 2), 1);
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].status, 0x0100);
}

}  // namespace
