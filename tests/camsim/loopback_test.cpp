// The simulator on the wire: a UDP socket on 127.0.0.1 receives its packets and puts the
// blocks together; every block equals the expected bytes of its frame. Faults on the wire
// are those the seed plans, run after run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <thread>

#include "camsim/camsim.h"
#include "camsim/faults.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::be16;
using camsim_test::be32;
using camsim_test::be64;
using camsim_test::Bytes;
using camsim_test::Packet;
using camsim_test::read_packet;
using camsim_test::Reassembler;
using camsim_test::UdpSocket;

constexpr auto kWait = std::chrono::seconds(20);

Config to(const UdpSocket &receiver) {
    Config c;
    c.dest_port = receiver.port();
    c.control_port = 0;
    // Paced so that a loaded machine's receiver keeps up: nothing may be lost here.
    c.packet_rate = 50000;
    return c;
}

// Runs the simulator to its end and returns every packet the receiver got.
std::vector<Packet> run(Simulator &sim, UdpSocket &receiver) {
    EXPECT_EQ(sim.start(), "");
    std::vector<Bytes> datagrams;
    // Read while it sends, so that the socket never overflows.
    while (sim.sending()) {
        if (auto d = receiver.receive(std::chrono::milliseconds(20))) {
            datagrams.push_back(std::move(*d));
        }
    }
    EXPECT_TRUE(sim.wait_sent(kWait));
    const uint64_t sent = sim.counters().packets_sent;
    if (datagrams.size() < sent) {
        for (Bytes &d : receiver.receive_count(sent - datagrams.size(), kWait)) {
            datagrams.push_back(std::move(d));
        }
    }
    sim.stop();
    std::vector<Packet> packets;
    for (const Bytes &d : datagrams) {
        auto p = read_packet(d);
        EXPECT_TRUE(p.has_value());
        if (p) packets.push_back(std::move(*p));
    }
    return packets;
}

struct StreamCase {
    const char *name;
    PayloadKind kind;
    PixelFormat format;
    bool extended;
    uint32_t packet_size;
};

void PrintTo(const StreamCase &s, std::ostream *os) {
    *os << s.name;
}

class Streams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Streams, EveryBlockEqualsTheExpectedBytesOfItsFrame) {
    const StreamCase &s = GetParam();
    UdpSocket receiver;
    Config c = to(receiver);
    c.payload = s.kind;
    c.pixel_format = s.format;
    c.extended_ids = s.extended;
    c.packet_size = s.packet_size;
    c.width = 97;
    c.height = 61;
    c.data_size = 20011;
    c.frames = 3;
    c.first_block_id = s.extended ? 0xFFFFFFFFFFFFFFFEull : 65534;  // crosses the wrap
    Simulator sim(c);
    const std::vector<Packet> packets = run(sim, receiver);

    const uint32_t data_per_packet = s.packet_size - (s.extended ? 20 : 8);
    EXPECT_EQ(sim.payload_bytes_per_packet(), data_per_packet);
    Reassembler blocks(data_per_packet);
    uint64_t bytes = 0;
    for (const Packet &p : packets) {
        EXPECT_EQ(p.extended, s.extended);
        EXPECT_EQ(p.status, 0);
        EXPECT_EQ(p.flags, 0);
        EXPECT_TRUE(blocks.add(p));
        bytes += p.body.size() + (s.extended ? 20 : 8);
    }
    const uint64_t ids[3] = {s.extended ? 0xFFFFFFFFFFFFFFFEull : 65534,
                             s.extended ? 0xFFFFFFFFFFFFFFFFull : 65535, 1};
    ASSERT_EQ(blocks.blocks(), 3u);
    for (uint64_t frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(sim.block_id_for_frame(frame), ids[frame]);
        const auto block = blocks.block(ids[frame]);
        ASSERT_TRUE(block.has_value()) << "frame " << frame;
        ASSERT_TRUE(block->complete()) << "frame " << frame;
        EXPECT_EQ(block->payload, sim.expected_payload(frame)) << "frame " << frame;
        EXPECT_EQ(be16(&block->leader_body[2]), payload_type_code(s.kind));
        EXPECT_EQ(be16(&block->trailer_body[2]), payload_type_code(s.kind));
        if (s.kind == PayloadKind::image) {
            EXPECT_EQ(be32(&block->leader_body[12]), static_cast<uint32_t>(s.format));
            EXPECT_EQ(be32(&block->leader_body[16]), 97u);
            EXPECT_EQ(be32(&block->leader_body[20]), 61u);
            EXPECT_EQ(be32(&block->trailer_body[4]), 61u);
        }
        if (s.kind == PayloadKind::raw) {
            EXPECT_EQ(be64(&block->leader_body[12]), 20011u);
        }
    }
    // A receiver that knows only block ids finds the frames.
    EXPECT_EQ(sim.frame_of_block(ids[2]), 2u);
    EXPECT_EQ(sim.frame_of_block(ids[0]), 0u);
    EXPECT_EQ(sim.frame_of_block(2), std::nullopt);  // after the wrap, not reached
    const Counters n = sim.counters();
    EXPECT_EQ(n.frames_sent, 3u);
    EXPECT_EQ(n.packets_sent, packets.size());
    EXPECT_EQ(n.packets_sent, 3u * (sim.trailer_packet_id() + 1));
    EXPECT_EQ(n.bytes_sent, bytes);
    EXPECT_EQ(n.send_errors, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Streams,
    ::testing::Values(StreamCase{"mono8_std", PayloadKind::image, PixelFormat::mono8, false, 1400},
                      StreamCase{"rgb8_ext", PayloadKind::image, PixelFormat::rgb8, true, 1400},
                      StreamCase{"rgb8_jumbo", PayloadKind::image, PixelFormat::rgb8, false, 8192},
                      StreamCase{"raw_std", PayloadKind::raw, PixelFormat::mono8, false, 1000},
                      StreamCase{"raw_ext_jumbo", PayloadKind::raw, PixelFormat::mono8, true, 9000},
                      StreamCase{"file_ext", PayloadKind::file, PixelFormat::mono8, true, 576},
                      StreamCase{"chunk_std", PayloadKind::chunk, PixelFormat::mono8, false, 1400},
                      StreamCase{"extended_chunk_ext", PayloadKind::extended_chunk,
                                 PixelFormat::rgb8, true, 1400},
                      StreamCase{"image_chunk_std", PayloadKind::image_extended_chunk,
                                 PixelFormat::mono8, false, 1400}),
    [](const auto &info) { return std::string(info.param.name); });

// The packet ids the receiver got for each block, in arrival order.
std::vector<std::vector<uint32_t>> ids_by_frame(const std::vector<Packet> &packets,
                                                const Simulator &sim, uint64_t frames) {
    std::vector<std::vector<uint32_t>> out(frames);
    for (const Packet &p : packets) {
        for (uint64_t f = 0; f < frames; ++f) {
            if (sim.block_id_for_frame(f) == p.block_id) out[f].push_back(p.packet_id);
        }
    }
    return out;
}

TEST(Faults, TheWireCarriesExactlyWhatTheSeedPlans) {
    constexpr uint64_t kFrames = 6;
    std::vector<std::vector<uint32_t>> first;
    for (int round = 0; round < 2; ++round) {
        UdpSocket receiver;
        Config c = to(receiver);
        c.width = 200;
        c.height = 100;
        c.frames = kFrames;
        c.faults.seed = 2024;
        c.faults.loss_per_mille = 60;
        c.faults.duplicate_per_mille = 40;
        c.faults.reorder_per_mille = 40;
        c.faults.leader_loss_per_mille = 300;
        c.faults.drops = {{2, 3}};
        Simulator sim(c);
        const std::vector<Packet> packets = run(sim, receiver);
        const auto got = ids_by_frame(packets, sim, kFrames);

        FaultPlan plan(c.faults);
        uint64_t withheld = 0;
        uint64_t duplicated = 0;
        uint64_t reordered = 0;
        for (uint64_t f = 0; f < kFrames; ++f) {
            plan.begin_frame(f, sim.trailer_packet_id());
            std::vector<uint32_t> want;
            uint32_t id = 0;
            while (plan.next(&id)) want.push_back(id);
            EXPECT_EQ(got[f], want) << "frame " << f << " round " << round;
            withheld += plan.withheld();
            duplicated += plan.duplicated();
            reordered += plan.reordered();
        }
        EXPECT_TRUE(std::find(got[2].begin(), got[2].end(), 3u) == got[2].end());
        const Counters n = sim.counters();
        EXPECT_EQ(n.packets_withheld, withheld);
        EXPECT_EQ(n.packets_duplicated, duplicated);
        EXPECT_EQ(n.packets_reordered, reordered);
        EXPECT_GT(withheld, 0u);
        EXPECT_GT(duplicated, 0u);
        EXPECT_GT(reordered, 0u);
        if (round == 0) {
            first = got;
        } else {
            EXPECT_EQ(got, first);
        }
    }
}

TEST(Streams, AMulticastGroupOnTheLoopbackInterfaceGetsEveryBlock) {
    UdpSocket receiver("239.255.42.99");
    if (!receiver.valid()) GTEST_SKIP() << "this host cannot join a multicast group on lo";
    Config c = to(receiver);
    c.dest_address = "239.255.42.99";
    c.multicast_interface = "127.0.0.1";  // never out of this machine
    c.width = 100;
    c.height = 50;
    c.frames = 2;
    Simulator sim(c);
    const std::vector<Packet> packets = run(sim, receiver);
    Reassembler blocks(sim.payload_bytes_per_packet());
    for (const Packet &p : packets) blocks.add(p);
    for (uint64_t frame = 0; frame < 2; ++frame) {
        const auto block = blocks.block(sim.block_id_for_frame(frame));
        ASSERT_TRUE(block && block->complete());
        EXPECT_EQ(block->payload, sim.expected_payload(frame));
    }
}

TEST(Pacing, PacketRateSpreadsThePackets) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.packet_rate = 2000;  // 2 packets a millisecond
    c.payload = PayloadKind::raw;
    c.data_size = 1392 * 398;  // 400 packets a frame: at least 199 ms
    c.frames = 1;
    Simulator sim(c);
    const auto start = std::chrono::steady_clock::now();
    const std::vector<Packet> packets = run(sim, receiver);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(packets.size(), 400u);
}

TEST(Pacing, FrameRateSpreadsTheFrames) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.packet_rate = 0;
    c.width = 32;
    c.height = 32;
    c.frames = 6;
    c.frame_rate = 20;  // 50 ms apart: five gaps take at least 250 ms
    Simulator sim(c);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(sim.start(), "");
    ASSERT_TRUE(sim.wait_sent(kWait));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(240));
    EXPECT_EQ(sim.counters().frames_sent, 6u);
    EXPECT_EQ(receiver.receive_count(6u * (sim.trailer_packet_id() + 1), kWait).size(),
              6u * (sim.trailer_packet_id() + 1));
}

TEST(Pacing, ADurationEndsAnEndlessStreamAndStopEndsItAtOnce) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.packet_rate = 2000;
    c.width = 16;
    c.height = 16;
    c.duration_ms = 200;
    Simulator timed(c);
    ASSERT_EQ(timed.start(), "");
    EXPECT_TRUE(timed.wait_sent(kWait));
    EXPECT_GT(timed.counters().frames_sent, 0u);
    timed.stop();

    c.duration_ms = 0;
    c.frame_rate = 0.5;  // one frame, then a two-second wait that stop cuts short
    Simulator endless(c);
    ASSERT_EQ(endless.start(), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(endless.sending());
    const auto start = std::chrono::steady_clock::now();
    endless.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_FALSE(endless.sending());
    EXPECT_EQ(endless.counters().frames_sent, 1u);
}

TEST(Simulator, StartReportsWhatCannotBeOpened) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.frames = 1;
    Simulator first(c);
    ASSERT_EQ(first.start(), "");
    EXPECT_NE(first.start(), "");  // once only
    ASSERT_NE(first.control_port(), 0);

    // The control port is taken by the first simulator.
    Config clash = c;
    clash.control_port = first.control_port();
    Simulator second(clash);
    const std::string error = second.start();
    EXPECT_NE(error.find("control port"), std::string::npos) << error;

    Config bad = c;
    bad.dest_address = "127.0.0.256";
    EXPECT_NE(Simulator(bad).start(), "");
    first.stop();
}

TEST(Simulator, ValidateNamesTheFirstProblem) {
    Config c;
    EXPECT_EQ(validate(c), "");
    const auto broken = [](auto change) {
        Config b;
        change(b);
        return validate(b);
    };
    EXPECT_NE(broken([](Config &b) { b.dest_port = 0; }), "");
    EXPECT_NE(broken([](Config &b) { b.source_address = "host"; }), "");
    EXPECT_NE(broken([](Config &b) { b.width = 0; }), "");
    EXPECT_NE(broken([](Config &b) { b.height = 70000; }), "");
    EXPECT_NE(broken([](Config &b) { b.first_block_id = 0; }), "");
    EXPECT_NE(broken([](Config &b) { b.first_block_id = 65536; }), "");
    EXPECT_EQ(broken([](Config &b) {
                  b.first_block_id = 65536;
                  b.extended_ids = true;
              }),
              "");
    EXPECT_NE(broken([](Config &b) { b.packet_rate = -1; }), "");
    EXPECT_NE(broken([](Config &b) { b.frame_rate = std::nan(""); }), "");
    EXPECT_NE(broken([](Config &b) { b.batch_packets = 0; }), "");
    EXPECT_NE(broken([](Config &b) { b.history_frames = 0; }), "");
    EXPECT_NE(broken([](Config &b) { b.faults.loss_per_mille = 1001; }), "");
    EXPECT_NE(broken([](Config &b) {
                  b.faults.reorder_per_mille = 1;
                  b.faults.reorder_distance = 65;
              }),
              "");
    EXPECT_NE(broken([](Config &b) {
                  b.faults.burst_per_mille = 1;
                  b.faults.burst_length = 0;
              }),
              "");
    EXPECT_NE(broken([](Config &b) {
                  b.payload = PayloadKind::raw;
                  b.data_size = 0;
              }),
              "");
}

}  // namespace
