// Writes a received image as a PNG file, so that a person can look at what arrived.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "common/pixel_formats.h"

namespace qel::recv_tool {

// The pixel formats that can be saved.
inline constexpr uint32_t kMono8 = tools::pixel_format("Mono8");
inline constexpr uint32_t kMono16 = tools::pixel_format("Mono16");
inline constexpr uint32_t kRgb8 = tools::pixel_format("RGB8");
inline constexpr uint32_t kBgr8 = tools::pixel_format("BGR8");

// An image as the block record describes it: lines of width pixels, each followed by
// padding_x bytes.
struct ImageView {
    uint32_t pixel_format = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t padding_x = 0;
    std::span<const uint8_t> data;  // the block's payload as received
};

// Bytes per pixel of a format that can be saved; 0 for any other.
[[nodiscard]] uint32_t png_bytes_per_pixel(uint32_t pixel_format);

// Writes the image as the file `name` in the open folder `folder` (8-bit grey, 16-bit grey, or
// 8-bit RGB); an empty text on success, else a one-line reason. The file is never written
// through a link nor when it is another user's. The image must lie wholly within the data.
[[nodiscard]] std::string write_png(int folder, const std::string &name, const ImageView &image);

}  // namespace qel::recv_tool
