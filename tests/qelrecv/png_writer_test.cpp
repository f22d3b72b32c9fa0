// The PNG writer: each pixel format decodes to the pixels received (16-bit samples swapped to
// PNG's byte order, BGR turned into RGB, line padding skipped), and bad images are refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "png_decode.h"
#include "recv/png_writer.h"

namespace qel::recv_tool {
namespace {

struct FormatCase {
    const char *name;
    uint32_t pixel_format;
    int color_type;
    int bit_depth;
    // Where PNG sample byte i of a pixel comes from in the received pixel.
    std::vector<int> byte_of;
};

class PngFormats : public ::testing::TestWithParam<FormatCase> {
protected:
    void SetUp() override { path_ = std::filesystem::temp_directory_path() / name(); }
    void TearDown() override { std::filesystem::remove(path_); }
    static std::string name() {
        return "qel-recv-png-" + std::to_string(getpid()) + "-" + GetParam().name + ".png";
    }
    std::filesystem::path path_;
};

TEST_P(PngFormats, DecodeToThePixelsReceived) {
    const FormatCase &c = GetParam();
    const uint32_t bpp = png_bytes_per_pixel(c.pixel_format);
    ASSERT_EQ(bpp, c.byte_of.size());
    constexpr uint32_t kWidth = 7;  // odd, so that rows are not a multiple of 4 bytes
    constexpr uint32_t kHeight = 5;
    constexpr uint32_t kPadding = 3;
    const uint32_t stride = kWidth * bpp + kPadding;
    std::vector<uint8_t> data(stride * kHeight, 0xEE);  // padding bytes must not show
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t i = 0; i < kWidth * bpp; ++i) data[y * stride + i] = uint8_t(y * 37 + i * 11);
    }
    ImageView image{c.pixel_format, kWidth, kHeight, kPadding, data};
    ASSERT_EQ(write_png(path_, image), "");

    const test::Decoded d = test::decode_png(path_);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(d.width, kWidth);
    EXPECT_EQ(d.height, kHeight);
    EXPECT_EQ(d.color_type, c.color_type);
    EXPECT_EQ(d.bit_depth, c.bit_depth);
    ASSERT_EQ(d.pixels.size(), size_t{kWidth} * bpp * kHeight);
    for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
            for (uint32_t b = 0; b < bpp; ++b) {
                ASSERT_EQ(d.pixels[(y * kWidth + x) * bpp + b],
                          data[y * stride + x * bpp + c.byte_of[b]])
                    << "pixel " << x << "," << y << " byte " << b;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PngFormats,
    ::testing::Values(FormatCase{"Mono8", kMono8, PNG_COLOR_TYPE_GRAY, 8, {0}},
                      FormatCase{"Mono16", kMono16, PNG_COLOR_TYPE_GRAY, 16, {1, 0}},
                      FormatCase{"RGB8", kRgb8, PNG_COLOR_TYPE_RGB, 8, {0, 1, 2}},
                      FormatCase{"BGR8", kBgr8, PNG_COLOR_TYPE_RGB, 8, {2, 1, 0}}),
    [](const auto &info) { return std::string(info.param.name); });

struct RefusedImage {
    const char *name;
    ImageView image;
    const char *message;
};

class PngRefused : public ::testing::TestWithParam<RefusedImage> {};

TEST_P(PngRefused, WritesNoFile) {
    const std::string path = std::filesystem::temp_directory_path() /
                             ("qel-recv-refused-" + std::to_string(getpid()) + ".png");
    EXPECT_EQ(write_png(path, GetParam().image), GetParam().message);
    EXPECT_FALSE(std::filesystem::exists(path));
}

const uint8_t kBytes[64] = {};

INSTANTIATE_TEST_SUITE_P(
    Bad, PngRefused,
    ::testing::Values(
        RefusedImage{"UnknownFormat",
                     {0x0110000B, 4, 4, 0, kBytes},
                     "pixel format 0x0110000b cannot be saved"},
        RefusedImage{"Empty", {kMono8, 0, 4, 0, kBytes}, "image size 0x4 cannot be saved"},
        // A block shorter than its leader said: the last line would be read past the end.
        RefusedImage{"ShortBlock",
                     {kMono8, 8, 8, 0, {kBytes, 63}},
                     "the block holds 63 bytes, the image needs 64"},
        // Padding counts between lines, not after the last.
        RefusedImage{"PaddedShortBlock",
                     {kMono8, 4, 4, 12, {kBytes, 51}},
                     "the block holds 51 bytes, the image needs 52"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PngWriter, UnwritablePathGivesTheReason) {
    const uint8_t pixel[1] = {7};
    EXPECT_EQ(write_png("/nonexistent-dir/x.png", {kMono8, 1, 1, 0, pixel}),
              "cannot write /nonexistent-dir/x.png: No such file or directory");
}

}  // namespace
}  // namespace qel::recv_tool
