#include "recv_tool/metrics_export.h"

#include <cstdlib>

namespace qel::recv_tool {

namespace {

// The add-on's periods, in milliseconds; it writes the file about every five seconds anyway.
constexpr uint32_t kAdapterPeriodMs = 1000;
constexpr uint32_t kStreamPeriodMs = 1000;
// Any processor may run the export thread.
constexpr uint64_t kAnyProcessor = 0xFFFFFFFF;

}  // namespace

void name_metrics_file(const std::string &path) {
    setenv("QEL_TELEMETRY_METRICS_FILE", path.c_str(), 1);
}

std::string MetricsExport::start(qel_stream_t *stream) {
    if (qel_create_metrics(&context_, kAdapterPeriodMs, kStreamPeriodMs, 0, 0) != 0) {
        return "--metrics: the telemetry add-on (libqeltelemetry.so) is not installed or did "
               "not start";
    }
    if (qel_add_metrics(context_, stream) != 0) return "--metrics: the stream cannot be attached";
    stream_ = stream;
    if (qel_enable_metrics(context_) != 0 || qel_start_metrics(context_, kAnyProcessor) != 0) {
        return "--metrics: the export did not start";
    }
    started_ = true;
    return {};
}

void MetricsExport::stop() {
    if (context_ == nullptr) return;
    if (started_) qel_stop_metrics(context_);
    qel_disable_metrics(context_);
    if (stream_ != nullptr) qel_remove_metrics(stream_);
    qel_destroy_metrics(context_);
    context_ = nullptr;
    stream_ = nullptr;
    started_ = false;
}

}  // namespace qel::recv_tool
