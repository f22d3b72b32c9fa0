// The PNG writer: each pixel format decodes to the pixels received (16-bit samples swapped to
// PNG's byte order, BGR turned into RGB, line padding skipped), and bad images are refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "png_decode.h"
#include "recv/png_writer.h"

namespace qel::recv_tool {
namespace {

std::string scratch_png() {
    return std::filesystem::temp_directory_path() /
           ("qel-recv-png-" + std::to_string(getpid()) + ".png");
}

TEST(PngWriter, EachFormatDecodesToThePixelsReceived) {
    const struct {
        uint32_t pixel_format;
        int color_type, bit_depth;
        std::vector<uint32_t> byte_of;  // where PNG sample byte i comes from in the pixel
    } cases[] = {{kMono8, PNG_COLOR_TYPE_GRAY, 8, {0}},
                 {kMono16, PNG_COLOR_TYPE_GRAY, 16, {1, 0}},
                 {kRgb8, PNG_COLOR_TYPE_RGB, 8, {0, 1, 2}},
                 {kBgr8, PNG_COLOR_TYPE_RGB, 8, {2, 1, 0}}};
    const std::string path = scratch_png();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pixel_format);
        const uint32_t bpp = png_bytes_per_pixel(c.pixel_format);
        ASSERT_EQ(bpp, c.byte_of.size());
        // Odd width, so that rows are not a multiple of 4 bytes; padding bytes must not show.
        constexpr uint32_t kWidth = 7, kHeight = 5, kPadding = 3;
        const uint32_t stride = kWidth * bpp + kPadding;
        std::vector<uint8_t> data(stride * kHeight, 0xEE);
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t i = 0; i < kWidth * bpp; ++i)
                data[y * stride + i] = uint8_t(y * 37 + i * 11);
        }
        ASSERT_EQ(write_png(path, {c.pixel_format, kWidth, kHeight, kPadding, data}), "");
        const test::Decoded d = test::decode_png(path);
        std::filesystem::remove(path);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.width, kWidth);
        EXPECT_EQ(d.height, kHeight);
        EXPECT_EQ(d.color_type, c.color_type);
        EXPECT_EQ(d.bit_depth, c.bit_depth);
        std::vector<uint8_t> want;
        for (uint32_t y = 0; y < kHeight; ++y) {
            for (uint32_t x = 0; x < kWidth; ++x) {
                for (const uint32_t b : c.byte_of) want.push_back(data[y * stride + x * bpp + b]);
            }
        }
        EXPECT_EQ(d.pixels, want);
    }
}

TEST(PngWriter, BadImagesAreRefusedWithTheirReasonAndWriteNoFile) {
    const uint8_t bytes[64] = {};
    const std::string path = scratch_png();
    const std::pair<ImageView, const char *> cases[] = {
        {{0x0110000B, 4, 4, 0, bytes}, "pixel format 0x0110000b cannot be saved"},
        {{kMono8, 0, 4, 0, bytes}, "image size 0x4 cannot be saved"},
        // A block shorter than its leader said: the last line would be read past the end.
        {{kMono8, 8, 8, 0, {bytes, 63}}, "the block holds 63 bytes, the image needs 64"},
        // Padding counts between lines, not after the last.
        {{kMono8, 4, 4, 12, {bytes, 51}}, "the block holds 51 bytes, the image needs 52"},
    };
    for (const auto &[image, message] : cases) {
        EXPECT_EQ(write_png(path, image), message);
        EXPECT_FALSE(std::filesystem::exists(path)) << message;
    }
    EXPECT_EQ(write_png("/nonexistent-dir/x.png", {kMono8, 1, 1, 0, bytes}),
              "cannot write /nonexistent-dir/x.png: No such file or directory");
}

}  // namespace
}  // namespace qel::recv_tool
