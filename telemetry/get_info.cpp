// The accessor of a context's flags and periods, and its publication to diagnostic programs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

constexpr uint32_t kUnknownKey = 0xFFFFFFFFu;
constexpr size_t kPublishedBytes = 29;  // "FP_GET_INFO=", 16 hex digits, NUL

// The buffer address the value of QEL_API_TEST_BUF names; false unless the whole value is a
// hexadecimal number.
bool parse_address(const char *text, uintptr_t &address) {
    if (*text == '\0' || *text == '-' || *text == '+') return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 16);
    if (errno != 0 || *end != '\0' || value > UINTPTR_MAX) return false;
    address = static_cast<uintptr_t>(value);
    return true;
}

// Copies `size` bytes to `address` only if that memory is mapped and writable in this process:
// the kernel does the copy, from a pipe, and refuses (EFAULT) rather than fault. A buffer whose
// end runs into memory it may not write can get its writable start written before the refusal.
bool write_if_writable(uintptr_t address, const char *bytes, size_t size) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    const bool written =
        write(ends[1], bytes, size) == static_cast<ssize_t>(size) &&
        read(ends[0], reinterpret_cast<void *>(address), size) == static_cast<ssize_t>(size);
    close(ends[0]);
    close(ends[1]);
    return written;
}

}  // namespace

uint32_t qel_metrics_trace_get_info(const qel_metrics_trace_t *ctx, const char *key) {
    if (ctx == nullptr || key == nullptr) return kUnknownKey;
    const std::memory_order relaxed = std::memory_order_relaxed;
    if (std::strcmp(key, "num_streams") == 0) return load_flag(ctx->num_streams, relaxed);
    if (std::strcmp(key, "enab") == 0) return load_flag(ctx->enab, relaxed);
    if (std::strcmp(key, "active") == 0) return load_flag(ctx->active, relaxed);
    if (std::strcmp(key, "thread_started") == 0) return ctx->thread_started;
    if (ctx->is_metrics == 1) {
        if (std::strcmp(key, "adapter_period") == 0) return ctx->adapter_period;
        if (std::strcmp(key, "stream_period") == 0) return ctx->stream_period;
    }
    return kUnknownKey;
}

void qel_publish_get_info() {
    const char *value = std::getenv("QEL_API_TEST_BUF");
    if (value == nullptr) return;
    char text[kPublishedBytes];
    std::snprintf(text, sizeof text, "FP_GET_INFO=%016" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&qel_metrics_trace_get_info));
    // A diagnostic hook must never bring the application down: a value that names no buffer
    // this process may write is told of and skipped.
    uintptr_t address = 0;
    if (!parse_address(value, address) || !write_if_writable(address, text, sizeof text)) {
        std::fprintf(stderr,
                     "QEL (qel_publish_get_info): QEL_API_TEST_BUF=%s does not name %zu "
                     "writable bytes in this process: FP_GET_INFO is not written there\n",
                     value, kPublishedBytes);
    }
    setenv("FP_GET_INFO", text + std::strlen("FP_GET_INFO="), 1);
}

}  // namespace qel::telemetry
