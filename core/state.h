// The process-wide state of the library.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "hux.h"

namespace qel::core {

// The API version of the first successful qel_init; 0 while not initialised. Entry points that
// need the library refuse while it is 0. Stored with release after qel_board_handle, so an
// acquire load that sees it non-zero also sees the handle.
extern std::atomic<uint16_t> qel_api_version;
// Control handle of the first board, open for the life of the process once initialised.
extern hux_handle_t qel_board_handle;

inline bool initialised() {
    return qel_api_version.load(std::memory_order_acquire) != 0;
}

// Serialises qel_init (one thread initialises, the others wait and see its result) and the
// reset below.
extern std::mutex init_mutex;

// Returns the library to its state at load: not initialised, board handle closed. Tests only.
void reset_library_state();

}  // namespace qel::core
