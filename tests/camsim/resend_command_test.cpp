// PACKETRESEND commands as they arrive: the well-formed forms read right, every malformed one
// is refused with its reason.
#include <gtest/gtest.h>

#include "camsim/resend_command.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::Bytes;
using camsim_test::hex;

// The example of the wire format notes: channel 0, block 66, packets 1007 to 1007, request
// id 0x1f70.
const char *kExample = "42 00 00 40 00 0c 1f 70 00 00 00 42 00 00 03 ef 00 00 03 ef";
// Extended ids: channel 3, packets 5 to 0xFFFFFFFF of block 0x0102030405060708.
const char *kExtended =
    "42 10 00 40 00 14 00 07 00 03 00 00 00 00 00 05 ff ff ff ff 01 02 03 04 05 06 07 08";

TEST(ResendCommand, ReadsTheStandardExample) {
    ResendCommand c;
    ASSERT_EQ(parse_resend_command(hex(kExample), &c), CommandCheck::ok);
    EXPECT_FALSE(c.extended_ids);
    EXPECT_EQ(c.request_id, 0x1f70);
    EXPECT_EQ(c.channel, 0);
    EXPECT_EQ(c.block_id, 66u);
    EXPECT_EQ(c.first_packet_id, 1007u);
    EXPECT_EQ(c.last_packet_id, 1007u);
}

TEST(ResendCommand, ReadsTheExtendedForm) {
    ResendCommand c;
    ASSERT_EQ(parse_resend_command(hex(kExtended), &c), CommandCheck::ok);
    EXPECT_TRUE(c.extended_ids);
    EXPECT_EQ(c.request_id, 7);
    EXPECT_EQ(c.channel, 3);
    EXPECT_EQ(c.block_id, 0x0102030405060708u);
    EXPECT_EQ(c.first_packet_id, 5u);
    EXPECT_EQ(c.last_packet_id, 0xFFFFFFFFu);
}

TEST(ResendCommand, AcceptsTheStandardFormPaddedTo28BytesAndTheAcknowledgeFlag) {
    // Requests may be sent as 28 bytes whatever their length field says.
    ResendCommand c;
    ASSERT_EQ(parse_resend_command(hex(std::string(kExample) + " 00 00 00 00 00 00 00 00"), &c),
              CommandCheck::ok);
    EXPECT_EQ(c.block_id, 66u);
    Bytes ack = hex(kExample);
    ack[1] = 0x01;
    EXPECT_EQ(parse_resend_command(ack, &c), CommandCheck::ok);
    // The library's last id for "to the end" with standard ids.
    ASSERT_EQ(parse_resend_command(hex("42 00 00 40 00 0c 00 01 00 00 ff ff 00 00 00 00 00 ff "
                                       "ff ff"),
                                   &c),
              CommandCheck::ok);
    EXPECT_EQ(c.block_id, 0xFFFFu);
    EXPECT_EQ(c.last_packet_id, 0xFFFFFFu);
}

struct Bad {
    const char *name;
    std::string bytes;
    CommandCheck check;
};

std::string with(const char *base, size_t at, const char *replacement) {
    std::string s = base;
    s.replace(at * 3, std::string(replacement).size(), replacement);
    return s;
}

void PrintTo(const Bad &b, std::ostream *os) {
    *os << b.name;
}

class MalformedCommands : public ::testing::TestWithParam<Bad> {};

TEST_P(MalformedCommands, AreRefused) {
    ResendCommand c;
    c.block_id = 12345;
    EXPECT_EQ(parse_resend_command(hex(GetParam().bytes), &c), GetParam().check);
    EXPECT_EQ(c.block_id, 12345u) << "a refused command leaves the output alone";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedCommands,
    ::testing::Values(
        Bad{"empty", "", CommandCheck::too_short},
        Bad{"header_cut", "42 00 00 40 00 0c 1f", CommandCheck::too_short},
        Bad{"payload_cut", std::string(kExample).substr(0, 19 * 3 - 1), CommandCheck::too_short},
        Bad{"extended_cut", std::string(kExtended).substr(0, 27 * 3 - 1), CommandCheck::too_short},
        Bad{"key", with(kExample, 0, "43"), CommandCheck::bad_key},
        Bad{"unknown_flag", with(kExample, 1, "02"), CommandCheck::bad_flags},
        Bad{"high_flag", with(kExample, 1, "80"), CommandCheck::bad_flags},
        Bad{"other_command", with(kExample, 2, "00 80"), CommandCheck::bad_command},
        Bad{"ack_code", with(kExample, 2, "00 41"), CommandCheck::bad_command},
        Bad{"standard_long", with(kExample, 4, "00 14") + " 00 00 00 00 00 00 00 00",
            CommandCheck::bad_length},
        Bad{"extended_short", with(kExtended, 4, "00 0c"), CommandCheck::bad_length},
        Bad{"zero_length", with(kExample, 4, "00 00"), CommandCheck::bad_length},
        Bad{"reserved", with(kExtended, 10, "00 01"), CommandCheck::reserved_set},
        Bad{"block_zero", with(kExample, 10, "00 00"), CommandCheck::zero_block_id},
        Bad{"extended_block_zero", with(kExtended, 20, "00 00 00 00 00 00 00 00"),
            CommandCheck::zero_block_id},
        Bad{"first_wide", with(kExample, 12, "01 00 00 00"), CommandCheck::bad_packet_id},
        Bad{"last_wide", with(kExample, 16, "ff ff ff ff"), CommandCheck::bad_packet_id},
        Bad{"reversed", with(kExample, 12, "00 00 03 f0"), CommandCheck::reversed_range},
        Bad{"extended_reversed", with(kExtended, 16, "00 00 00 04"), CommandCheck::reversed_range}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
