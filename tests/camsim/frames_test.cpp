// Payload generation: the documented patterns, the frame-number digits, chunk data as a chunk
// reader sees it, and any range built on its own equal to the same range of the whole.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
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

Config image(uint32_t width, uint32_t height, PixelFormat format = PixelFormat::mono8,
             PayloadKind kind = PayloadKind::image) {
    Config c;
    c.width = width;
    c.height = height;
    c.pixel_format = format;
    c.payload = kind;
    c.data_size = 12347;
    return c;
}

TEST(Patterns, PixelsBelowTheDigitsFollowTheRamps) {
    const PayloadGenerator mono(image(300, 120), nullptr);  // digits scaled 120 / 60 = 2
    ASSERT_EQ(mono.digit_scale(), 2u);
    for (const uint64_t n : {0ull, 77ull, 1000001ull}) {
        const Bytes b = whole(mono, n);
        ASSERT_EQ(b.size(), 300u * 120);
        for (uint32_t y = 18; y < 120; y += 7) {  // below the 9 x 2 rows of the box
            for (uint32_t x = 0; x < 300; x += 13) {
                ASSERT_EQ(b[y * 300 + x], static_cast<uint8_t>(x + 2 * y + 3 * n)) << n;
            }
        }
    }
    // Wider than 256 pixels: an RGB row repeats its colours further along.
    const uint64_t n = 300;
    const Bytes b = whole(PayloadGenerator(image(600, 70, PixelFormat::rgb8), nullptr), n);
    ASSERT_EQ(b.size(), 600u * 70 * 3);
    for (uint32_t y = 9; y < 70; ++y) {
        for (uint32_t x = 0; x < 600; ++x) {
            const uint8_t *p = &b[(y * 600 + x) * 3];
            ASSERT_EQ(p[0], static_cast<uint8_t>(x + n));
            ASSERT_EQ(p[1], static_cast<uint8_t>(y + 2 * n));
            ASSERT_EQ(p[2], static_cast<uint8_t>(x + y + 3 * n));
        }
    }
}

TEST(Patterns, TheFrameNumberIsDrawnInABlackBoxOfWhiteDigits) {
    const PayloadGenerator g(image(200, 60), nullptr);  // scale 1: a digit is 6 + 1 by 9
    std::set<Bytes> seen;
    for (uint64_t n = 0; n < 10; ++n) {
        const Bytes b = whole(g, n);
        Bytes box;
        for (uint32_t y = 0; y < 9; ++y) box.insert(box.end(), &b[y * 200], &b[y * 200 + 7]);
        const auto white = std::count(box.begin(), box.end(), 255);
        EXPECT_EQ(white + std::count(box.begin(), box.end(), 0), 63) << n;
        EXPECT_GT(white, 5);
        EXPECT_LT(white, 35);
        seen.insert(box);
        EXPECT_EQ(b[4 * 200 + 7], static_cast<uint8_t>(7 + 8 + 3 * n)) << "the ramp right of it";
    }
    EXPECT_EQ(seen.size(), 10u) << "every digit looks different";
    // Frame 10 draws a 1 then a 0: its cells are those of frames 1 and 0.
    const Bytes ten = whole(g, 10), one = whole(g, 1), zero = whole(g, 0);
    for (uint32_t y = 0; y < 9; ++y) {
        for (uint32_t x = 0; x < 6; ++x) {
            ASSERT_EQ(ten[y * 200 + x], one[y * 200 + x]);
            ASSERT_EQ(ten[y * 200 + 7 + x], zero[y * 200 + x + 1]);
        }
    }
    // Scale 10: 10 x 10 squares, the box of 550 columns clipped to the image's 40.
    const PayloadGenerator tall(image(40, 600), nullptr);
    ASSERT_EQ(tall.digit_scale(), 10u);
    const Bytes b = whole(tall, 123456789);
    for (uint32_t i = 0; i < 90 * 40; ++i) ASSERT_TRUE(b[i] == 0 || b[i] == 255) << i;
    for (uint32_t y = 11; y < 20; ++y) {
        ASSERT_TRUE(std::equal(&b[y * 40], &b[(y + 1) * 40], &b[10 * 40]));
    }
    EXPECT_EQ(b[90 * 40], static_cast<uint8_t>(180 + 3 * 123456789ull));
}

TEST(Patterns, RawDataIsBigEndianWordsOfFrameAndIndex) {
    Config c = image(1, 1, PixelFormat::mono8, PayloadKind::raw);
    c.data_size = 8 * 100 + 5;
    const Bytes b = whole(PayloadGenerator(c, nullptr), 0x1234567);  // its low 24 bits show
    for (uint64_t k = 0; k < 100; ++k) ASSERT_EQ(be64(&b[k * 8]), uint64_t{0x234567} << 40 | k);
    EXPECT_EQ(camsim_test::to_hex({&b[800], 5}), "23 45 67 00 00");
}

TEST(Patterns, ChunkDataReadsBackFromItsEnd) {
    const Bytes picture = whole(PayloadGenerator(image(3, 3), nullptr), 42);
    for (const PayloadKind kind :
         {PayloadKind::chunk, PayloadKind::extended_chunk, PayloadKind::image_extended_chunk}) {
        SCOPED_TRACE(payload_kind_name(kind));
        Config c = image(3, 3, PixelFormat::mono8, kind);  // 9 image bytes, padded to 12
        c.extended_ids = true;
        c.first_block_id = 1000;
        const Bytes b = whole(PayloadGenerator(c, nullptr), 42);
        ASSERT_EQ(b.size(), 12u + 8 + 16 + 8);
        // From the end: the frame info chunk (frame, block id), then the image chunk.
        EXPECT_EQ(be32(&b[36]), kFrameInfoChunkId);
        EXPECT_EQ(be32(&b[40]), 16u);
        EXPECT_EQ(be64(&b[20]), 42u);
        EXPECT_EQ(be64(&b[28]), 1042u);
        EXPECT_EQ(be32(&b[12]), kImageChunkId);
        EXPECT_EQ(be32(&b[16]), 12u);
        EXPECT_TRUE(std::equal(picture.begin(), picture.end(), b.begin()));
        EXPECT_EQ(be32(&b[8]) & 0xFFFFFF, 0u) << "zero padding";
    }
}

TEST(Patterns, AnyRangeEqualsThatRangeOfTheWhole) {
    for (const Config &c :
         {image(97, 131), image(97, 131, PixelFormat::rgb8), image(700, 40, PixelFormat::rgb8),
          image(97, 131, PixelFormat::mono8, PayloadKind::raw),
          image(97, 131, PixelFormat::mono8, PayloadKind::file),
          image(97, 131, PixelFormat::rgb8, PayloadKind::chunk),
          image(97, 131, PixelFormat::mono8, PayloadKind::extended_chunk),
          image(97, 131, PixelFormat::mono8, PayloadKind::image_extended_chunk)}) {
        SCOPED_TRACE(::testing::Message() << payload_kind_name(c.payload) << " " << c.width << " "
                                          << static_cast<int>(c.pixel_format));
        const PayloadGenerator g(c, nullptr);
        const Bytes all = whole(g, 987654);
        std::mt19937_64 random(7);
        for (int i = 0; i < 300; ++i) {
            const uint64_t offset = random() % all.size();
            Bytes part(1 + random() % std::min<uint64_t>(3000, all.size() - offset));
            g.fill(987654, offset, part);
            ASSERT_TRUE(
                std::equal(part.begin(), part.end(), all.begin() + static_cast<long>(offset)))
                << "offset " << offset << " length " << part.size();
        }
    }
}

TEST(Simulator, FilePayloadIsTheFileAndItsNameAndRangesAreChecked) {
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
    const Simulator sim(c);
    EXPECT_EQ(sim.config_error(), "");
    EXPECT_EQ(sim.expected_payload(0), content);
    EXPECT_EQ(sim.expected_payload(9), content);
    Config nul_name = c;
    nul_name.file_name = std::string("a\0b", 3);
    EXPECT_NE(Simulator(nul_name).start(), "");
    std::remove(path);
    Bytes part(10);
    EXPECT_TRUE(sim.expected_payload(3, 4990, part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), content.begin() + 4990));
    EXPECT_FALSE(sim.expected_payload(3, 4991, part));
    EXPECT_FALSE(sim.expected_payload(3, UINT64_MAX - 2, part));

    c.file_path = "/nonexistent/camsim";
    EXPECT_NE(Simulator(c).config_error(), "");
}

}  // namespace
