// The metrics the add-on exports: the adapters a context found and the counters of the streams
// attached to it, as Prometheus text, written whole to one file on every export.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "qel.h"

namespace qel::addon {

// The two section renderers, also exported as qel_adapter_data_fetch and
// qel_stream_data_fetch: they write the section's text into `buffer` (cut to size - 1 and
// terminated, when size > 0) and return its full length, as snprintf does.
using SectionFetch = size_t (*)(const qel_metrics_trace_t *ctx, char *buffer, size_t size);

// The adapters: one qel_adapter_info sample per serial number the context holds.
std::string adapter_metrics(const qel_metrics_trace_t &ctx);
// The attached streams' counters read through `read`, labelled by board, endpoint, address
// and port; streams the reader refuses are left out.
std::string stream_metrics(const qel_metrics_trace_t &ctx, qel_get_stats_fn read);

// The state behind the metrics handle: the context most recently given to the add-on and
// where its exports go.
class MetricsExporter {
public:
    void init(const qel_metrics_trace_t *ctx, SectionFetch adapters, SectionFetch streams);
    // Writes the file; false when the text could not be written.
    bool export_now();

private:
    std::mutex mutex_;
    const qel_metrics_trace_t *ctx_ = nullptr;  // guarded by mutex_, as are the rest
    SectionFetch adapters_ = nullptr;
    SectionFetch streams_ = nullptr;
    std::string path_;
};

// The statistics reader the library registered; null until then.
void set_stats_reader(qel_get_stats_fn read);
qel_get_stats_fn stats_reader();

}  // namespace qel::addon
