// The image test pattern in every pixel format the simulator draws: the bytes of a pixel
// away from the frame number's box, the size of a frame, and any slice of it built alone.
#include <gtest/gtest.h>

#include <vector>

#include "camsim/camsim.h"

namespace qel::camsim {
namespace {

TEST(Pattern, EveryPixelFormatDrawsTheSamePicture) {
    constexpr uint32_t kWidth = 300, kHeight = 70, kX = 291, kY = 66;
    constexpr uint64_t kFrame = 5;
    const auto mono = static_cast<uint8_t>(kX + 2 * kY + 3 * kFrame);
    const auto red = static_cast<uint8_t>(kX + kFrame);
    const auto green = static_cast<uint8_t>(kY + 2 * kFrame);
    const auto blue = static_cast<uint8_t>(kX + kY + 3 * kFrame);
    struct Case {
        PixelFormat format;
        std::vector<uint8_t> pixel;
    };
    const Case cases[] = {
        {PixelFormat::mono8, {mono}},
        {PixelFormat::bayer_rg8, {mono}},
        {PixelFormat::mono16, {mono, mono}},
        {PixelFormat::rgb8, {red, green, blue}},
        {PixelFormat::bgr8, {blue, green, red}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(pixel_format_name(c.format));
        Config config;
        config.width = kWidth;
        config.height = kHeight;
        config.pixel_format = c.format;
        ASSERT_EQ(validate(config), "");
        const Simulator sim(config);
        const std::vector<uint8_t> frame = sim.expected_payload(kFrame);
        const size_t bpp = c.pixel.size();
        ASSERT_EQ(frame.size(), size_t{kWidth} * kHeight * bpp);
        const size_t at = (size_t{kY} * kWidth + kX) * bpp;
        EXPECT_EQ(std::vector<uint8_t>(frame.begin() + at, frame.begin() + at + bpp), c.pixel);
        // A slice starting inside a pixel and crossing rows is built as the whole frame has it.
        std::vector<uint8_t> slice(kWidth * bpp + 7);
        const size_t offset = size_t{kWidth} * bpp * 10 + 1;
        ASSERT_TRUE(sim.expected_payload(kFrame, offset, slice));
        EXPECT_TRUE(std::equal(slice.begin(), slice.end(), frame.begin() + offset));
    }
}

}  // namespace
}  // namespace qel::camsim
