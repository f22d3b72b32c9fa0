// Block payloads: test patterns and generated data, every byte a pure function of the frame
// number and its position, so that a packet can be built again at any time (resend) and a
// receiver can check what it reassembled.
//
// Image (Mono8):  pixel(x, y) = (x + 2y + 3n) mod 256 for frame n.
//   BayerRG8 carries the same bytes; Mono16 holds that value in both bytes of each pixel.
// Image (RGB8):   R = (x + n) mod 256, G = (y + 2n) mod 256, B = (x + y + 3n) mod 256;
//   BGR8 the same in the order B, G, R.
//   In the top-left corner the frame number n is drawn in decimal digits: a black box of
//   9s rows and (6 x digits + 1)s columns, s = max(1, height / 60), each digit a 5x7 glyph
//   scaled by s, white, its cell starting at (s + 6s x k, s); the box is clipped to the image.
// Raw data, generated file: 64-bit big-endian words, word k = (n mod 2^24) << 40 | (k mod 2^40).
// Chunk kinds: the image as a chunk (padded to 4 bytes), then a 16-byte frame-info chunk
//   holding the frame number and the block id (64 bits each); each chunk's data is followed
//   by its chunk id and length (32 bits each), as chunk data is laid out.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "camsim/camsim.h"

namespace qel::camsim {

inline constexpr uint32_t kImageChunkId = 0x0A000001;
inline constexpr uint32_t kFrameInfoChunkId = 0x0A000002;
inline constexpr uint32_t kFrameInfoChunkLength = 16;
inline constexpr uint32_t kChunkTagSize = 8;

class PayloadGenerator {
public:
    // `file_content` is the file payload when the configuration names a file, else empty.
    PayloadGenerator(const Config &config,
                     std::shared_ptr<const std::vector<uint8_t>> file_content);

    // Bytes of every block's payload.
    [[nodiscard]] uint64_t payload_size() const { return payload_size_; }

    // Writes payload bytes [offset, offset + out.size()) of frame `frame`; the caller keeps
    // the range inside the payload. Safe to call from several threads at once.
    void fill(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const;

    // Pixel scale of the frame-number digits (s above).
    [[nodiscard]] uint32_t digit_scale() const { return scale_; }

private:
    void fill_image(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const;
    void fill_row(uint64_t frame, uint32_t y, uint32_t first_byte, std::span<uint8_t> out) const;
    void draw_digits(uint64_t frame, uint32_t y, uint32_t first_byte, std::span<uint8_t> out) const;
    void fill_chunk_tail(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const;

    Config config_;
    std::shared_ptr<const std::vector<uint8_t>> file_;
    uint32_t bytes_per_pixel_ = 1;
    bool bgr_ = false;
    uint64_t row_bytes_ = 0;
    uint64_t image_size_ = 0;
    uint64_t padded_image_size_ = 0;
    uint64_t payload_size_ = 0;
    uint32_t scale_ = 1;
};

// Raw data pattern, for [offset, offset + out.size()) of frame `frame`.
void fill_words(uint64_t frame, uint64_t offset, std::span<uint8_t> out);

}  // namespace qel::camsim
