// Frames from a packet socket's ring: only a well-formed IPv4 UDP datagram to the stream's
// address and port yields its payload; every other frame yields nothing, whatever it claims.
#include "adapter/firmware/udp_frame.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <array>
#include <cstring>
#include <functional>
#include <vector>

namespace qel::test {
namespace {

using adapter::FrameFault;
using adapter::OffloadHeader;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kStream = 0x7F000001;  // 127.0.0.1
constexpr uint16_t kPort = 50000;
const adapter::FrameRule kRule{kStream, kPort};

void put16(Bytes &b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void put32(Bytes &b, size_t at, uint32_t v) {
    put16(b, at, v >> 16);
    put16(b, at + 2, v & 0xFFFF);
}

// An Ethernet frame (zero addresses, as on loopback) of an IPv4 UDP datagram from
// 127.0.0.2:40000 to the stream, with correct IP and UDP checksums.
Bytes frame(const Bytes &payload) {
    Bytes f(14 + 20 + 8 + payload.size(), 0);
    put16(f, 12, 0x0800);
    const size_t ip = 14;
    f[ip] = 0x45;
    put16(f, ip + 2, static_cast<uint32_t>(20 + 8 + payload.size()));
    f[ip + 8] = 64;
    f[ip + 9] = 17;
    put32(f, ip + 12, 0x7F000002);
    put32(f, ip + 16, kStream);
    put16(f, ip + 10, 0xFFFFu & ~adapter::ones_complement_sum({f.data() + ip, 20}));
    const size_t udp = ip + 20;
    put16(f, udp, 40000);
    put16(f, udp + 2, kPort);
    put16(f, udp + 4, static_cast<uint32_t>(8 + payload.size()));
    std::copy(payload.begin(), payload.end(), f.begin() + udp + 8);
    const uint32_t pseudo = adapter::ones_complement_sum({f.data() + ip + 12, 8}) + 17 +
                            static_cast<uint32_t>(8 + payload.size());
    put16(f, udp + 6,
          0xFFFFu & ~adapter::ones_complement_sum({f.data() + udp, 8 + payload.size()}, pseudo));
    return f;
}

// Sets the IP header checksum right again after a change to the header.
void reseal_ip(Bytes &f) {
    const size_t header = size_t{f[14] & 0x0Fu} * 4;
    put16(f, 24, 0);
    if (14 + header <= f.size()) {
        put16(f, 24, 0xFFFFu & ~adapter::ones_complement_sum({f.data() + 14, header}));
    }
}

struct FrameCase {
    const char *name;
    std::function<void(Bytes &, OffloadHeader &)> change;
    FrameFault fault;
    std::vector<size_t> datagrams;  // the sizes returned, when no fault
};

const Bytes kPayload = [] {
    Bytes p(1000);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 7);
    return p;
}();

std::vector<FrameCase> frame_cases() {
    using enum FrameFault;
    auto keep = [](Bytes &, OffloadHeader &) {};
    return {
        {"well_formed", keep, none, {1000}},
        {"link_padding_after_the_datagram",
         [](Bytes &f, OffloadHeader &) { f.resize(f.size() + 30, 0xAB); },
         none,
         {1000}},
        {"no_udp_checksum", [](Bytes &f, OffloadHeader &) { put16(f, 40, 0); }, none, {1000}},
        {"wrong_checksum_of_a_local_sender",
         [](Bytes &f, OffloadHeader &o) {
             f[41] ^= 1;
             o.flags = 1;
         },
         none,
         {1000}},
        {"wrong_checksum_the_card_checked",
         [](Bytes &f, OffloadHeader &o) {
             f[41] ^= 1;
             o.flags = 2;
         },
         none,
         {1000}},
        {"segments_of_a_local_sender",
         [](Bytes &, OffloadHeader &o) {
             o = {1, 5, 400};
         },
         none,
         {400, 400, 200}},
        {"segments_with_congestion_flag",
         [](Bytes &, OffloadHeader &o) {
             o = {1, 0x85, 1000};
         },
         none,
         {1000}},
        {"wrong_udp_checksum", [](Bytes &f, OffloadHeader &) { f[41] ^= 1; }, bad_udp_checksum, {}},
        {"segments_unchecked",
         [](Bytes &, OffloadHeader &o) {
             o = {0, 5, 400};
         },
         bad_offload,
         {}},
        {"segments_of_size_0",
         [](Bytes &, OffloadHeader &o) {
             o = {1, 5, 0};
         },
         bad_offload,
         {}},
        {"tcp_segments",
         [](Bytes &, OffloadHeader &o) {
             o = {1, 1, 400};
         },
         bad_offload,
         {}},
        {"vlan_tag", [](Bytes &f, OffloadHeader &) { put16(f, 12, 0x8100); }, not_ipv4, {}},
        {"ipv6", [](Bytes &f, OffloadHeader &) { put16(f, 12, 0x86DD); }, not_ipv4, {}},
        {"frame_cut_in_ip_header", [](Bytes &f, OffloadHeader &) { f.resize(30); }, truncated, {}},
        {"frame_cut_in_datagram",
         [](Bytes &f, OffloadHeader &) { f.resize(f.size() - 1); },
         truncated,
         {}},
        {"ip_version_6_in_ipv4",
         [](Bytes &f, OffloadHeader &) {
             f[14] = 0x65;
             reseal_ip(f);
         },
         bad_ip_header,
         {}},
        {"ip_header_length_16", [](Bytes &f, OffloadHeader &) { f[14] = 0x44; }, bad_ip_header, {}},
        {"ip_header_length_past_frame",
         [](Bytes &f, OffloadHeader &) {
             f.resize(50);
             f[14] = 0x4F;
             put16(f, 16, 36);
         },
         truncated,
         {}},
        {"ip_total_length_past_frame",
         [](Bytes &f, OffloadHeader &) {
             put16(f, 16, 1100);
             reseal_ip(f);
         },
         truncated,
         {}},
        {"ip_total_length_below_header",
         [](Bytes &f, OffloadHeader &) {
             put16(f, 16, 12);
             reseal_ip(f);
         },
         bad_ip_header,
         {}},
        {"ip_header_checksum", [](Bytes &f, OffloadHeader &) { f[22] ^= 1; }, bad_ip_header, {}},
        {"first_fragment",
         [](Bytes &f, OffloadHeader &) {
             put16(f, 20, 0x2000);
             reseal_ip(f);
         },
         fragment,
         {}},
        {"later_fragment",
         [](Bytes &f, OffloadHeader &) {
             put16(f, 20, 0x0010);
             reseal_ip(f);
         },
         fragment,
         {}},
        {"tcp",
         [](Bytes &f, OffloadHeader &) {
             f[23] = 6;
             reseal_ip(f);
         },
         not_ours,
         {}},
        {"other_address",
         [](Bytes &f, OffloadHeader &) {
             f[33] = 9;
             reseal_ip(f);
         },
         not_ours,
         {}},
        {"other_port", [](Bytes &f, OffloadHeader &) { put16(f, 36, kPort + 1); }, not_ours, {}},
        {"udp_length_past_packet",
         [](Bytes &f, OffloadHeader &) { put16(f, 38, 1009); },
         bad_udp_length,
         {}},
        {"udp_length_below_header",
         [](Bytes &f, OffloadHeader &) { put16(f, 38, 7); },
         bad_udp_length,
         {}},
        {"udp_without_payload",
         [](Bytes &f, OffloadHeader &) {
             put16(f, 38, 8);
             put16(f, 40, 0);
         },
         truncated,
         {}},
    };
}

class Frame : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Frame, YieldsItsDatagramsOnlyWhenEveryFieldHolds) {
    const FrameCase &c = GetParam();
    Bytes f = frame(kPayload);
    OffloadHeader offload;
    c.change(f, offload);
    adapter::UdpFrame parsed(f, offload, kRule);
    EXPECT_EQ(parsed.fault(), c.fault);
    std::vector<size_t> sizes;
    Bytes joined;
    for (auto d = parsed.next(); !d.empty(); d = parsed.next()) {
        sizes.push_back(d.size());
        joined.insert(joined.end(), d.begin(), d.end());
    }
    EXPECT_EQ(sizes, c.datagrams);
    if (c.fault == FrameFault::none) {
        EXPECT_EQ(joined, kPayload);
        EXPECT_EQ(parsed.sender().sin_port, htons(40000));
        EXPECT_EQ(parsed.sender().sin_addr.s_addr, htonl(0x7F000002));
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, Frame, ::testing::ValuesIn(frame_cases()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(OffloadHeader, ReadsFlagsTypeAndSegmentSize) {
    const uint16_t size = 1472;
    std::array<uint8_t, OffloadHeader::kBytes> bytes{1, 5, 0, 0};
    std::memcpy(bytes.data() + 4, &size, 2);
    const OffloadHeader h = adapter::read_offload_header(bytes);
    EXPECT_EQ(h.flags, 1);
    EXPECT_EQ(h.gso_type, 5);
    EXPECT_EQ(h.gso_size, 1472);
}

}  // namespace
}  // namespace qel::test
