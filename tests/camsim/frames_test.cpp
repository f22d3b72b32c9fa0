// Payload generation: the documented patterns, the frame-number digits, chunk data as a chunk
// reader sees it, and any range built on its own equal to the same range of the whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>

#include "camsim/camsim.h"
#include "camsim/frames.h"
#include "wire_helpers.h"

namespace {

using namespace qel::camsim;
using camsim_test::be32;
using camsim_test::be64;
using camsim_test::Bytes;

Bytes whole(const PayloadGenerator &g, uint64_t frame) {
    Bytes b(g.payload_size());
    g.fill(frame, 0, b);
    return b;
}

Config image(uint32_t width, uint32_t height, PixelFormat format) {
    Config c;
    c.width = width;
    c.height = height;
    c.pixel_format = format;
    return c;
}

TEST(Patterns, Mono8PixelsBelowTheDigitsFollowTheRamp) {
    const Config c = image(300, 120, PixelFormat::mono8);
    const PayloadGenerator g(c, nullptr);
    ASSERT_EQ(g.payload_size(), 300u * 120);
    ASSERT_EQ(g.digit_scale(), 2u);  // 120 / 60
    for (const uint64_t n : {0ull, 1ull, 77ull, 1000001ull}) {
        const Bytes b = whole(g, n);
        for (uint32_t y = 18; y < 120; y += 7) {  // below the 9 x 2 rows of the box
            for (uint32_t x = 0; x < 300; x += 13) {
                ASSERT_EQ(b[y * 300 + x], static_cast<uint8_t>(x + 2 * y + 3 * n))
                    << "frame " << n << " at " << x << "," << y;
            }
        }
    }
}

TEST(Patterns, Rgb8PixelsBelowTheDigitsFollowTheirChannels) {
    // Wider than 256 pixels: a row repeats its colours further along.
    const Config c = image(600, 70, PixelFormat::rgb8);
    const PayloadGenerator g(c, nullptr);
    ASSERT_EQ(g.payload_size(), 600u * 70 * 3);
    const uint64_t n = 300;
    const Bytes b = whole(g, n);
    for (uint32_t y = 9; y < 70; ++y) {
        for (uint32_t x = 0; x < 600; ++x) {
            const uint8_t *p = &b[(y * 600 + x) * 3];
            ASSERT_EQ(p[0], static_cast<uint8_t>(x + n));
            ASSERT_EQ(p[1], static_cast<uint8_t>(y + 2 * n));
            ASSERT_EQ(p[2], static_cast<uint8_t>(x + y + 3 * n));
        }
    }
}

// The box of the digits, as bytes, for frame n of a Mono8 image.
Bytes digit_box(const PayloadGenerator &g, const Config &c, uint64_t n, uint32_t box_width) {
    const Bytes b = whole(g, n);
    const uint32_t rows = 9 * g.digit_scale();
    Bytes box;
    for (uint32_t y = 0; y < rows; ++y) {
        box.insert(box.end(), b.begin() + y * c.width, b.begin() + y * c.width + box_width);
    }
    return box;
}

TEST(Patterns, TheFrameNumberIsDrawnInABlackBoxOfWhiteDigits) {
    const Config c = image(200, 60, PixelFormat::mono8);  // scale 1
    const PayloadGenerator g(c, nullptr);
    const uint32_t cell = 6;
    // One digit: a box of 7 x 9 pixels, only black and white, with some of each; the pixel
    // right of it follows the pattern again.
    std::set<Bytes> seen;
    for (uint64_t n = 0; n < 10; ++n) {
        const Bytes box = digit_box(g, c, n, cell + 1);
        size_t white = 0;
        for (const uint8_t v : box) {
            ASSERT_TRUE(v == 0 || v == 255) << "frame " << n;
            white += v == 255;
        }
        EXPECT_GT(white, 5u);
        EXPECT_LT(white, 35u);
        seen.insert(box);
        const Bytes b = whole(g, n);
        EXPECT_EQ(b[4 * c.width + cell + 1], static_cast<uint8_t>(cell + 1 + 8 + 3 * n));
    }
    EXPECT_EQ(seen.size(), 10u) << "every digit looks different";

    // Frame 10 draws a 1 then a 0: its cells are those of frames 1 and 0.
    const Bytes ten = whole(g, 10);
    const Bytes one = whole(g, 1);
    const Bytes zero = whole(g, 0);
    for (uint32_t y = 0; y < 9; ++y) {
        for (uint32_t x = 0; x < cell; ++x) {
            ASSERT_EQ(ten[y * 200 + x], one[y * 200 + x]);
            ASSERT_EQ(ten[y * 200 + cell + x + 1], zero[y * 200 + x + 1]);
        }
    }
}

TEST(Patterns, DigitsScaleWithTheImageAndAreClippedAtItsEdge) {
    const Config c = image(40, 600, PixelFormat::mono8);  // scale 10: the box is 9 x 10 rows
    const PayloadGenerator g(c, nullptr);
    ASSERT_EQ(g.digit_scale(), 10u);
    const Bytes b = whole(g, 123456789);  // a box of 550 columns, clipped to 40
    for (uint32_t y = 0; y < 90; ++y) {
        for (uint32_t x = 0; x < 40; ++x) ASSERT_TRUE(b[y * 40 + x] == 0 || b[y * 40 + x] == 255);
    }
    // A scaled glyph is made of 10 x 10 squares: rows 10..19 are all alike.
    for (uint32_t y = 11; y < 20; ++y) {
        ASSERT_TRUE(std::equal(b.begin() + y * 40, b.begin() + (y + 1) * 40, b.begin() + 10 * 40));
    }
    EXPECT_EQ(b[90 * 40], static_cast<uint8_t>(180 + 3 * 123456789ull));
}

TEST(Patterns, RawDataIsBigEndianWordsOfFrameAndIndex) {
    Config c;
    c.payload = PayloadKind::raw;
    c.data_size = 8 * 100 + 5;
    const PayloadGenerator g(c, nullptr);
    const uint64_t n = 0x1234567;  // only its low 24 bits show
    const Bytes b = whole(g, n);
    for (uint64_t k = 0; k < 100; ++k) {
        ASSERT_EQ(be64(&b[k * 8]), uint64_t{0x234567} << 40 | k);
    }
    EXPECT_EQ(camsim_test::to_hex({&b[800], 5}), "23 45 67 00 00");
}

TEST(Patterns, ChunkDataReadsBackFromItsEnd) {
    for (const PayloadKind kind :
         {PayloadKind::chunk, PayloadKind::extended_chunk, PayloadKind::image_extended_chunk}) {
        Config c = image(3, 3, PixelFormat::mono8);  // 9 image bytes, padded to 12
        c.payload = kind;
        c.extended_ids = true;
        c.first_block_id = 1000;
        const PayloadGenerator g(c, nullptr);
        ASSERT_EQ(g.payload_size(), 12u + 8 + 16 + 8);
        const uint64_t n = 42;
        const Bytes b = whole(g, n);
        // Walk the chunks from the end: each is data, then id and length.
        size_t end = b.size();
        EXPECT_EQ(be32(&b[end - 8]), kFrameInfoChunkId);
        ASSERT_EQ(be32(&b[end - 4]), 16u);
        end -= 8 + 16;
        EXPECT_EQ(be64(&b[end]), n);
        EXPECT_EQ(be64(&b[end + 8]), 1042u);
        EXPECT_EQ(be32(&b[end - 8]), kImageChunkId);
        ASSERT_EQ(be32(&b[end - 4]), 12u);
        end -= 8 + 12;
        EXPECT_EQ(end, 0u);
        // The image chunk holds the image, then zero padding.
        Config plain = image(3, 3, PixelFormat::mono8);
        const Bytes picture = whole(PayloadGenerator(plain, nullptr), n);
        EXPECT_TRUE(std::equal(picture.begin(), picture.end(), b.begin()));
        EXPECT_EQ(b[9], 0);
        EXPECT_EQ(b[10], 0);
        EXPECT_EQ(b[11], 0);
    }
}

}  // namespace

namespace qel::camsim {
// Test names show the payload kind and pixel format of a configuration.
void PrintTo(const Config &c, std::ostream *os) {
    *os << payload_kind_name(c.payload) << (c.pixel_format == PixelFormat::rgb8 ? " rgb8" : "");
}
}  // namespace qel::camsim

namespace {

class RangeFill : public ::testing::TestWithParam<Config> {};

TEST_P(RangeFill, AnyRangeEqualsThatRangeOfTheWhole) {
    const PayloadGenerator g(GetParam(), nullptr);
    const uint64_t n = 987654;
    const Bytes all = whole(g, n);
    std::mt19937_64 random(7);
    for (int i = 0; i < 300; ++i) {
        const uint64_t offset = random() % all.size();
        const size_t length =
            static_cast<size_t>(1 + random() % std::min<uint64_t>(3000, all.size() - offset));
        Bytes part(length);
        g.fill(n, offset, part);
        ASSERT_TRUE(std::equal(part.begin(), part.end(), all.begin() + static_cast<long>(offset)))
            << "offset " << offset << " length " << length;
    }
}

Config kind(PayloadKind k, PixelFormat f = PixelFormat::mono8) {
    Config c = image(97, 131, f);
    c.payload = k;
    c.data_size = 12347;
    return c;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RangeFill,
    ::testing::Values(kind(PayloadKind::image), kind(PayloadKind::image, PixelFormat::rgb8),
                      image(700, 40, PixelFormat::rgb8), kind(PayloadKind::raw),
                      kind(PayloadKind::file), kind(PayloadKind::chunk, PixelFormat::rgb8),
                      kind(PayloadKind::extended_chunk), kind(PayloadKind::image_extended_chunk)));

TEST(Patterns, FramesDifferEverywhereTheRampRuns) {
    const Config c = image(64, 64, PixelFormat::mono8);
    const PayloadGenerator g(c, nullptr);
    const Bytes a = whole(g, 5);
    const Bytes b = whole(g, 6);
    for (size_t i = 9 * 64; i < a.size(); ++i) ASSERT_NE(a[i], b[i]);
}

TEST(Simulator, FilePayloadIsTheFileAndItsNameIsChecked) {
    char path[] = "/tmp/camsim-file-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    Bytes content(5000);
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7 + 1);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(content.data()), content.size());

    Config c;
    c.payload = PayloadKind::file;
    c.file_path = path;
    Simulator sim(c);
    EXPECT_EQ(sim.config_error(), "");
    EXPECT_EQ(sim.payload_size(), 5000u);
    EXPECT_EQ(sim.expected_payload(0), content);
    EXPECT_EQ(sim.expected_payload(9), content);
    std::remove(path);

    Config missing = c;
    missing.file_path = "/nonexistent/camsim";
    EXPECT_NE(Simulator(missing).config_error(), "");
    Config nul_name = c;
    nul_name.file_name = std::string("a\0b", 3);
    EXPECT_NE(Simulator(nul_name).start(), "");
}

TEST(Simulator, ExpectedPayloadRangesAreChecked) {
    Config c = image(10, 10, PixelFormat::mono8);
    const Simulator sim(c);
    Bytes part(10);
    EXPECT_TRUE(sim.expected_payload(3, 90, part));
    EXPECT_FALSE(sim.expected_payload(3, 91, part));
    EXPECT_FALSE(sim.expected_payload(3, UINT64_MAX - 2, part));
    const Bytes all = sim.expected_payload(3);
    EXPECT_TRUE(std::equal(part.begin(), part.end(), all.begin() + 90));
}

}  // namespace
