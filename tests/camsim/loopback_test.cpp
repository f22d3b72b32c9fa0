// The simulator on the wire: a UDP socket on 127.0.0.1 receives its packets, which carry the
// expected bytes of their frames, exactly as the seeded faults plan; pacing, and what it
// refuses to start with.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "camsim/camsim.h"
#include "camsim/faults.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::Packet;
using camsim_test::UdpSocket;

constexpr auto kWait = std::chrono::seconds(20);

Config to(const UdpSocket &receiver) {
    Config c;
    c.dest_port = receiver.port();
    c.control_port = 0;
    c.packet_rate = 50000;  // so that a loaded machine's receiver keeps up: nothing is lost
    return c;
}

// Runs the simulator to its end and returns every packet the receiver got.
std::vector<Packet> run(Simulator &sim, UdpSocket &receiver) {
    EXPECT_EQ(sim.start(), "");
    std::vector<Bytes> datagrams;
    while (sim.sending()) {  // read while it sends, so that the socket never overflows
        if (auto d = receiver.receive(std::chrono::milliseconds(20))) datagrams.push_back(*d);
    }
    EXPECT_TRUE(sim.wait_sent(kWait));
    const uint64_t sent = sim.counters().packets_sent;
    for (Bytes &d :
         receiver.receive_count(sent - std::min<uint64_t>(sent, datagrams.size()), kWait)) {
        datagrams.push_back(std::move(d));
    }
    sim.stop();
    std::vector<Packet> packets;
    for (const Bytes &d : datagrams) packets.push_back(camsim_test::read_packet(d).value());
    return packets;
}

TEST(Wire, PacketsCarryTheirFramesBytesExactlyAsTheSeedPlans) {
    for (const bool extended : {false, true}) {
        SCOPED_TRACE(extended ? "extended ids, no faults" : "standard ids, faults");
        UdpSocket receiver;
        Config c = to(receiver);
        c.extended_ids = extended;
        c.pixel_format = extended ? PixelFormat::rgb8 : PixelFormat::mono8;
        c.packet_size = extended ? 6020 : 1400;  // 6000 bytes of data each: 10 whole packets
        c.width = 200;
        c.height = 100;
        c.frames = 6;
        c.first_block_id = extended ? UINT64_MAX - 1 : 65534;  // across the wrap
        if (!extended) {
            c.faults.seed = 2024;
            c.faults.loss_per_mille = 60;
            c.faults.duplicate_per_mille = 40;
            c.faults.reorder_per_mille = 40;
            c.faults.leader_loss_per_mille = 300;
            c.faults.drops = {{2, 3}};
        }
        Simulator sim(c);
        const std::vector<Packet> packets = run(sim, receiver);
        const uint32_t per_packet = sim.payload_bytes_per_packet();
        EXPECT_EQ(per_packet, c.packet_size - (extended ? 20 : 8));
        EXPECT_EQ(sim.trailer_packet_id(), extended ? 11u : 16u);
        std::vector<std::vector<uint32_t>> got(6);
        uint64_t bytes = 0;
        for (const Packet &p : packets) {
            EXPECT_EQ(p.extended, extended);
            EXPECT_EQ(p.status | p.flags, 0);
            const auto frame = sim.frame_of_block(p.block_id);
            ASSERT_TRUE(frame.has_value()) << p.block_id;
            got[*frame].push_back(p.packet_id);
            bytes += p.body.size() + (extended ? 20 : 8);
            if (p.format != 3) continue;
            const Bytes all = sim.expected_payload(*frame);
            const size_t at = size_t{p.packet_id - 1} * per_packet;
            ASSERT_LE(at + p.body.size(), all.size());
            EXPECT_TRUE(std::equal(p.body.begin(), p.body.end(), all.begin() + at));
            EXPECT_TRUE(p.body.size() == per_packet || at + p.body.size() == all.size());
        }
        FaultPlan plan(c.faults);
        uint64_t withheld = 0, duplicated = 0, reordered = 0, planned = 0;
        for (uint64_t f = 0; f < 6; ++f) {
            plan.begin_frame(f, sim.trailer_packet_id());
            std::vector<uint32_t> want;
            for (uint32_t id = 0; plan.next(&id);) want.push_back(id);
            EXPECT_EQ(got[f], want) << "frame " << f;
            withheld += plan.withheld();
            duplicated += plan.duplicated();
            reordered += plan.reordered();
            planned += want.size();
        }
        EXPECT_EQ(sim.block_id_for_frame(2), 1u);
        const Counters n = sim.counters();
        EXPECT_EQ(n.frames_sent, 6u);
        EXPECT_EQ(n.packets_sent, packets.size());
        EXPECT_EQ(n.packets_sent, planned);
        EXPECT_EQ(n.bytes_sent, bytes);
        EXPECT_EQ(n.send_errors, 0u);
        EXPECT_EQ(n.packets_withheld, withheld);
        EXPECT_EQ(n.packets_duplicated, duplicated);
        EXPECT_EQ(n.packets_reordered, reordered);
        EXPECT_EQ(withheld > 0 && duplicated > 0 && reordered > 0, !extended);
    }
}

TEST(Pacing, PacketAndFrameRatesSpreadThePackets) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.packet_rate = 2000;  // 2 packets a millisecond
    c.payload = PayloadKind::raw;
    c.data_size = 1392 * 398;  // 400 packets a frame: at least 199 ms
    c.frames = 1;
    Simulator packets(c);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(packets, receiver).size(), 400u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));

    c.packet_rate = 0;
    c.data_size = 1000;
    c.frames = 6;
    c.frame_rate = 20;  // 50 ms apart: five gaps take at least 250 ms
    Simulator frames(c);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(run(frames, receiver).size(), 6u * 3);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(240));
}

TEST(Pacing, ADurationEndsAnEndlessStreamAndStopEndsItAtOnce) {
    UdpSocket receiver;
    Config c = to(receiver);
    c.packet_rate = 2000;
    c.width = c.height = 16;
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
    Config clash = c;              // the control port is taken by the first simulator
    clash.control_port = first.control_port();
    const std::string error = Simulator(clash).start();
    EXPECT_NE(error.find("control port"), std::string::npos) << error;
    c.dest_address = "127.0.0.256";
    EXPECT_NE(Simulator(c).start(), "");
    first.stop();
}

TEST(Simulator, ValidateNamesTheFirstProblem) {
    EXPECT_EQ(validate(Config{}), "");
    void (*const broken[])(Config &) = {
        [](Config &b) { b.dest_port = 0; },
        [](Config &b) { b.source_address = "host"; },
        [](Config &b) { b.width = 0; },
        [](Config &b) { b.height = 70000; },
        [](Config &b) { b.first_block_id = 0; },
        [](Config &b) { b.first_block_id = 65536; },
        [](Config &b) { b.packet_rate = -1; },
        [](Config &b) { b.frame_rate = std::nan(""); },
        [](Config &b) { b.batch_packets = 0; },
        [](Config &b) { b.history_frames = 0; },
        [](Config &b) { b.faults.loss_per_mille = 1001; },
        [](Config &b) { b.faults.reorder_per_mille = 1, b.faults.reorder_distance = 65; },
        [](Config &b) { b.faults.burst_per_mille = 1, b.faults.burst_length = 0; },
        [](Config &b) { b.payload = PayloadKind::raw, b.data_size = 0; },
    };
    for (size_t i = 0; i < std::size(broken); ++i) {
        Config c;
        broken[i](c);
        EXPECT_NE(validate(c), "") << "change " << i;
    }
    Config wide;
    wide.first_block_id = 65536;
    wide.extended_ids = true;
    EXPECT_EQ(validate(wide), "");
}

}  // namespace
