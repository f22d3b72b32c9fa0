// The process-wide state of the library (state.h); qel_init (api/init.cpp) fills it.
#include "core/state.h"

#include "core/log.h"

namespace qel::core {

std::atomic<uint16_t> qel_api_version{0};
hux_handle_t qel_board_handle = HUX_INVALID_HANDLE;
std::mutex init_mutex;

void reset_library_state() {
    std::lock_guard lock(init_mutex);
    if (qel_board_handle != HUX_INVALID_HANDLE) hux_close(qel_board_handle);
    qel_board_handle = HUX_INVALID_HANDLE;
    qel_api_version.store(0, std::memory_order_release);
    qel_verbose.store(0, std::memory_order_relaxed);
    qel_debug.store(0, std::memory_order_relaxed);
}

}  // namespace qel::core
