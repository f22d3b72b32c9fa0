// Parsing GVSP packets (those refused are in the hostile-input table, which checks their fault
// too), and the trailer descriptor's layout.
#include <gtest/gtest.h>

#include "adapter/descriptor_format.h"
#include "adapter/gvsp_packet.h"
#include "gvsp_builder.h"

namespace qel::test {
namespace {

struct HeaderCase {
    const char *name;
    PacketHead head;
    size_t payload;
    bool resent;
};

class GvspHeader : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(GvspHeader, Parses) {
    const HeaderCase c = GetParam();
    const Bytes bytes = packet(c.head, Bytes(c.payload, 0x5A));
    adapter::gvsp::Packet p;
    ASSERT_EQ(adapter::gvsp::parse(bytes, p), adapter::gvsp::Fault::none);
    const bool extended = c.head.ids == Ids::extended;
    EXPECT_EQ(p.header.extended, extended);
    EXPECT_EQ(p.header.header_bytes, extended ? 20u : 8u);
    EXPECT_EQ(p.header.block_id, c.head.block_id);
    EXPECT_EQ(p.header.packet_id, c.head.packet_id);
    EXPECT_EQ(static_cast<int>(p.header.format), c.head.format);
    EXPECT_EQ(p.header.status, c.head.status);
    EXPECT_EQ(p.header.is_resent(), c.resent);
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
    ::testing::Values(
        HeaderCase{"standard_leader", head(S, 1, 0xFFFF, 0), 36, false},
        HeaderCase{"standard_data", head(S, 3, 1, 0xFFFFFF), 1, false},
        HeaderCase{"standard_trailer", head(S, 2, 77, 12), 8, false},
        HeaderCase{"extended_leader", head(E, 1, 0xFEDCBA9876543210ull, 0), 12, false},
        HeaderCase{"extended_data", head(E, 3, 5, 0xFFFFFFFF), 9000, false},
        HeaderCase{"extended_trailer", head(E, 2, 5, 3), 4, false},
        HeaderCase{"resent_standard", head(S, 3, 5, 3, 0x0100), 10, true},
        HeaderCase{"resent_extended", head(E, 3, 5, 3, 0, 0x0001), 10, true},
        HeaderCase{"other_extended_flag", head(E, 3, 5, 3, 0, 0x0002), 10, false},
        // Standard headers carry the block id where extended ones have the flags.
        HeaderCase{"standard_block_id_1", head(S, 3, 1, 3), 10, false},
        HeaderCase{"packet_unavailable", head(S, 3, 5, 3, 0x800C), 0, false},
        HeaderCase{"removed_from_memory_with_bytes", head(E, 3, 5, 3, 0x8012), 30, false}),
    [](const auto &info) { return std::string(info.param.name); });

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
    const Bytes expected = {0x00, 0x01, 0,    0,    0x00, 0x02, 0,    0,    1,    2,
                            3,    4,    5,    6,    7,    8,    0xA0, 0xB0, 0xC0, 0xD0,
                            0x11, 0x22, 0x33, 0x44, 0x12, 0x34, 0,    0,    0x56, 0x78,
                            0x9A, 0xBC, 1,    2,    3,    4,    5};
    EXPECT_EQ(Bytes(d.begin(), d.begin() + 37), expected);
    EXPECT_EQ(Bytes(d.begin() + 37, d.begin() + 60), Bytes(23, 0));
    EXPECT_EQ(Bytes(d.begin() + 60, d.end()), (Bytes{3, 1, 1, 0})) << "the ring writes the tag";
}

}  // namespace
}  // namespace qel::test
