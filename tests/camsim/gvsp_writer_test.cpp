// Packets byte for byte: leaders and trailers of every payload type with standard and extended
// ids, payload packets at their offsets, resent and error-status packets.
#include <gtest/gtest.h>

#include <memory>

#include "camsim/frames.h"
#include "camsim/gvsp_writer.h"
#include "camsim/packet_source.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::hex;
using camsim_test::to_hex;

constexpr uint64_t kTimestamp = 0x0102030405060708;

// The layout, generator and packet source of one configuration.
struct Built {
    explicit Built(const Config &c) : config(c), generator(c, nullptr) {
        error = make_layout(config, generator.payload_size(), &layout);
        source = std::make_unique<PacketSource>(config, layout, generator);
    }
    Bytes packet(uint64_t frame, uint32_t id, bool resent = false) const {
        Bytes out(config.packet_size);
        out.resize(source->build(out, frame, id, kTimestamp, resent));
        return out;
    }
    Config config;
    PayloadGenerator generator;
    StreamLayout layout;
    std::string error;
    std::unique_ptr<PacketSource> source;
};

struct FormCase {
    const char *name;
    PayloadKind kind;
    bool extended;
    const char *leader;   // whole packet
    const char *trailer;  // whole packet
};

// Headers of frame 0: block 0x1234 (standard) or 0x0000000100000002 (extended).
#define STD_LEADER "00 00 12 34 01 00 00 00 "
#define STD_TRAILER "00 00 12 34 02 00 00 02 "
#define EXT_LEADER "00 00 00 00 81 00 00 00 00 00 00 01 00 00 00 02 00 00 00 00 "
#define EXT_TRAILER "00 00 00 00 82 00 00 00 00 00 00 01 00 00 00 02 00 00 00 02 "
#define TS "01 02 03 04 05 06 07 08 "
// Mono8 4 x 2, no offsets or paddings.
#define IMAGE_FIELDS "01 08 00 01 00 00 00 04 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00"

const FormCase kForms[] = {
    {"image_std", PayloadKind::image, false, STD_LEADER "00 00 00 01 " TS IMAGE_FIELDS,
     STD_TRAILER "00 00 00 01 00 00 00 02"},
    {"image_ext", PayloadKind::image, true, EXT_LEADER "00 00 00 01 " TS IMAGE_FIELDS,
     EXT_TRAILER "00 00 00 01 00 00 00 02"},
    {"raw_std", PayloadKind::raw, false, STD_LEADER "00 00 00 02 " TS "00 00 00 00 00 00 00 28",
     STD_TRAILER "00 00 00 02"},
    {"raw_ext", PayloadKind::raw, true, EXT_LEADER "00 00 00 02 " TS "00 00 00 00 00 00 00 28",
     EXT_TRAILER "00 00 00 02"},
    {"file_std", PayloadKind::file, false,
     STD_LEADER "00 00 00 03 " TS "00 00 00 00 00 00 00 28 61 2e 74 78 74 00",
     STD_TRAILER "00 00 00 03"},
    {"file_ext", PayloadKind::file, true,
     EXT_LEADER "00 00 00 03 " TS "00 00 00 00 00 00 00 28 61 2e 74 78 74 00",
     EXT_TRAILER "00 00 00 03"},
    // Chunk payloads: 8 image bytes, image chunk tag, 16-byte info chunk, its tag: 40 bytes.
    {"chunk_std", PayloadKind::chunk, false, STD_LEADER "00 00 00 04 " TS,
     STD_TRAILER "00 00 00 04 00 00 00 28"},
    {"chunk_ext", PayloadKind::chunk, true, EXT_LEADER "00 00 00 04 " TS,
     EXT_TRAILER "00 00 00 04 00 00 00 28"},
    {"extended_chunk_std", PayloadKind::extended_chunk, false,
     STD_LEADER "00 00 00 05 " TS IMAGE_FIELDS,
     STD_TRAILER "00 00 00 05 00 00 00 28 00 00 00 02 00 00 00 01"},
    {"extended_chunk_ext", PayloadKind::extended_chunk, true,
     EXT_LEADER "00 00 00 05 " TS IMAGE_FIELDS,
     EXT_TRAILER "00 00 00 05 00 00 00 28 00 00 00 02 00 00 00 01"},
    {"image_chunk_std", PayloadKind::image_extended_chunk, false,
     STD_LEADER "00 00 40 01 " TS IMAGE_FIELDS,
     STD_TRAILER "00 00 40 01 00 00 00 02 00 00 00 28 00 00 00 01"},
    {"image_chunk_ext", PayloadKind::image_extended_chunk, true,
     EXT_LEADER "00 00 40 01 " TS IMAGE_FIELDS,
     EXT_TRAILER "00 00 40 01 00 00 00 02 00 00 00 28 00 00 00 01"},
};

Config small_config(PayloadKind kind, bool extended) {
    Config c;
    c.payload = kind;
    c.extended_ids = extended;
    c.width = 4;
    c.height = 2;
    c.data_size = 40;
    c.file_name = "a.txt";
    c.packet_size = 64;
    c.first_block_id = extended ? 0x0000000100000002ull : 0x1234;
    return c;
}

void PrintTo(const FormCase &f, std::ostream *os) {
    *os << f.name;
}

class PacketForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(PacketForms, LeaderAndTrailerAreByteExact) {
    const FormCase &f = GetParam();
    const Built b(small_config(f.kind, f.extended));
    ASSERT_EQ(b.error, "");
    EXPECT_EQ(b.layout.trailer_packet_id, 2u);
    EXPECT_EQ(to_hex(b.packet(0, 0)), to_hex(hex(f.leader)));
    EXPECT_EQ(to_hex(b.packet(0, 2)), to_hex(hex(f.trailer)));
}

TEST_P(PacketForms, OnePayloadPacketCarriesTheWholePayload) {
    const FormCase &f = GetParam();
    const Built b(small_config(f.kind, f.extended));
    const Bytes p = b.packet(0, 1);
    const size_t header = f.extended ? 20 : 8;
    ASSERT_EQ(p.size(), header + b.generator.payload_size());
    // The header says payload packet 1 of the frame's block.
    if (f.extended) {
        EXPECT_EQ(to_hex({p.data(), 20}),
                  to_hex(hex("00 00 00 00 83 00 00 00 00 00 00 01 00 00 00 02 00 00 00 01")));
    } else {
        EXPECT_EQ(to_hex({p.data(), 8}), to_hex(hex("00 00 12 34 03 00 00 01")));
    }
    Bytes expected(b.generator.payload_size());
    b.generator.fill(0, 0, expected);
    EXPECT_EQ(Bytes(p.begin() + static_cast<long>(header), p.end()), expected);
}

INSTANTIATE_TEST_SUITE_P(AllForms, PacketForms, ::testing::ValuesIn(kForms),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PacketBuilding, RgbImageLeaderCarriesTheRgbPixelFormat) {
    Config c = small_config(PayloadKind::image, false);
    c.pixel_format = PixelFormat::rgb8;
    const Built b(c);
    const Bytes leader = b.packet(0, 0);
    EXPECT_EQ(to_hex({leader.data() + 8 + 12, 4}), "02 18 00 14");
    EXPECT_EQ(b.generator.payload_size(), 24u);
}

struct Split {
    bool extended;
    uint32_t packet_size;
    uint64_t data_size;
    uint32_t data_per_packet;
    uint32_t packets;
    uint32_t last_bytes;
};

void PrintTo(const Split &s, std::ostream *os) {
    *os << (s.extended ? "extended " : "standard ") << s.packet_size << "/" << s.data_size;
}

class PayloadSplit : public ::testing::TestWithParam<Split> {};

TEST_P(PayloadSplit, PacketsSitAtTheirOffsetsAndTheLastIsShorter) {
    const Split &s = GetParam();
    Config c;
    c.payload = PayloadKind::raw;
    c.extended_ids = s.extended;
    c.packet_size = s.packet_size;
    c.data_size = s.data_size;
    c.first_block_id = 9;
    const Built b(c);
    ASSERT_EQ(b.error, "");
    EXPECT_EQ(b.layout.data_per_packet, s.data_per_packet);
    EXPECT_EQ(b.layout.payload_packets, s.packets);
    EXPECT_EQ(b.layout.trailer_packet_id, s.packets + 1);

    Bytes expected(s.data_size);
    b.generator.fill(3, 0, expected);
    Bytes joined;
    const size_t header = s.extended ? 20 : 8;
    for (uint32_t id = 1; id <= s.packets; ++id) {
        const Bytes p = b.packet(3, id);
        const size_t want = id == s.packets ? s.last_bytes : s.data_per_packet;
        ASSERT_EQ(p.size(), header + want) << "packet " << id;
        EXPECT_EQ(b.layout.payload_offset(id), uint64_t{id - 1} * s.data_per_packet);
        joined.insert(joined.end(), p.begin() + static_cast<long>(header), p.end());
    }
    EXPECT_EQ(joined, expected);
    // Ids past the trailer build nothing.
    EXPECT_TRUE(b.packet(3, s.packets + 2).empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PayloadSplit,
                         ::testing::Values(Split{false, 1400, 10000, 1392, 8, 256},
                                           Split{true, 1400, 10000, 1380, 8, 340},
                                           Split{false, 8192, 100000, 8184, 13, 1792},
                                           Split{true, 9000, 8980, 8980, 1, 8980},
                                           Split{false, 100, 92 * 3, 92, 3, 92}));

TEST(PacketBuilding, ResentPacketsAreMarkedByStatusOrFlag) {
    const Built standard(small_config(PayloadKind::raw, false));
    const Bytes s = standard.packet(0, 1, true);
    EXPECT_EQ(to_hex({s.data(), 8}), "01 00 12 34 03 00 00 01");
    const Bytes first = standard.packet(0, 1);
    EXPECT_EQ(to_hex({s.data() + 8, s.size() - 8}), to_hex({first.data() + 8, first.size() - 8}));
    EXPECT_EQ(first[0], 0);

    const Built extended(small_config(PayloadKind::raw, true));
    const Bytes e = extended.packet(0, 2, true);
    EXPECT_EQ(to_hex({e.data(), 20}),
              "00 00 00 01 82 00 00 00 00 00 00 01 00 00 00 02 00 00 00 02");
}

TEST(PacketBuilding, ErrorStatusPacketsCarryNoData) {
    const Built standard(small_config(PayloadKind::image, false));
    Bytes out(64);
    ASSERT_EQ(standard.source->build_error(out, 0x0042, 1, kStatusRemovedFromMemory, 0), 8u);
    EXPECT_EQ(to_hex({out.data(), 8}), "80 12 00 42 03 00 00 01");
    ASSERT_EQ(standard.source->build_error(out, 0x0042, 2, kStatusPacketUnavailable, 0), 8u);
    EXPECT_EQ(to_hex({out.data(), 8}), "80 0c 00 42 02 00 00 02");

    const Built extended(small_config(PayloadKind::image, true));
    ASSERT_EQ(
        extended.source->build_error(out, 7, 0, kStatusPacketUnavailable, kFlagResendRangeError),
        20u);
    EXPECT_EQ(to_hex({out.data(), 20}),
              "80 0c 00 04 81 00 00 00 00 00 00 00 00 00 00 07 00 00 00 00");
}

TEST(PacketBuilding, HeaderRefusesFieldsThatDoNotFitTheForm) {
    Bytes out(32);
    PacketHeader h;
    h.block_id = 0x10000;  // 17 bits
    EXPECT_EQ(write_header(out, false, h), 0u);
    h.block_id = 1;
    h.packet_id = 0x1000000;  // 25 bits
    EXPECT_EQ(write_header(out, false, h), 0u);
    EXPECT_EQ(write_header(out, true, h), 20u);
    EXPECT_EQ(write_header(std::span(out).first(19), true, h), 0u);
    EXPECT_EQ(write_header(std::span(out).first(7), false, PacketHeader{}), 0u);

    const Built b(small_config(PayloadKind::image, false));
    EXPECT_EQ(write_leader(std::span(out).first(43), b.layout, {}, 0), 0u);
    EXPECT_EQ(write_leader(std::span(out.data(), 32), b.layout, {}, 0), 0u);
}

TEST(PacketLayout, RefusesWhatCannotBeSent) {
    Config c;
    c.payload = PayloadKind::raw;
    StreamLayout layout;
    c.packet_size = 63;
    EXPECT_NE(make_layout(c, 100, &layout), "");
    c.packet_size = 65508;
    EXPECT_NE(make_layout(c, 100, &layout), "");
    c.packet_size = 1400;
    EXPECT_NE(make_layout(c, 0, &layout), "");
    EXPECT_NE(make_layout(c, kMaxPayloadBytes + 1, &layout), "");
    // 64-byte packets carry 56 bytes: a gigabyte needs more than 24-bit packet ids allow,
    // while 32-bit ids (44 bytes each) still suffice.
    c.packet_size = 64;
    EXPECT_NE(make_layout(c, kMaxPayloadBytes, &layout), "");
    c.extended_ids = true;
    EXPECT_EQ(make_layout(c, kMaxPayloadBytes, &layout), "");
    // A file name that leaves the leader too long for the packet.
    c.payload = PayloadKind::file;
    c.extended_ids = false;
    c.file_name = std::string(40, 'x');
    EXPECT_NE(make_layout(c, 100, &layout), "");
    c.file_name = std::string(35, 'x');  // 20 + 36 bytes after the 8-byte header: fits 64
    EXPECT_EQ(make_layout(c, 100, &layout), "");
}

}  // namespace
