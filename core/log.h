// Diagnostics: the two message forms every part of the library writes to standard error.
#pragma once

#include <atomic>
#include <cstdint>

namespace qel::core {

// Process-wide switches, set to 1 by qel_init from the environment and never cleared. Read
// from any thread while a later qel_init may set them, so they are atomic words read relaxed:
// nothing else is published through them.
extern std::atomic<uint32_t> qel_verbose;
extern std::atomic<uint32_t> qel_debug;

inline bool verbose() {
    return qel_verbose.load(std::memory_order_relaxed) != 0;
}
inline bool debug() {
    return qel_debug.load(std::memory_order_relaxed) != 0;
}

// Every message is first formatted into a 512-byte buffer (longer ones are cut to 511
// characters), then written as "QEL (tag): message\n".
void log_tagged(const char *tag, const char *format, ...) __attribute__((format(printf, 2, 3)));
// The notice form "QEL: message\n".
void log_notice(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace qel::core

// Gated forms: the arguments are evaluated only when the switch is on.
#define QEL_VERBOSE_TAGGED(tag, ...)                                           \
    do {                                                                       \
        if (::qel::core::verbose()) ::qel::core::log_tagged(tag, __VA_ARGS__); \
    } while (0)
#define QEL_DEBUG_TAGGED(tag, ...)                                           \
    do {                                                                     \
        if (::qel::core::debug()) ::qel::core::log_tagged(tag, __VA_ARGS__); \
    } while (0)
