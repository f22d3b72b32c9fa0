#include "recv_tool/png_writer.h"

#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "api/tools_door.h"

namespace qel::recv_tool {

uint32_t png_bytes_per_pixel(uint32_t pixel_format) {
    switch (pixel_format) {
        case kMono8:
            return 1;
        case kMono16:
            return 2;
        case kRgb8:
        case kBgr8:
            return 3;
        default:
            return 0;
    }
}

namespace {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

// libpng reports errors by longjmp from inside its calls: everything that needs releasing
// lives outside the function that calls setjmp, and no C++ object with a destructor is
// created between setjmp and the calls that may jump.
struct PngWrite {
    png_structp png = nullptr;
    png_infop info = nullptr;
    std::string error;
    ~PngWrite() { png_destroy_write_struct(&png, info != nullptr ? &info : nullptr); }
};

void on_error(png_structp png, png_const_charp message) {
    auto *state = static_cast<PngWrite *>(png_get_error_ptr(png));
    state->error = message;
    png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

// Runs libpng's part of the write; false when it failed (state.error says why).
bool encode(PngWrite &state, FILE *file, const ImageView &image, int color_type, int bit_depth,
            png_bytepp rows) {
    if (setjmp(png_jmpbuf(state.png)) != 0) return false;
    png_init_io(state.png, file);
    png_set_IHDR(state.png, state.info, image.width, image.height, bit_depth, color_type,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // Fast compression: saving must not hold up the stream much.
    png_set_compression_level(state.png, 1);
    png_write_info(state.png, state.info);
    png_write_image(state.png, rows);
    png_write_end(state.png, nullptr);
    return true;
}

}  // namespace

std::string write_png(int folder, const std::string &name, const ImageView &image) {
    const uint32_t bpp = png_bytes_per_pixel(image.pixel_format);
    if (bpp == 0) {
        return "pixel format " + tools::pixel_format_name(image.pixel_format) +
               " cannot be saved as PNG; Mono8, Mono16, RGB8 and BGR8 can";
    }
    // PNG itself allows 2^31 - 1; the limit keeps the size arithmetic below far from overflow.
    if (image.width == 0 || image.height == 0 || image.width > 65535 || image.height > 65535) {
        return "image size " + std::to_string(image.width) + "x" + std::to_string(image.height) +
               " cannot be saved";
    }
    const uint64_t stride = uint64_t{image.width} * bpp + image.padding_x;
    const uint64_t needed = stride * (image.height - 1) + uint64_t{image.width} * bpp;
    if (needed > image.data.size()) {
        return "the block holds " + std::to_string(image.data.size()) + " bytes, the image needs " +
               std::to_string(needed);
    }

    // PNG rows: 16-bit samples are big-endian in PNG and little-endian on the wire; BGR is
    // turned into RGB. Mono8 and RGB8 rows are used in place.
    std::vector<uint8_t> converted;
    std::vector<png_bytep> rows(image.height);
    const uint64_t row_bytes = uint64_t{image.width} * bpp;
    const bool convert = image.pixel_format == kMono16 || image.pixel_format == kBgr8;
    if (convert) converted.resize(row_bytes * image.height);
    for (uint32_t y = 0; y < image.height; ++y) {
        const uint8_t *in = image.data.data() + stride * y;
        if (!convert) {
            rows[y] = const_cast<png_bytep>(in);  // libpng only reads the rows it writes
            continue;
        }
        uint8_t *out = converted.data() + row_bytes * y;
        if (image.pixel_format == kMono16) {
            for (uint64_t i = 0; i < row_bytes; i += 2) {
                out[i] = in[i + 1];
                out[i + 1] = in[i];
            }
        } else {
            for (uint64_t i = 0; i < row_bytes; i += 3) {
                out[i] = in[i + 2];
                out[i + 1] = in[i + 1];
                out[i + 2] = in[i];
            }
        }
        rows[y] = out;
    }
    const int color_type = bpp == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    const int bit_depth = bpp == 2 ? 16 : 8;

    const files::Opened opened = files::open_file(folder, name, O_WRONLY | O_TRUNC, 0644);
    if (!opened) return "cannot write: " + opened.problem;
    std::unique_ptr<FILE, FileCloser> file(fdopen(opened.fd, "wb"));
    if (!file) {
        close(opened.fd);
        return "cannot write " + name + ": " + std::strerror(errno);
    }
    PngWrite state;
    state.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, on_error, on_warning);
    if (state.png != nullptr) state.info = png_create_info_struct(state.png);
    if (state.png == nullptr || state.info == nullptr) return "out of memory for PNG";
    if (!encode(state, file.get(), image, color_type, bit_depth, rows.data())) {
        return "cannot write " + name + ": " + state.error;
    }
    if (std::fflush(file.get()) != 0 || std::ferror(file.get()) != 0) {
        return "cannot write " + name + ": " + std::strerror(errno);
    }
    return {};
}

}  // namespace qel::recv_tool
