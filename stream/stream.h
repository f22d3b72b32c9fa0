// The stream record behind the application's qel_stream_t handle. Fields are grouped by the
// part of the library that owns them; open gives each its first value.
#pragma once

#include <cstdint>

struct qel_stream {
    // Counters read by qel_info, kept together and in this order: one that nothing advances,
    // blocks dropped instead of delivered, blocks delivered.
    uint64_t reserved_counter;
    uint64_t dropped_blocks;
    uint64_t delivered_blocks;
};
