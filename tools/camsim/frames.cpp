#include "camsim/frames.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include "camsim/block_ids.h"
#include "core/byte_order.h"

namespace qel::camsim {

namespace {

constexpr uint32_t kGlyphWidth = 5;
constexpr uint32_t kGlyphHeight = 7;
constexpr uint32_t kCellWidth = 6;  // glyph and one column of space
constexpr uint32_t kBoxRows = 9;    // a row of margin above and below the glyphs
constexpr uint32_t kScaleDivisor = 60;
constexpr uint8_t kInk = 0xFF;
constexpr uint8_t kPaper = 0x00;
constexpr uint64_t kWordIndexMask = (uint64_t{1} << 40) - 1;

// 5x7 digits, one row a byte, bit 4 the leftmost column.
constexpr std::array<std::array<uint8_t, kGlyphHeight>, 10> kDigits = {{
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
}};

// 0, 1, ..., 255, 0, 1, ..., 255: a Mono8 row is a run of this table from its first value.
constexpr std::array<uint8_t, 512> make_ramp() {
    std::array<uint8_t, 512> ramp{};
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i);
    return ramp;
}
constexpr std::array<uint8_t, 512> kRamp = make_ramp();

uint64_t pad4(uint64_t n) {
    return (n + 3) & ~uint64_t{3};
}

}  // namespace

void fill_words(uint64_t frame, uint64_t offset, std::span<uint8_t> out) {
    const uint64_t high = (frame & 0xFFFFFF) << 40;
    uint64_t word = offset / 8;
    const size_t skip = offset % 8;
    uint8_t *p = out.data();
    size_t left = out.size();
    if (skip != 0 && left != 0) {
        uint8_t bytes[8];
        store_be64(bytes, high | (word & kWordIndexMask));
        const size_t n = std::min(left, 8 - skip);
        std::memcpy(p, bytes + skip, n);
        p += n;
        left -= n;
        ++word;
    }
    for (; left >= 8; left -= 8, p += 8, ++word) store_be64(p, high | (word & kWordIndexMask));
    if (left != 0) {
        uint8_t bytes[8];
        store_be64(bytes, high | (word & kWordIndexMask));
        std::memcpy(p, bytes, left);
    }
}

PayloadGenerator::PayloadGenerator(const Config &config,
                                   std::shared_ptr<const std::vector<uint8_t>> file_content)
    : config_(config), file_(std::move(file_content)) {
    bytes_per_pixel_ = bytes_per_pixel(config.pixel_format);
    bgr_ = config.pixel_format == PixelFormat::bgr8;
    row_bytes_ = uint64_t{config.width} * bytes_per_pixel_;
    image_size_ = row_bytes_ * config.height;
    padded_image_size_ = pad4(image_size_);
    scale_ = std::max<uint32_t>(1, config.height / kScaleDivisor);
    switch (config.payload) {
        case PayloadKind::image:
            payload_size_ = image_size_;
            break;
        case PayloadKind::raw:
            payload_size_ = config.data_size;
            break;
        case PayloadKind::file:
            payload_size_ = file_ && !config.file_path.empty() ? file_->size() : config.data_size;
            break;
        case PayloadKind::chunk:
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            payload_size_ =
                padded_image_size_ + kChunkTagSize + kFrameInfoChunkLength + kChunkTagSize;
            break;
    }
}

void PayloadGenerator::fill(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const {
    switch (config_.payload) {
        case PayloadKind::image:
            fill_image(frame, offset, out);
            return;
        case PayloadKind::raw:
            fill_words(frame, offset, out);
            return;
        case PayloadKind::file:
            if (file_ && !config_.file_path.empty()) {
                std::memcpy(out.data(), file_->data() + offset, out.size());
            } else {
                fill_words(frame, offset, out);
            }
            return;
        case PayloadKind::chunk:
        case PayloadKind::extended_chunk:
        case PayloadKind::image_extended_chunk:
            break;
    }
    // Chunk data: the image chunk's data, its padding, then the tags and the info chunk.
    if (offset < image_size_ && !out.empty()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), image_size_ - offset));
        fill_image(frame, offset, out.first(n));
        offset += n;
        out = out.subspan(n);
    }
    if (offset < padded_image_size_ && !out.empty()) {
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(out.size(), padded_image_size_ - offset));
        std::memset(out.data(), 0, n);
        offset += n;
        out = out.subspan(n);
    }
    if (!out.empty()) fill_chunk_tail(frame, offset - padded_image_size_, out);
}

void PayloadGenerator::fill_chunk_tail(uint64_t frame, uint64_t offset,
                                       std::span<uint8_t> out) const {
    std::array<uint8_t, kChunkTagSize + kFrameInfoChunkLength + kChunkTagSize> tail{};
    uint8_t *p = tail.data();
    store_be32(p, kImageChunkId);
    store_be32(p + 4, static_cast<uint32_t>(padded_image_size_));
    store_be64(p + 8, frame);
    store_be64(p + 16, block_id_of_frame(config_.first_block_id, config_.extended_ids, frame));
    store_be32(p + 24, kFrameInfoChunkId);
    store_be32(p + 28, kFrameInfoChunkLength);
    std::memcpy(out.data(), tail.data() + offset, out.size());
}

void PayloadGenerator::fill_image(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const {
    uint64_t y = offset / row_bytes_;
    uint64_t first = offset % row_bytes_;
    while (!out.empty()) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), row_bytes_ - first));
        fill_row(frame, static_cast<uint32_t>(y), static_cast<uint32_t>(first), out.first(n));
        out = out.subspan(n);
        ++y;
        first = 0;
    }
}

void PayloadGenerator::fill_row(uint64_t frame, uint32_t y, uint32_t first_byte,
                                std::span<uint8_t> out) const {
    uint8_t *p = out.data();
    size_t left = out.size();
    if (bytes_per_pixel_ == 2) {
        // Both bytes of a Mono16 pixel hold its Mono8 value.
        const uint64_t start = 2 * uint64_t{y} + 3 * frame;
        for (size_t i = 0; i < left; ++i) {
            p[i] = static_cast<uint8_t>((first_byte + i) / 2 + start);
        }
    } else if (bytes_per_pixel_ == 1) {
        const auto start = static_cast<uint8_t>(first_byte + 2 * uint64_t{y} + 3 * frame);
        while (left != 0) {
            const size_t n = std::min<size_t>(left, 256);
            std::memcpy(p, kRamp.data() + start, n);
            p += n;
            left -= n;
        }
    } else {
        // An RGB8 or BGR8 row repeats every 256 pixels (768 bytes): work out one period, copy the
        // rest.
        constexpr size_t kPeriod = 3 * 256;
        uint32_t x = first_byte / 3;
        uint32_t channel = first_byte % 3;
        auto red = static_cast<uint8_t>(x + frame);
        const auto green = static_cast<uint8_t>(y + 2 * frame);
        auto blue = static_cast<uint8_t>(x + y + 3 * frame);
        const size_t computed = std::min(left, kPeriod);
        // BGR8 holds the same picture, its channels in the other order.
        const uint32_t first_channel = bgr_ ? 2 : 0;
        for (size_t i = 0; i < computed; ++i) {
            p[i] = channel == first_channel ? red : channel == 1 ? green : blue;
            if (++channel == 3) {
                channel = 0;
                ++red;
                ++blue;
            }
        }
        for (size_t i = kPeriod; i < left; i += kPeriod) {
            std::memcpy(p + i, p, std::min(kPeriod, left - i));
        }
    }
    if (y < kBoxRows * scale_) draw_digits(frame, y, first_byte, out);
}

void PayloadGenerator::draw_digits(uint64_t frame, uint32_t y, uint32_t first_byte,
                                   std::span<uint8_t> out) const {
    char text[24];
    const auto result = std::to_chars(text, text + sizeof text, frame);
    const auto digits = static_cast<uint32_t>(result.ptr - text);
    const uint64_t box_width =
        std::min<uint64_t>(uint64_t{kCellWidth * digits + 1} * scale_, config_.width);
    const uint64_t first_pixel = first_byte / bytes_per_pixel_;
    const uint64_t end_byte = uint64_t{first_byte} + out.size();
    const uint64_t end_pixel =
        std::min<uint64_t>((end_byte + bytes_per_pixel_ - 1) / bytes_per_pixel_, box_width);
    const uint32_t s = scale_;
    const bool glyph_row = y >= s && y < (1 + kGlyphHeight) * s;
    const uint32_t glyph_y = glyph_row ? (y - s) / s : 0;
    for (uint64_t x = first_pixel; x < end_pixel; ++x) {
        bool ink = false;
        if (glyph_row && x >= s) {
            const uint64_t cell = (x - s) / (uint64_t{kCellWidth} * s);
            const uint64_t glyph_x = (x - s) / s - cell * kCellWidth;
            if (cell < digits && glyph_x < kGlyphWidth) {
                const uint8_t bits = kDigits[static_cast<size_t>(text[cell] - '0')][glyph_y];
                ink = (bits >> (kGlyphWidth - 1 - glyph_x)) & 1;
            }
        }
        const uint8_t value = ink ? kInk : kPaper;
        for (uint32_t c = 0; c < bytes_per_pixel_; ++c) {
            const uint64_t b = x * bytes_per_pixel_ + c;
            if (b >= first_byte && b < end_byte) out[static_cast<size_t>(b - first_byte)] = value;
        }
    }
}

}  // namespace qel::camsim
