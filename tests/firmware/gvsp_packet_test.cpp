// Parsing GVSP packets: header fields of both id kinds, the checks, and the descriptors built
// from leader and trailer payloads.
#include <gtest/gtest.h>

#include "adapter/descriptor_format.h"
#include "adapter/gvsp_packet.h"
#include "gvsp_builder.h"

namespace qel::test {
namespace {

using adapter::gvsp::Fault;
using adapter::gvsp::Format;

// Packets that parse; those refused are in the hostile-input table, which checks their fault
// too.
struct HeaderCase {
    const char *name;
    PacketHead head;
    size_t payload;
};

class GvspHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(GvspHeader, ParsesOrRefuses) {
    const HeaderCase c = GetParam();
    const Bytes bytes = packet(c.head, Bytes(c.payload, 0x5A));
    adapter::gvsp::Packet p;
    ASSERT_EQ(adapter::gvsp::parse(bytes, p), Fault::none);
    const bool extended = c.head.ids == Ids::extended;
    EXPECT_EQ(p.header.extended, extended);
    EXPECT_EQ(p.header.header_bytes, extended ? 20u : 8u);
    EXPECT_EQ(p.header.block_id, c.head.block_id);
    EXPECT_EQ(p.header.packet_id, c.head.packet_id);
    EXPECT_EQ(static_cast<int>(p.header.format), c.head.format);
    EXPECT_EQ(p.header.status, c.head.status);
    if (p.header.is_error()) {
        EXPECT_TRUE(p.payload.empty()) << "an error status carries no data";
    } else {
        EXPECT_EQ(p.payload.size(), c.payload);
        EXPECT_EQ(p.payload.data(), bytes.data() + p.header.header_bytes);
    }
}

constexpr Ids S = Ids::standard;
constexpr Ids E = Ids::extended;

INSTANTIATE_TEST_SUITE_P(
    Packets, GvspHeader,
    ::testing::Values(HeaderCase{"standard_leader", head(S, 1, 0xFFFF, 0), 36},
                      HeaderCase{"standard_data", head(S, 3, 1, 0xFFFFFF), 1},
                      HeaderCase{"standard_trailer", head(S, 2, 77, 12), 8},
                      HeaderCase{"extended_leader", head(E, 1, 0xFEDCBA9876543210ull, 0), 12},
                      HeaderCase{"extended_data", head(E, 3, 5, 0xFFFFFFFF), 9000},
                      HeaderCase{"extended_trailer", head(E, 2, 5, 3), 4},
                      HeaderCase{"resent_standard", head(S, 3, 5, 3, 0x0100), 10},
                      HeaderCase{"resent_extended", head(E, 3, 5, 3, 0, 0x0001), 10},
                      HeaderCase{"packet_unavailable", head(S, 3, 5, 3, 0x800C), 0},
                      HeaderCase{"removed_from_memory_with_bytes", head(E, 3, 5, 3, 0x8012), 30}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GvspHeader, ResentMarkIsTheStatusOrTheExtendedFlag) {
    adapter::gvsp::Packet p;
    ASSERT_EQ(adapter::gvsp::parse(packet(head(S, 3, 5, 3, 0x0100), Bytes(4)), p), Fault::none);
    EXPECT_TRUE(p.header.is_resent());
    ASSERT_EQ(adapter::gvsp::parse(packet(head(E, 3, 5, 3, 0, 0x0001), Bytes(4)), p), Fault::none);
    EXPECT_TRUE(p.header.is_resent());
    ASSERT_EQ(adapter::gvsp::parse(packet(head(E, 3, 5, 3, 0, 0x0002), Bytes(4)), p), Fault::none);
    EXPECT_FALSE(p.header.is_resent());
    ASSERT_EQ(adapter::gvsp::parse(packet(head(S, 3, 5, 3, 0, 0x0001), Bytes(4)), p), Fault::none);
    EXPECT_FALSE(p.header.is_resent()) << "standard headers carry the block id there";
}

TEST(GvspHeader, EveryShorterCutOfAHeaderIsRefusedWithoutReadingPastIt) {
    for (Ids ids : {S, E}) {
        const Bytes whole = packet(head(ids, 3, 5, 3), Bytes(1, 0));
        for (size_t length = 0; length < whole.size(); ++length) {
            // A copy of exactly `length` bytes: the sanitizers see any read beyond it.
            const Bytes cut(whole.begin(), whole.begin() + length);
            adapter::gvsp::Packet p;
            EXPECT_NE(adapter::gvsp::parse(cut, p), Fault::none) << length;
        }
    }
}

TEST(Descriptors, TrailerCarriesTicksOn48BitsAndStatusFields) {
    adapter::TrailerFields f;
    f.block_id = 0x0102030405060708ull;
    f.status = 0x0001;
    f.firmware_status = adapter::FirmwareStatus::buffer_overflow;
    f.packet_id = 0xA0B0C0D0;
    f.payload_length = 0x11223344;
    f.has_time = true;
    f.ticks = 0xFFFF123456789ABCull;
    f.credit = true;
    const Bytes payload = {1, 2, 3, 4, 5};
    f.trailer_payload = payload;
    const adapter::Descriptor d = adapter::trailer_descriptor(f);
    const Bytes expected_head = {0x00, 0x01, 0,    0,    0x00, 0x02, 0,    0,    1,    2,    3,
                                 4,    5,    6,    7,    8,    0xA0, 0xB0, 0xC0, 0xD0, 0x11, 0x22,
                                 0x33, 0x44, 0x12, 0x34, 0,    0,    0x56, 0x78, 0x9A, 0xBC};
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 32), expected_head);
    EXPECT_EQ(Bytes(d.begin() + 32, d.begin() + 37), payload);
    EXPECT_EQ(Bytes(d.begin() + 37, d.begin() + 60), Bytes(23, 0));
    EXPECT_EQ(d[60], 3);
    EXPECT_EQ(d[61], 1);
    EXPECT_EQ(d[62], 1);
    EXPECT_EQ(d[63], 0) << "the ring writes the tag";
}

TEST(Descriptors, LeaderCarriesTheFirst44PayloadBytes) {
    Bytes payload(60);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i + 1);
    const adapter::Descriptor d = adapter::leader_descriptor(9, 0x8001, payload);
    EXPECT_EQ(d[0], 0x80);
    EXPECT_EQ(d[1], 0x01);
    EXPECT_EQ(d[5], 1);
    EXPECT_EQ(d[15], 9);
    EXPECT_EQ(Bytes(d.begin() + 16, d.begin() + 60), Bytes(payload.begin(), payload.begin() + 44));
    EXPECT_EQ(Bytes(d.begin() + 60, d.end()), Bytes(4, 0));
}

}  // namespace
}  // namespace qel::test
