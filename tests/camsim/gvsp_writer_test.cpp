// Packets byte for byte: leaders, payload packets and trailers of every payload type with
// standard and extended ids, resent and error-status packets. (Payloads split over many
// packets are checked on the wire.)
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

// The layout, generator and packet source of one configuration.
struct Built {
    explicit Built(const Config &c) : config(c), generator(c, nullptr) {
        error = make_layout(config, generator.payload_size(), &layout);
        source = std::make_unique<PacketSource>(config, layout, generator);
    }
    std::string packet(uint64_t frame, uint32_t id, bool resent = false) const {
        Bytes out(config.packet_size);
        out.resize(source->build(out, frame, id, 0x0102030405060708, resent));
        return to_hex(out);
    }
    Config config;
    PayloadGenerator generator;
    StreamLayout layout;
    std::string error;
    std::unique_ptr<PacketSource> source;
};

// A 4 x 2 Mono8 image or 40 bytes of data, frame 0 of block 0x1234 (standard) or
// 0x0000000100000002 (extended), in 64-byte packets: leader 0, one payload packet, trailer 2.
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

// The header of packet `id` in `format`; `mark` is the status (and the extended flags).
std::string header(bool extended, int format, int id, const char *mark = nullptr) {
    char text[80];
    std::snprintf(text, sizeof text,
                  extended ? "%s 8%d 00 00 00 00 00 00 01 00 00 00 02 00 00 00 %02x "
                           : "%s 12 34 0%d 00 00 %02x ",
                  mark       ? mark
                  : extended ? "00 00 00 00"
                             : "00 00",
                  format, id);
    return text;
}
#define TS "01 02 03 04 05 06 07 08 "
#define IMAGE_FIELDS "01 08 00 01 00 00 00 04 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00"

struct FormCase {
    const char *name;
    PayloadKind kind;
    bool extended;
    const char *leader;   // after the header
    const char *trailer;  // after the header
};

class PacketForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(PacketForms, LeaderPayloadAndTrailerAreByteExact) {
    const FormCase &f = GetParam();
    const Built b(small_config(f.kind, f.extended));
    ASSERT_EQ(b.error, "");
    EXPECT_EQ(b.layout.trailer_packet_id, 2u);
    EXPECT_EQ(b.packet(0, 0), to_hex(hex(header(f.extended, 1, 0) + f.leader)));
    EXPECT_EQ(b.packet(0, 2), to_hex(hex(header(f.extended, 2, 2) + f.trailer)));
    Bytes payload(b.generator.payload_size());
    b.generator.fill(0, 0, payload);
    EXPECT_EQ(b.packet(0, 1), to_hex(hex(header(f.extended, 3, 1) + to_hex(payload))));
    EXPECT_EQ(b.packet(0, 3), "") << "ids past the trailer build nothing";
}

// Chunk payloads: 8 image bytes, image chunk tag, 16-byte info chunk, its tag: 40 bytes.
INSTANTIATE_TEST_SUITE_P(
    AllForms, PacketForms,
    ::testing::Values(FormCase{"image_std", PayloadKind::image, false,
                               "00 00 00 01 " TS IMAGE_FIELDS, "00 00 00 01 00 00 00 02"},
                      FormCase{"image_ext", PayloadKind::image, true,
                               "00 00 00 01 " TS IMAGE_FIELDS, "00 00 00 01 00 00 00 02"},
                      FormCase{"raw_ext", PayloadKind::raw, true,
                               "00 00 00 02 " TS "00 00 00 00 00 00 00 28", "00 00 00 02"},
                      FormCase{"file_std", PayloadKind::file, false,
                               "00 00 00 03 " TS "00 00 00 00 00 00 00 28 61 2e 74 78 74 00",
                               "00 00 00 03"},
                      FormCase{"chunk_ext", PayloadKind::chunk, true, "00 00 00 04 " TS,
                               "00 00 00 04 00 00 00 28"},
                      FormCase{"extended_chunk_std", PayloadKind::extended_chunk, false,
                               "00 00 00 05 " TS IMAGE_FIELDS,
                               "00 00 00 05 00 00 00 28 00 00 00 02 00 00 00 01"},
                      FormCase{"image_chunk_ext", PayloadKind::image_extended_chunk, true,
                               "00 00 40 01 " TS IMAGE_FIELDS,
                               "00 00 40 01 00 00 00 02 00 00 00 28 00 00 00 01"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PacketBuilding, RgbImageLeaderCarriesTheRgbPixelFormat) {
    Config c = small_config(PayloadKind::image, false);
    c.pixel_format = PixelFormat::rgb8;
    const Built b(c);
    EXPECT_EQ(b.packet(0, 0).substr(20 * 3, 11), "02 18 00 14");
    EXPECT_EQ(b.generator.payload_size(), 24u);
}

TEST(PacketBuilding, ResentAndErrorStatusPacketsAreMarkedAndErrorsCarryNoData) {
    const Built standard(small_config(PayloadKind::raw, false));
    EXPECT_EQ(standard.packet(0, 1, true),
              to_hex(hex(header(false, 3, 1, "01 00"))) + standard.packet(0, 1).substr(23));
    const Built extended(small_config(PayloadKind::raw, true));
    EXPECT_EQ(extended.packet(0, 2, true),
              to_hex(hex(header(true, 2, 2, "00 00 00 01") + "00 00 00 02")));

    Bytes out(64);
    ASSERT_EQ(standard.source->build_error(out, 0x0042, 1, kStatusRemovedFromMemory, 0), 8u);
    EXPECT_EQ(to_hex({out.data(), 8}), "80 12 00 42 03 00 00 01");
    ASSERT_EQ(standard.source->build_error(out, 0x0042, 2, kStatusPacketUnavailable, 0), 8u);
    EXPECT_EQ(to_hex({out.data(), 8}), "80 0c 00 42 02 00 00 02");
    ASSERT_EQ(
        extended.source->build_error(out, 7, 0, kStatusPacketUnavailable, kFlagResendRangeError),
        20u);
    EXPECT_EQ(to_hex({out.data(), 20}),
              "80 0c 00 04 81 00 00 00 00 00 00 00 00 00 00 07 00 00 00 00");
}

TEST(PacketBuilding, WhatDoesNotFitIsRefused) {
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

    Config c = small_config(PayloadKind::raw, false);
    StreamLayout layout;
    for (const uint32_t size : {63u, 65508u}) {
        c.packet_size = size;
        EXPECT_NE(make_layout(c, 100, &layout), "") << size;
    }
    c.packet_size = 1400;
    EXPECT_NE(make_layout(c, 0, &layout), "");
    EXPECT_NE(make_layout(c, kMaxPayloadBytes + 1, &layout), "");
    // 64-byte packets carry 56 bytes: a gigabyte needs more than 24-bit packet ids allow,
    // while 32-bit ids (44 bytes each) still suffice.
    c.packet_size = 64;
    EXPECT_NE(make_layout(c, kMaxPayloadBytes, &layout), "");
    c.extended_ids = true;
    EXPECT_EQ(make_layout(c, kMaxPayloadBytes, &layout), "");
    // A file name that leaves the leader too long for the packet: 20 + 36 bytes fit.
    c.payload = PayloadKind::file;
    c.extended_ids = false;
    c.file_name = std::string(40, 'x');
    EXPECT_NE(make_layout(c, 100, &layout), "");
    c.file_name = std::string(35, 'x');
    EXPECT_EQ(make_layout(c, 100, &layout), "");
}

}  // namespace
