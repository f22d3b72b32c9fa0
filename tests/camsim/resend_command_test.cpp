// PACKETRESEND commands as they arrive: the well-formed forms read right, every malformed one
// is refused with its reason.
#include <gtest/gtest.h>

#include "camsim/resend_command.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::hex;

// The example of the wire format notes: channel 0, block 66, packets 1007 to 1007, request
// id 0x1f70.
const std::string kExample = "42 00 00 40 00 0c 1f 70 00 00 00 42 00 00 03 ef 00 00 03 ef";
// Extended ids: channel 3, packets 5 to 0xFFFFFFFF of block 0x0102030405060708.
const std::string kExtended =
    "42 10 00 40 00 14 00 07 00 03 00 00 00 00 00 05 ff ff ff ff 01 02 03 04 05 06 07 08";

std::string with(const std::string &base, size_t at, const std::string &replacement) {
    return std::string(base).replace(at * 3, replacement.size(), replacement);
}

TEST(ResendCommand, ReadsEveryWellFormedForm) {
    const struct {
        std::string bytes;
        ResendCommand want;
    } cases[] = {
        {kExample, {false, 0x1f70, 0, 66, 1007, 1007}},
        {kExtended, {true, 7, 3, 0x0102030405060708, 5, 0xFFFFFFFF}},
        // Sent as 28 bytes whatever the length field says; the acknowledge flag.
        {kExample + " 00 00 00 00 00 00 00 00", {false, 0x1f70, 0, 66, 1007, 1007}},
        {with(kExample, 1, "01"), {false, 0x1f70, 0, 66, 1007, 1007}},
        // The library's last id for "to the end" with standard ids.
        {"42 00 00 40 00 0c 00 01 00 00 ff ff 00 00 00 00 00 ff ff ff",
         {false, 1, 0, 0xFFFF, 0, 0xFFFFFF}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        ResendCommand got;
        ASSERT_EQ(parse_resend_command(hex(c.bytes), &got), CommandCheck::ok);
        EXPECT_EQ(got.extended_ids, c.want.extended_ids);
        EXPECT_EQ(got.request_id, c.want.request_id);
        EXPECT_EQ(got.channel, c.want.channel);
        EXPECT_EQ(got.block_id, c.want.block_id);
        EXPECT_EQ(got.first_packet_id, c.want.first_packet_id);
        EXPECT_EQ(got.last_packet_id, c.want.last_packet_id);
    }
}

TEST(ResendCommand, MalformedCommandsAreRefusedWithTheirReason) {
    const std::pair<std::string, CommandCheck> cases[] = {
        {"", CommandCheck::too_short},
        {"42 00 00 40 00 0c 1f", CommandCheck::too_short},
        {kExample.substr(0, 19 * 3 - 1), CommandCheck::too_short},
        {kExtended.substr(0, 27 * 3 - 1), CommandCheck::too_short},
        {with(kExample, 0, "43"), CommandCheck::bad_key},
        {with(kExample, 1, "02"), CommandCheck::bad_flags},
        {with(kExample, 1, "80"), CommandCheck::bad_flags},
        {with(kExample, 2, "00 80"), CommandCheck::bad_command},
        {with(kExample, 2, "00 41"), CommandCheck::bad_command},  // the acknowledge's code
        {with(kExample, 4, "00 14") + " 00 00 00 00 00 00 00 00", CommandCheck::bad_length},
        {with(kExtended, 4, "00 0c"), CommandCheck::bad_length},
        {with(kExample, 4, "00 00"), CommandCheck::bad_length},
        {with(kExtended, 10, "00 01"), CommandCheck::reserved_set},
        {with(kExample, 10, "00 00"), CommandCheck::zero_block_id},
        {with(kExtended, 20, "00 00 00 00 00 00 00 00"), CommandCheck::zero_block_id},
        {with(kExample, 12, "01 00 00 00"), CommandCheck::bad_packet_id},
        {with(kExample, 16, "ff ff ff ff"), CommandCheck::bad_packet_id},
        {with(kExample, 12, "00 00 03 f0"), CommandCheck::reversed_range},
        {with(kExtended, 16, "00 00 00 04"), CommandCheck::reversed_range},
    };
    for (const auto &[bytes, check] : cases) {
        ResendCommand c;
        c.block_id = 12345;
        EXPECT_EQ(parse_resend_command(hex(bytes), &c), check) << bytes;
        EXPECT_EQ(c.block_id, 12345u) << "a refused command leaves the output alone: " << bytes;
    }
}

}  // namespace
