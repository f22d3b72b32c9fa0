// Decodes a PNG file with libpng, for comparing what qel-recv saved with what was sent.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace qel::recv_tool::test {

struct Decoded {
    bool ok = false;
    uint32_t width = 0;
    uint32_t height = 0;
    int color_type = -1;
    int bit_depth = 0;
    std::vector<uint8_t> pixels;  // rows without padding, samples as stored (16-bit big-endian)
};

// The plain API, not the simplified one: it keeps the samples as stored.
inline Decoded decode_png(const std::string &path) {
    Decoded d;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return d;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, f);
        png_read_info(png, info);
        d.width = png_get_image_width(png, info);
        d.height = png_get_image_height(png, info);
        d.color_type = png_get_color_type(png, info);
        d.bit_depth = png_get_bit_depth(png, info);
        const size_t row = png_get_rowbytes(png, info);
        d.pixels.resize(row * d.height);
        std::vector<png_bytep> rows(d.height);
        for (uint32_t y = 0; y < d.height; ++y) rows[y] = d.pixels.data() + row * y;
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        d.ok = true;
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return d;
}

}  // namespace qel::recv_tool::test
