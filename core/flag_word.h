// Flag words of the C API's plain records that one thread writes and another polls without a
// lock (the metrics and trace context's enab, active, in_wait_state, thread_cmd and
// num_streams): every access goes through these, as an atomic of its own. A store releases
// what the writer did before it and a load acquires it; relaxed where only the value matters.
#pragma once

#include <atomic>
#include <cstdint>

namespace qel::core {

inline uint32_t load_flag(const uint32_t &word,
                          std::memory_order order = std::memory_order_acquire) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(word)).load(order);
}
inline void store_flag(uint32_t &word, uint32_t value,
                       std::memory_order order = std::memory_order_release) {
    std::atomic_ref<uint32_t>(word).store(value, order);
}

}  // namespace qel::core
