#include "recv_tool/frame_saver.h"

#include <unistd.h>

#include <cstdio>

#include "recv_tool/png_writer.h"

namespace qel::recv_tool {

namespace {

bool holds_image(const qel_block_t &block) {
    // Image, and image followed by extended chunk data.
    return block.payload_type == 0x0001 || block.payload_type == 0x4001;
}

}  // namespace

std::string frame_file_name(uint64_t sequence, uint64_t block_id) {
    char name[80];
    std::snprintf(name, sizeof name, "frame-%06llu-block-%llu.png",
                  static_cast<unsigned long long>(sequence),
                  static_cast<unsigned long long>(block_id));
    return name;
}

FrameSaver::~FrameSaver() {
    if (folder_ >= 0) close(folder_);
}

void FrameSaver::offer(const qel_block_t &block, uint64_t sequence) {
    if (!error_.empty() || !holds_image(block) || sequence == 0) return;
    if ((sequence - 1) % every_ != 0) return;
    save(block, sequence);
}

std::string FrameSaver::save(const qel_block_t &block, uint64_t sequence) {
    if (!holds_image(block)) {
        error_ = "the block holds no image";
        return {};
    }
    ImageView image;
    image.pixel_format = block.u.image.pixel_format;
    image.width = block.u.image.size_x;
    image.height = block.u.image.size_y;
    image.padding_x = block.u.image.padding_x;
    image.data = {static_cast<const uint8_t *>(block.data), block.payload_length};
    if (folder_ < 0) {
        const files::Opened folder = files::open_folder(dir_, kind_);
        if (!folder) {
            error_ = "cannot save: " + folder.problem;
            return {};
        }
        folder_ = folder.fd;
    }
    const std::string name = frame_file_name(sequence, block.block_id);
    if (std::string error = write_png(folder_, name, image); !error.empty()) {
        error_ = error;
        return {};
    }
    saved_.push_back(dir_ + "/" + name);
    return saved_.back();
}

}  // namespace qel::recv_tool
