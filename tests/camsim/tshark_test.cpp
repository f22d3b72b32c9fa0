// An independent decoder's view: the datagrams the simulator sent (first sendings, a resent
// packet, an error-status packet) and PACKETRESEND commands are written to a pcap file and
// decoded by tshark's GVSP and GVCP dissectors, whose fields must be what was meant.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "camsim/camsim.h"
#include "camsim/resend_command.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::be64;
using camsim_test::Bytes;
using camsim_test::Decoded;
using camsim_test::have_tshark;
using camsim_test::hex;
using camsim_test::number;
using camsim_test::Packet;
using camsim_test::PcapWriter;
using camsim_test::read_packet;
using camsim_test::tshark_fields;
using camsim_test::UdpSocket;

constexpr uint16_t kFirstPort = 50000;
constexpr uint16_t kControlPort = 3956;
constexpr auto kWait = std::chrono::seconds(5);

const char *const kFields[] = {
    "udp.dstport",
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
    "gvsp.payloaddata",
    "gvcp.cmd.flag.64bitid",
    "gvcp.cmd.command",
    "gvcp.cmd.payloadlength",
    "gvcp.cmd.req_id",
    "gvcp.cmd.resend.streamchannelindex",
    "gvcp.cmd.resend.blockid",
    "gvcp.cmd.resend.firstpacketid",
    "gvcp.cmd.resend.lastpacketid",
    "gvcp.cmd.resend.extendedblockid",
};

// Runs tshark over the file: one map of field to text per datagram.
std::vector<Decoded> decode(const std::string &path, uint16_t last_port) {
    return tshark_fields(path,
                         "-d udp.port==" + std::to_string(kFirstPort) + "-" +
                             std::to_string(last_port) +
                             ",gvsp -d udp.port==" + std::to_string(kControlPort) + ",gvcp",
                         kFields);
}

struct Sent {
    Config config;
    uint16_t port;  // the port the pcap file gives its datagrams
    std::vector<Bytes> datagrams;
    std::vector<Bytes> expected;  // payload of frames 0 and 1
    uint32_t data_per_packet;
};

Sent capture(PayloadKind kind, bool extended, uint16_t port) {
    UdpSocket receiver;
    UdpSocket host;
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
    s.port = port;
    Simulator sim(c);
    EXPECT_EQ(sim.start(), "");
    EXPECT_TRUE(sim.wait_sent(std::chrono::seconds(20)));
    s.datagrams = receiver.receive_count(sim.counters().packets_sent, kWait);
    // A resent packet: payload packet 1 of frame 0; and an error packet for a block never
    // sent.
    Bytes ask = extended ? hex("42 10 00 40 00 14 00 01 00 00 00 00 00 00 00 01 00 00 00 01 "
                               "00 00 00 01 23 45 67 89")
                         : hex("42 00 00 40 00 0c 00 01 00 00 42 42 00 00 00 01 00 00 00 01 "
                               "00 00 00 00 00 00 00 00");
    EXPECT_TRUE(host.send_to(sim.control_port(), ask));
    ask[extended ? 27 : 11] ^= 0x10;  // another block id
    EXPECT_TRUE(host.send_to(sim.control_port(), ask));
    for (const Bytes &d : receiver.receive_count(2, kWait)) s.datagrams.push_back(d);
    sim.stop();
    s.expected = {sim.expected_payload(0), sim.expected_payload(1)};
    s.data_per_packet = sim.payload_bytes_per_packet();
    return s;
}

std::string hex_of(const uint8_t *p, size_t n) {
    std::string out;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
    }
    return out;
}

// Checks what tshark decoded of one datagram against what the configuration means.
void check(const Sent &s, const Bytes &datagram, const Decoded &d) {
    const Config &c = s.config;
    const Packet p = *read_packet(datagram);
    SCOPED_TRACE(std::string(payload_kind_name(c.payload)) + (c.extended_ids ? " ext" : " std") +
                 " packet " + std::to_string(p.packet_id) + " format " + std::to_string(p.format) +
                 " status " + std::to_string(p.status));
    ASSERT_EQ(number(d, "udp.dstport"), s.port);
    const uint64_t block0 = block_id_for_frame(c, 0);
    const uint64_t block1 = block_id_for_frame(c, 1);
    const long long block = number(d, c.extended_ids ? "gvsp.blockid64" : "gvsp.blockid16");
    ASSERT_TRUE(block == static_cast<long long>(block0) ||
                block == static_cast<long long>(block1) || (p.status & 0x8000));
    const int frame = block == static_cast<long long>(block0) ? 0 : 1;
    EXPECT_EQ(number(d, c.extended_ids ? "gvsp.packetid32" : "gvsp.packetid24"), p.packet_id);
    EXPECT_EQ(number(d, "gvsp.format"), p.format | (c.extended_ids ? 0x80 : 0));

    if (p.status & 0x8000) {  // the error answer: no data
        EXPECT_EQ(number(d, "gvsp.status"), 0x800C);
        EXPECT_EQ(d.at("gvsp.payloaddata"), "");
        return;
    }
    const bool resent =
        c.extended_ids ? number(d, "gvsp.flags") == 1 : number(d, "gvsp.status") == 0x0100;
    if (!resent) {
        EXPECT_EQ(number(d, "gvsp.status"), 0);
    }
    const uint16_t type = payload_type_code(c.payload);
    const bool image_leader = c.payload == PayloadKind::image ||
                              c.payload == PayloadKind::extended_chunk ||
                              c.payload == PayloadKind::image_extended_chunk;
    const uint64_t size = s.expected[0].size();
    switch (p.format) {
        case 1:
            EXPECT_EQ(number(d, "gvsp.payloadtype"), type);
            EXPECT_EQ(number(d, "gvsp.timestamp"), static_cast<long long>(be64(&p.body[4])));
            EXPECT_GT(number(d, "gvsp.timestamp"), 0);
            if (image_leader) {
                EXPECT_EQ(number(d, "gvsp.pixel"), 0x01080001);
                EXPECT_EQ(number(d, "gvsp.sizex"), 40);
                EXPECT_EQ(number(d, "gvsp.sizey"), 20);
            }
            if (c.payload == PayloadKind::raw || c.payload == PayloadKind::file) {
                EXPECT_EQ(number(d, "gvsp.payloaddatasize"), 3000);
            }
            if (c.payload == PayloadKind::file) {
                EXPECT_EQ(d.at("gvsp.filename"), "frame.raw");
            }
            break;
        case 2:
            EXPECT_EQ(number(d, "gvsp.payloadtype"), type);
            switch (c.payload) {
                case PayloadKind::image:
                    EXPECT_EQ(number(d, "gvsp.sizey"), 20);
                    break;
                case PayloadKind::chunk:
                    EXPECT_EQ(number(d, "gvsp.payloadlength"), static_cast<long long>(size));
                    break;
                case PayloadKind::extended_chunk:
                    EXPECT_EQ(number(d, "gvsp.payloadlength"), static_cast<long long>(size));
                    EXPECT_EQ(number(d, "gvsp.sizey"), 20);
                    EXPECT_EQ(number(d, "gvsp.chunklayoutidhex"), 1);
                    break;
                case PayloadKind::image_extended_chunk:
                    EXPECT_EQ(number(d, "gvsp.sizey"), 20);
                    EXPECT_EQ(number(d, "gvsp.chunkdatapayloadlengthhex"),
                              static_cast<long long>(size));
                    EXPECT_EQ(number(d, "gvsp.chunklayoutidhex"), 1);
                    break;
                default:
                    break;
            }
            break;
        case 3: {
            const uint64_t offset = uint64_t{p.packet_id - 1} * s.data_per_packet;
            ASSERT_LT(offset, size);
            const size_t n =
                static_cast<size_t>(std::min<uint64_t>(s.data_per_packet, size - offset));
            const std::string want = hex_of(s.expected[frame].data() + offset, n);
            if (resent && !c.extended_ids) {
                // tshark names the status (GEV_STATUS_PACKET_RESEND) but leaves the data of a
                // standard-id packet with a non-zero status undecoded: read it ourselves.
                EXPECT_EQ(hex_of(p.body.data(), p.body.size()), want);
            } else {
                EXPECT_EQ(d.at("gvsp.payloaddata"), want);
            }
            break;
        }
        default:
            ADD_FAILURE() << "unexpected format";
    }
}

TEST(Tshark, DecodesEveryPayloadTypeAsSentWithBothIdForms) {
    if (!have_tshark())
        GTEST_SKIP() << "tshark is not installed (scripts/install-deps installs it)";
    char path[] = "/tmp/camsim-tshark-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);

    std::vector<Sent> runs;
    uint16_t port = kFirstPort;
    for (const PayloadKind kind :
         {PayloadKind::image, PayloadKind::raw, PayloadKind::file, PayloadKind::chunk,
          PayloadKind::extended_chunk, PayloadKind::image_extended_chunk}) {
        for (const bool extended : {false, true}) runs.push_back(capture(kind, extended, port++));
    }
    // Two commands to the control port, as a host sends them.
    const Bytes standard_command =
        hex("42 00 00 40 00 0c 1f 70 00 00 00 42 00 00 03 ef 00 00 03 ef 00 00 00 00 00 00 00 00");
    const Bytes extended_command =
        hex("42 10 00 40 00 14 00 07 00 03 00 00 00 00 00 05 ff ff ff ff 01 02 03 04 05 06 07 08");

    PcapWriter pcap(path);
    size_t datagrams = 0;
    for (const Sent &s : runs) {
        for (const Bytes &d : s.datagrams) pcap.add(40000, s.port, d);
        datagrams += s.datagrams.size();
    }
    pcap.add(40001, kControlPort, standard_command);
    pcap.add(40001, kControlPort, extended_command);
    pcap.close();

    const std::vector<Decoded> decoded = decode(path, static_cast<uint16_t>(port - 1));
    std::remove(path);
    ASSERT_EQ(decoded.size(), datagrams + 2);

    size_t i = 0;
    for (const Sent &s : runs) {
        size_t resent = 0;
        size_t errors = 0;
        for (const Bytes &d : s.datagrams) {
            check(s, d, decoded[i++]);
            const Packet p = *read_packet(d);
            resent += s.config.extended_ids ? p.flags == 1 : p.status == 0x0100;
            errors += p.status == 0x800C;
        }
        EXPECT_EQ(resent, 1u) << payload_kind_name(s.config.payload);
        EXPECT_EQ(errors, 1u) << payload_kind_name(s.config.payload);
    }
    // tshark reads the commands as the simulator's parser does.
    const Bytes commands[] = {standard_command, extended_command};
    for (const Bytes &command : commands) {
        const Decoded &d = decoded[i++];
        ResendCommand c;
        ASSERT_EQ(parse_resend_command(command, &c), CommandCheck::ok);
        EXPECT_EQ(number(d, "gvcp.cmd.command"), 0x0040);
        EXPECT_EQ(number(d, "gvcp.cmd.flag.64bitid"), c.extended_ids ? 1 : 0);
        EXPECT_EQ(number(d, "gvcp.cmd.payloadlength"), c.extended_ids ? 20 : 12);
        EXPECT_EQ(number(d, "gvcp.cmd.req_id"), c.request_id);
        EXPECT_EQ(number(d, "gvcp.cmd.resend.streamchannelindex"), c.channel);
        EXPECT_EQ(number(d, c.extended_ids ? "gvcp.cmd.resend.extendedblockid"
                                           : "gvcp.cmd.resend.blockid"),
                  static_cast<long long>(c.block_id));
        EXPECT_EQ(number(d, "gvcp.cmd.resend.firstpacketid"), c.first_packet_id);
        EXPECT_EQ(number(d, "gvcp.cmd.resend.lastpacketid"), c.last_packet_id);
    }
}

}  // namespace
