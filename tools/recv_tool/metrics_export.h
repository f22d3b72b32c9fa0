// --metrics FILE: the telemetry add-on writes the stream's counters to FILE in the Prometheus
// text format while the tool runs. The library refuses qel_get_stats for a stream whose metrics
// are being exported, so the export ends before the summary reads the counters.
#pragma once

#include <string>

#include "qel.h"

namespace qel::recv_tool {

// Names FILE as the add-on's metrics file; call before qel_init, which loads the add-on.
void name_metrics_file(const std::string &path);

class MetricsExport {
public:
    MetricsExport() = default;
    ~MetricsExport() { stop(); }
    MetricsExport(const MetricsExport &) = delete;
    MetricsExport &operator=(const MetricsExport &) = delete;

    // Attaches the stream to a new metrics context and starts exporting. Empty on success,
    // else the reason.
    [[nodiscard]] std::string start(qel_stream_t *stream);
    // Ends the export and detaches the stream; again is harmless.
    void stop();

private:
    qel_metrics_trace_t *context_ = nullptr;
    qel_stream_t *stream_ = nullptr;
    bool started_ = false;
};

}  // namespace qel::recv_tool
