// The simulator on the wire, seen by an independent decoder: the datagrams it sent (first
// sendings and a packet resent on a PACKETRESEND command) are written to a pcap file and decoded
// by tshark's GVSP dissector, whose fields must be what was meant. The resent packet carries what
// was first sent, a run with seeded faults sends exactly what its fault plan says, and full
// packets are as long as the packet size says.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "camsim/camsim.h"
#include "camsim/faults.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::Decoded;
using camsim_test::hex;
using camsim_test::number;

constexpr uint16_t kFirstPort = 50000;

const char *const kFields[] = {
    "udp.dstport",      "gvsp.status",     "gvsp.blockid16",
    "gvsp.blockid64",   "gvsp.flags",      "gvsp.format",
    "gvsp.packetid24",  "gvsp.packetid32", "gvsp.payloadtype",
    "gvsp.timestamp",   "gvsp.pixel",      "gvsp.sizex",
    "gvsp.sizey",       "gvsp.filename",   "gvsp.chunkdatapayloadlengthhex",
    "gvsp.payloaddata",
};

// A GVSP packet as these tests read it: the header is 20 bytes long with extended ids, else 8.
struct Packet {
    uint64_t block_id = 0;
    uint32_t packet_id = 0;
    uint8_t format = 0;
    Bytes body;
};

Packet read_packet(const Bytes &d) {
    const bool extended = d.size() >= 20 && (d[4] & 0x80) != 0;
    const size_t header = extended ? 20 : 8;
    if (d.size() < header) return {};
    return {extended ? qel::load_be64(&d[8]) : qel::load_be16(&d[2]),
            extended ? qel::load_be32(&d[16]) : qel::load_be32(&d[4]) & 0xFFFFFF,
            static_cast<uint8_t>(d[4] & 0x0F), Bytes(d.begin() + header, d.end())};
}

// The next `count` datagrams, each awaited for at most five seconds.
void receive(camsim_test::UdpSocket &socket, size_t count, std::vector<Bytes> *into) {
    for (size_t n = 0; n < count; ++n) {
        auto d = socket.receive(std::chrono::seconds(5));
        if (!d) return;
        into->push_back(std::move(*d));
    }
}

struct Sent {
    Config config;
    std::vector<Bytes> datagrams;
    uint64_t payload_size = 0;
    uint32_t trailer_id = 0;
};

// Two frames (six in smaller packets with faults), then payload packet 1 of frame 0 resent on
// request.
Sent capture(PayloadKind kind, bool extended, const FaultConfig &faults = {}) {
    camsim_test::UdpSocket receiver, host;
    Sent s;
    Config &c = s.config;
    c.payload = kind;
    c.extended_ids = extended;
    c.dest_port = receiver.port();
    c.control_port = 0;
    c.packet_rate = 50000;
    c.width = 40;
    c.height = 20;
    c.data_size = 3000;
    c.file_name = "frame.raw";
    c.frames = faults.seed != 0 ? 6 : 2;
    c.packet_size = faults.seed != 0 ? 200 : c.packet_size;
    c.faults = faults;
    c.first_block_id = extended ? 0x123456789ull : 0x4242;
    Simulator sim(c);
    EXPECT_EQ(sim.start(), "");
    EXPECT_TRUE(sim.wait_sent(std::chrono::seconds(20)));
    receive(receiver, sim.counters().packets_sent, &s.datagrams);
    Bytes ask = hex(extended ? "4210004000140001 00000000 0000000100000001 0000000123456789"
                             : "42000040000c0001 00004242 0000000100000001 0000000000000000");
    EXPECT_TRUE(host.send_to(sim.control_port(), ask));
    receive(receiver, 1, &s.datagrams);
    sim.stop();
    s.payload_size = sim.payload_size();
    s.trailer_id = sim.trailer_packet_id();
    return s;
}

// Checks what tshark decoded of one datagram against what the configuration means.
void check(const Sent &s, uint16_t port, const Packet &p, const Decoded &d, bool resent) {
    const Config &c = s.config;
    SCOPED_TRACE(std::string(payload_kind_name(c.payload)) + " packet " +
                 std::to_string(p.packet_id));
    ASSERT_EQ(number(d, "udp.dstport"), port);
    EXPECT_EQ(number(d, c.extended_ids ? "gvsp.blockid64" : "gvsp.blockid16"),
              static_cast<long long>(p.block_id));
    EXPECT_EQ(number(d, c.extended_ids ? "gvsp.packetid32" : "gvsp.packetid24"), p.packet_id);
    EXPECT_EQ(number(d, "gvsp.format"), p.format | (c.extended_ids ? 0x80 : 0));
    EXPECT_EQ(number(d, "gvsp.status"), resent && !c.extended_ids ? 0x0100 : 0);
    EXPECT_EQ(number(d, "gvsp.flags"), !c.extended_ids ? -1 : resent ? 1 : 0);
    const bool image = c.payload != PayloadKind::file;
    if (p.format != 3) {
        EXPECT_EQ(number(d, "gvsp.payloadtype"), payload_type_code(c.payload));
    }
    if (p.format == 1) {
        EXPECT_EQ(number(d, "gvsp.timestamp"), static_cast<long long>(qel::load_be64(&p.body[4])));
        EXPECT_EQ(number(d, "gvsp.pixel"), image ? 0x01080001 : -1);
        EXPECT_EQ(number(d, "gvsp.sizex"), image ? 40 : -1);
        EXPECT_EQ(d.at("gvsp.filename"), image ? "" : "frame.raw");
    } else if (p.format == 2) {
        EXPECT_EQ(number(d, "gvsp.sizey"), image ? 20 : -1);
        if (c.payload == PayloadKind::image_extended_chunk) {
            EXPECT_EQ(number(d, "gvsp.chunkdatapayloadlengthhex"),
                      static_cast<long long>(s.payload_size));
        }
    } else if (!resent || c.extended_ids) {
        // tshark leaves the data of a standard-id packet with a non-zero status undecoded.
        std::string body;
        for (const uint8_t b : p.body)
            body += "0123456789abcdef"[b >> 4] + std::string(1, "0123456789abcdef"[b & 15]);
        EXPECT_EQ(d.at("gvsp.payloaddata"), body);
    }
}

TEST(Wire, TsharkDecodesWhatWasSentResentAndPlannedByTheSeededFaults) {
    if (!camsim_test::have_tshark()) GTEST_SKIP() << "tshark is not installed";
    const std::string path = ::testing::TempDir() + "camsim-tshark.pcap";
    std::vector<Sent> runs;
    for (const PayloadKind kind :
         {PayloadKind::image, PayloadKind::file, PayloadKind::image_extended_chunk}) {
        for (const bool extended : {false, true}) runs.push_back(capture(kind, extended));
    }
    FaultConfig faults;
    faults.seed = 2024;
    faults.loss_per_mille = faults.duplicate_per_mille = faults.reorder_per_mille = 100;
    faults.leader_loss_per_mille = 300;
    runs.push_back(capture(PayloadKind::image, false, faults));
    camsim_test::PcapWriter pcap(path);
    size_t datagrams = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        for (const Bytes &d : runs[r].datagrams) pcap.add(40000, kFirstPort + r, d);
        datagrams += runs[r].datagrams.size();
    }
    pcap.close();
    const auto decoded = camsim_test::tshark_fields(path, "-d udp.port==50000-50099,gvsp", kFields);
    std::remove(path.c_str());
    ASSERT_EQ(decoded.size(), datagrams);
    size_t i = 0, runs_with_full_packets = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        const std::vector<Bytes> &sent = runs[r].datagrams;
        ASSERT_GE(sent.size(), 3u);
        const Packet resent = read_packet(sent.back());
        EXPECT_EQ(resent.block_id, runs[r].config.first_block_id);
        EXPECT_EQ(resent.packet_id, 1u);
        std::vector<std::vector<uint32_t>> got(runs[r].config.frames);
        std::set<size_t> full_sizes;  // as IP packets
        for (size_t k = 0; k < sent.size(); ++k) {
            const Packet p = read_packet(sent[k]);
            check(runs[r], static_cast<uint16_t>(kFirstPort + r), p, decoded[i++],
                  k + 1 == sent.size());
            if (k + 1 == sent.size()) break;
            got.at(p.block_id - runs[r].config.first_block_id).push_back(p.packet_id);
            if (p.format == 3 && p.packet_id + 1 < runs[r].trailer_id) {
                full_sizes.insert(sent[k].size() + 20 + 8);  // IPv4 and UDP headers
            }
            if (p.block_id == resent.block_id && p.packet_id == 1) {
                EXPECT_EQ(resent.body, p.body) << "a resent packet carries what was first sent";
            }
        }
        FaultPlan plan(runs[r].config.faults);  // every fault strikes the faulted run only
        uint64_t withheld = 0, duplicated = 0, reordered = 0;
        for (uint64_t f = 0; f < got.size(); ++f) {
            plan.begin_frame(f, runs[r].trailer_id);
            std::vector<uint32_t> want;
            for (uint32_t id = 0; plan.next(&id);) want.push_back(id);
            EXPECT_EQ(got[f], want) << "frame " << f;
            withheld += plan.withheld();
            duplicated += plan.duplicated();
            reordered += plan.reordered();
        }
        EXPECT_EQ(withheld > 0 && duplicated > 0 && reordered > 0, r + 1 == runs.size());
        // Every payload packet but a block's last fills the packet size, which counts the IP
        // and UDP headers as a camera's does.
        if (full_sizes.empty()) continue;
        ++runs_with_full_packets;
        EXPECT_EQ(full_sizes, std::set<size_t>{runs[r].config.packet_size}) << "run " << r;
    }
    EXPECT_GT(runs_with_full_packets, 0u);
}

}  // namespace
