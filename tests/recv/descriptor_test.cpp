// The descriptor ring: tags, read offset, progress page and doorbell.
#include <gtest/gtest.h>

#include "core/driver.h"
#include "recv/descriptor.h"
#include "support/receive_fixture.h"

using namespace qel::recv;

namespace {

using DescriptorTest = qel::test::ReceiveTest;

// Tags cycle 1..15 across the ring's wrap; the doorbell gets the count every 16 descriptors.
TEST_F(DescriptorTest, TagsWrapAndTheDoorbellRingsEverySixteenth) {
    const uint32_t slots = regions().length[0] / kDescriptorBytes;
    uint8_t *bell = regions().base[2];
    std::vector<uint32_t> rung_at;
    DescriptorResult result;
    for (uint32_t i = 0; i < slots + 20; ++i) {
        std::memset(bell, 0xEE, 8);
        post(qel::test::leader(i + 1, 1));
        EXPECT_EQ(stream_->read_ptr[63] & 0x0F, i % 15 + 1) << i;
        ASSERT_EQ(next_descriptor(stream_, 0, result), QEL_EAGAIN) << "a leader reports nothing";
        EXPECT_EQ(progress_word(progress_page::kConsumed), i + 1);
        EXPECT_EQ(progress_word(progress_page::kReadOffset), ((i + 1) % slots) * kDescriptorBytes);
        if (bell[0] != 0xEE) {
            rung_at.push_back(i + 1);
            const uint32_t n = i + 1;
            const uint8_t expected[8] = {static_cast<uint8_t>(n >> 24),
                                         static_cast<uint8_t>(n >> 16),
                                         static_cast<uint8_t>(n >> 8),
                                         static_cast<uint8_t>(n),
                                         0,
                                         0,
                                         0,
                                         0};
            EXPECT_EQ(std::memcmp(bell, expected, 8), 0) << n;
        }
    }
    ASSERT_GE(rung_at.size(), 3u);
    for (size_t k = 0; k < rung_at.size(); ++k) EXPECT_EQ(rung_at[k], 16 * k + 1);
}

}  // namespace
