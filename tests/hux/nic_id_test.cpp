// The text form of a NIC id, whole and cut to short buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "hux.h"

namespace qel::test {
namespace {

struct NicTextCase {
    uint64_t nic_id;
    uint32_t size;
    const char *text;
};
void PrintTo(const NicTextCase &c, std::ostream *os) {
    *os << std::hex << c.nic_id << std::dec << " in " << c.size << " bytes";
}

class NicIdToStr : public ::testing::TestWithParam<NicTextCase> {};

TEST_P(NicIdToStr, WritesTerminatedTextAndNothingBeyondTheSize) {
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    hux_nic_id_to_str(buf, GetParam().nic_id, GetParam().size);
    EXPECT_STREQ(buf, GetParam().text);
    for (size_t i = GetParam().size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, NicIdToStr,
                         ::testing::Values(NicTextCase{0x0A1B2C3D4E5F, 18, "0a:1b:2c:3d:4e:5f"},
                                           NicTextCase{0x0A1B2C3D4E5F, 9, "0a:1b:2c"},
                                           NicTextCase{0x0A1B2C3D4E5F, 1, ""},
                                           // Only the low 48 bits are the NIC id.
                                           NicTextCase{0xFFFF'A0B1C2D3E4F5, 18,
                                                       "a0:b1:c2:d3:e4:f5"},
                                           NicTextCase{0, 18, "00:00:00:00:00:00"}));

TEST(NicIdToStr, NoBufferOrNoRoomWritesNothing) {
    char buf[4] = {'#', '#', '#', '#'};
    hux_nic_id_to_str(buf, 0x0A1B2C3D4E5F, 0);
    EXPECT_EQ(std::string(buf, 4), "####");
    hux_nic_id_to_str(nullptr, 0x0A1B2C3D4E5F, 18);
}

}  // namespace
}  // namespace qel::test
