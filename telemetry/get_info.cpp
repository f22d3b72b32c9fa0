// The accessor of a context's flags and periods, and its publication to diagnostic programs.
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

// The buffer address QEL_API_TEST_BUF names, or 0 when it names none: only a whole
// hexadecimal number is taken, so that stray text is never written through.
uintptr_t test_buffer_address() {
    const char *text = std::getenv("QEL_API_TEST_BUF");
    if (text == nullptr || *text == '\0') return 0;
    errno = 0;
    char *end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 16);
    if (errno != 0 || end == text || *end != '\0' || text[0] == '-') return 0;
    if (value > UINTPTR_MAX) return 0;
    return static_cast<uintptr_t>(value);
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
    const uintptr_t address = test_buffer_address();
    if (address == 0) return;
    char text[kPublishedBytes];
    std::snprintf(text, sizeof text, "FP_GET_INFO=%016" PRIXPTR,
                  reinterpret_cast<uintptr_t>(&qel_metrics_trace_get_info));
    std::memcpy(reinterpret_cast<char *>(address), text, sizeof text);
    setenv("FP_GET_INFO", text + std::strlen("FP_GET_INFO="), 1);
}

}  // namespace qel::telemetry
