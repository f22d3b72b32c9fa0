#include "hux/debug_output.h"

#include <syslog.h>

#include <atomic>

namespace qel::hux {

namespace {

// Relaxed: the sink is a plain function, nothing else is published through this pointer.
std::atomic<DebugOutputSink> installed_sink{nullptr};

}  // namespace

void debug_output(const char *text) {
    if (DebugOutputSink sink = installed_sink.load(std::memory_order_relaxed)) {
        sink(text);
        return;
    }
    syslog(LOG_DEBUG, "%s", text);
}

void set_debug_output_sink(DebugOutputSink sink) {
    installed_sink.store(sink, std::memory_order_relaxed);
}

}  // namespace qel::hux
