// Saves received images as PNG files: the first and then every Nth, named after their place
// in the run and their block id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "api/tools_door.h"
#include "qel.h"

namespace qel::recv_tool {

class FrameSaver {
public:
    // `kind`: whether `dir` must be the user's own folder (one the tool chose) or may be any
    // folder no other user controls (one the user named).
    FrameSaver(std::string dir, uint64_t every, files::Folder kind)
        : dir_(std::move(dir)), every_(every), kind_(kind) {}
    ~FrameSaver();
    FrameSaver(const FrameSaver &) = delete;
    FrameSaver &operator=(const FrameSaver &) = delete;

    // Saves the block when its turn has come (sequence 1, 1 + every, ...). Blocks that hold
    // no image are passed over; the first image that cannot be saved stops saving (error()).
    void offer(const qel_block_t &block, uint64_t sequence);
    // Saves the block now; the file's path, or empty with error() set.
    std::string save(const qel_block_t &block, uint64_t sequence);

    [[nodiscard]] const std::vector<std::string> &saved() const { return saved_; }
    [[nodiscard]] const std::string &error() const { return error_; }

private:
    std::string dir_;
    uint64_t every_;
    files::Folder kind_;
    int folder_ = -1;  // opened at the first save
    std::vector<std::string> saved_;
    std::string error_;
};

// "frame-000042-block-43.png"
[[nodiscard]] std::string frame_file_name(uint64_t sequence, uint64_t block_id);

}  // namespace qel::recv_tool
