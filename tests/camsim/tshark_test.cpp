// An independent decoder's view: the datagrams the simulator sent (first sendings, a resent
// packet, an error-status packet) are written to a pcap file and decoded by tshark's GVSP
// dissector, whose fields must be what was meant. (The payload bytes are checked on the wire.)
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "camsim/camsim.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::Decoded;
using camsim_test::hex;
using camsim_test::number;
using camsim_test::Packet;

constexpr uint16_t kFirstPort = 50000;

const char *const kFields[] = {"udp.dstport",
                               "gvsp.status",
                               "gvsp.blockid16",
                               "gvsp.blockid64",
                               "gvsp.flags",
                               "gvsp.format",
                               "gvsp.packetid24",
                               "gvsp.packetid32",
                               "gvsp.payloadtype",
                               "gvsp.timestamp",
                               "gvsp.pixel",
                               "gvsp.sizex",
                               "gvsp.sizey",
                               "gvsp.payloaddatasize",
                               "gvsp.filename",
                               "gvsp.payloadlength",
                               "gvsp.chunkdatapayloadlengthhex",
                               "gvsp.chunklayoutidhex",
                               "gvsp.payloaddata"};

struct Sent {
    Config config;
    std::vector<Bytes> datagrams;
    uint64_t payload_size = 0;
};

// Two frames, then a resent payload packet 1 of frame 0 and an error packet for a block never
// sent.
Sent capture(PayloadKind kind, bool extended) {
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
    c.frames = 2;
    c.first_block_id = extended ? 0x123456789ull : 0x4242;
    Simulator sim(c);
    EXPECT_EQ(sim.start(), "");
    EXPECT_TRUE(sim.wait_sent(std::chrono::seconds(20)));
    s.datagrams = receiver.receive_count(sim.counters().packets_sent, std::chrono::seconds(5));
    Bytes ask = hex(extended ? "4210004000140001 00000000 0000000100000001 0000000123456789"
                             : "42000040000c0001 00004242 0000000100000001 0000000000000000");
    EXPECT_TRUE(host.send_to(sim.control_port(), ask));
    ask[extended ? 27 : 11] ^= 0x10;  // another block id
    EXPECT_TRUE(host.send_to(sim.control_port(), ask));
    for (Bytes &d : receiver.receive_count(2, std::chrono::seconds(5))) s.datagrams.push_back(d);
    sim.stop();
    s.payload_size = sim.payload_size();
    return s;
}

// Checks what tshark decoded of one datagram against what the configuration means; counts
// the resent and error packets.
void check(const Sent &s, uint16_t port, const Packet &p, const Decoded &d, int *resends,
           int *errors) {
    const Config &c = s.config;
    SCOPED_TRACE(std::string(payload_kind_name(c.payload)) + (c.extended_ids ? " ext" : " std") +
                 " packet " + std::to_string(p.packet_id) + " format " + std::to_string(p.format));
    ASSERT_EQ(number(d, "udp.dstport"), port);
    const long long block = number(d, c.extended_ids ? "gvsp.blockid64" : "gvsp.blockid16");
    EXPECT_EQ(block, static_cast<long long>(p.block_id));
    EXPECT_EQ(number(d, c.extended_ids ? "gvsp.packetid32" : "gvsp.packetid24"), p.packet_id);
    EXPECT_EQ(number(d, "gvsp.format"), p.format | (c.extended_ids ? 0x80 : 0));
    if (p.status & 0x8000) {  // the error answer: no data
        ++*errors;
        EXPECT_EQ(number(d, "gvsp.status"), 0x800C);
        EXPECT_EQ(d.at("gvsp.payloaddata"), "");
        return;
    }
    const bool resent =
        c.extended_ids ? number(d, "gvsp.flags") == 1 : number(d, "gvsp.status") == 0x0100;
    *resends += resent;
    if (!resent) {
        EXPECT_EQ(number(d, "gvsp.status"), 0);
    }
    const bool image = c.payload == PayloadKind::image ||
                       c.payload == PayloadKind::extended_chunk ||
                       c.payload == PayloadKind::image_extended_chunk;
    const long long size = static_cast<long long>(s.payload_size);
    if (p.format != 3) {
        EXPECT_EQ(number(d, "gvsp.payloadtype"), payload_type_code(c.payload));
    }
    if (p.format == 1) {
        EXPECT_EQ(number(d, "gvsp.timestamp"),
                  static_cast<long long>(camsim_test::be64(&p.body[4])));
        EXPECT_GT(number(d, "gvsp.timestamp"), 0);
        EXPECT_EQ(number(d, "gvsp.pixel"), image ? 0x01080001 : -1);
        EXPECT_EQ(number(d, "gvsp.sizex"), image ? 40 : -1);
        EXPECT_EQ(number(d, "gvsp.sizey"), image ? 20 : -1);
        const bool sized = c.payload == PayloadKind::raw || c.payload == PayloadKind::file;
        EXPECT_EQ(number(d, "gvsp.payloaddatasize"), sized ? 3000 : -1);
        EXPECT_EQ(d.at("gvsp.filename"), c.payload == PayloadKind::file ? "frame.raw" : "");
    } else if (p.format == 2) {
        EXPECT_EQ(number(d, "gvsp.sizey"), image ? 20 : -1);
        const bool chunk =
            c.payload == PayloadKind::chunk || c.payload == PayloadKind::extended_chunk;
        EXPECT_EQ(number(d, "gvsp.payloadlength"), chunk ? size : -1);
        const bool extended_chunk = c.payload == PayloadKind::extended_chunk ||
                                    c.payload == PayloadKind::image_extended_chunk;
        EXPECT_EQ(number(d, "gvsp.chunklayoutidhex"), extended_chunk ? 1 : -1);
        if (c.payload == PayloadKind::image_extended_chunk) {
            EXPECT_EQ(number(d, "gvsp.chunkdatapayloadlengthhex"), size);
        }
    } else if (!resent || c.extended_ids) {
        // tshark leaves the data of a standard-id packet with a non-zero status undecoded.
        std::string body = camsim_test::to_hex(p.body);
        std::erase(body, ' ');
        EXPECT_EQ(d.at("gvsp.payloaddata"), body);
    }
}

TEST(Tshark, DecodesEveryPayloadTypeAsSentWithBothIdForms) {
    if (!camsim_test::have_tshark()) GTEST_SKIP() << "tshark is not installed";
    char path[] = "/tmp/camsim-tshark-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::vector<Sent> runs;
    for (const PayloadKind kind :
         {PayloadKind::image, PayloadKind::raw, PayloadKind::file, PayloadKind::chunk,
          PayloadKind::extended_chunk, PayloadKind::image_extended_chunk}) {
        for (const bool extended : {false, true}) runs.push_back(capture(kind, extended));
    }
    camsim_test::PcapWriter pcap(path);
    size_t datagrams = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        for (const Bytes &d : runs[r].datagrams) pcap.add(40000, kFirstPort + r, d);
        datagrams += runs[r].datagrams.size();
    }
    pcap.close();
    const std::string ports =
        std::to_string(kFirstPort) + "-" + std::to_string(kFirstPort + runs.size() - 1);
    const std::vector<Decoded> decoded =
        camsim_test::tshark_fields(path, "-d udp.port==" + ports + ",gvsp", kFields);
    std::remove(path);
    ASSERT_EQ(decoded.size(), datagrams);
    size_t i = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
        int resends = 0, errors = 0;
        for (const Bytes &d : runs[r].datagrams) {
            check(runs[r], static_cast<uint16_t>(kFirstPort + r),
                  camsim_test::read_packet(d).value(), decoded[i++], &resends, &errors);
        }
        EXPECT_EQ(resends, 1) << payload_kind_name(runs[r].config.payload);
        EXPECT_EQ(errors, 1) << payload_kind_name(runs[r].config.payload);
    }
}

}  // namespace
