#include "core/log.h"

#include <cstdarg>
#include <cstdio>

namespace qel::core {

std::atomic<uint32_t> qel_verbose{0};
std::atomic<uint32_t> qel_debug{0};

namespace {

constexpr size_t kMessageBytes = 512;

}  // namespace

void log_tagged(const char *tag, const char *format, ...) {
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::fprintf(stderr, "QEL (%s): %s\n", tag, message);
}

void log_notice(const char *format, ...) {
    char message[kMessageBytes];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::fprintf(stderr, "QEL: %s\n", message);
}

}  // namespace qel::core
