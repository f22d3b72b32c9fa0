#include "addon/metrics.h"

#include <arpa/inet.h>
#include <time.h>

#include <atomic>
#include <cstring>

#include "addon/files.h"
#include "addon/prometheus_text.h"

namespace qel::addon {

namespace {

constexpr uint32_t kAdapterIndexes = 32;

// Acquire pairs with the release in set_stats_reader: the reader is the library's code,
// published once per load.
std::atomic<qel_get_stats_fn> registered_reader{nullptr};

struct Counter {
    const char *name;
    size_t offset;
    const char *help;
};

#define QEL_COUNTER(field, help) \
    { "qel_stream_" #field "_total", offsetof(qel_stats_t, field), help }
constexpr Counter kCounters[] = {
    QEL_COUNTER(blocks_dropped, "Blocks of the stream dropped instead of delivered."),
    QEL_COUNTER(blocks_dropped_by_watchdog, "Blocks dropped by the receive worker's watchdog."),
    QEL_COUNTER(blocks_complete, "Blocks received complete."),
    QEL_COUNTER(blocks_incomplete, "Blocks received incomplete."),
    QEL_COUNTER(poll_errors, "Receive polls that failed."),
    QEL_COUNTER(resend_requests, "Packet resend requests made."),
    QEL_COUNTER(resend_sent, "Packet resend requests sent to the camera."),
    QEL_COUNTER(resend_failed, "Packet resend requests that could not be sent."),
    QEL_COUNTER(block_timeouts, "Blocks that ran out of time while packets were resent."),
    QEL_COUNTER(resend_timeouts, "Packet resend requests not answered in time."),
    QEL_COUNTER(resend_limit_hits, "Blocks that reached the limit of resend requests."),
    QEL_COUNTER(buffers_allocated, "Buffers allocated for the stream."),
    QEL_COUNTER(buffers_freed, "Buffers of the stream freed."),
    QEL_COUNTER(buffers_queued, "Buffers queued for blocks."),
    QEL_COUNTER(worker_stops, "Receive worker stops."),
    QEL_COUNTER(worker_starts, "Receive worker starts."),
    QEL_COUNTER(worker_blocks, "Receive worker blocks."),
    QEL_COUNTER(worker_unblocks, "Receive worker unblocks."),
    QEL_COUNTER(worker_resend_series, "Resend series run by the receive worker."),
};
#undef QEL_COUNTER
static_assert(sizeof kCounters / sizeof kCounters[0] == sizeof(qel_stats_t) / sizeof(uint64_t),
              "every counter of a stream is exported");

std::string address_text(uint32_t network_order) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = network_order;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

struct StreamSample {
    Labels labels;
    qel_stats_t stats;
};

// Runs one section renderer into a string.
std::string fetch(SectionFetch section, const qel_metrics_trace_t *ctx) {
    const size_t length = section(ctx, nullptr, 0);
    std::string text(length + 1, '\0');
    section(ctx, text.data(), text.size());
    text.resize(length);
    return text;
}

double now_seconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

void set_stats_reader(qel_get_stats_fn read) {
    registered_reader.store(read, std::memory_order_release);
}

qel_get_stats_fn stats_reader() {
    return registered_reader.load(std::memory_order_acquire);
}

std::string adapter_metrics(const qel_metrics_trace_t &ctx) {
    PrometheusText out;
    out.family("qel_adapter_info", "gauge",
               "An adapter present when the metrics context was created, by index, with its "
               "serial number.");
    if (ctx.serial_numbers != nullptr) {
        for (uint32_t i = 0; i < kAdapterIndexes; ++i) {
            const char *entry = ctx.serial_numbers[i];
            if (entry == nullptr) continue;
            // Entries read "S=" and the serial number.
            const char *serial = std::strncmp(entry, "S=", 2) == 0 ? entry + 2 : entry;
            out.sample({{"adapter", std::to_string(i)}, {"serial", serial}}, uint64_t{1});
        }
    }
    return out.text();
}

std::string stream_metrics(const qel_metrics_trace_t &ctx, qel_get_stats_fn read) {
    std::vector<StreamSample> samples;
    uint32_t attached = 0;
    if (ctx.streamList != nullptr) {
        for (uint32_t i = 0; i < ctx.num_streams && i < ctx.max_streams; ++i) {
            qel_stream_t *stream = ctx.streamList[i];
            if (stream == nullptr) break;
            ++attached;
            qel_stats_t stats{};
            if (read == nullptr || read(stream, &stats) != 0) continue;
            // The head of every stream record is its identity.
            const auto *id = reinterpret_cast<const qel_stream_identity_t *>(stream);
            samples.push_back({{{"board", std::to_string(id->board)},
                                {"endpoint", std::to_string(id->endpoint)},
                                {"address", address_text(id->dest_addr)},
                                {"port", std::to_string(id->port)}},
                               stats});
        }
    }
    PrometheusText out;
    out.family("qel_telemetry_streams", "gauge", "Streams attached to the metrics context.");
    out.sample({}, uint64_t{attached});
    for (const Counter &counter : kCounters) {
        if (samples.empty()) break;  // a family without samples is left out
        out.family(counter.name, "counter", counter.help);
        for (const StreamSample &s : samples) {
            uint64_t value;
            std::memcpy(&value, reinterpret_cast<const char *>(&s.stats) + counter.offset,
                        sizeof value);
            out.sample(s.labels, value);
        }
    }
    return out.text();
}

void MetricsExporter::init(const qel_metrics_trace_t *ctx, SectionFetch adapters,
                           SectionFetch streams) {
    std::string path = output_path("QEL_TELEMETRY_METRICS_FILE", "qel-telemetry.prom");
    std::lock_guard guard(mutex_);
    ctx_ = ctx;
    adapters_ = adapters;
    streams_ = streams;
    path_ = std::move(path);
}

bool MetricsExporter::export_now() {
    std::lock_guard guard(mutex_);
    if (ctx_ == nullptr || adapters_ == nullptr || streams_ == nullptr) return false;
    std::string text = fetch(adapters_, ctx_) + fetch(streams_, ctx_);
    PrometheusText stamp;
    stamp.family("qel_telemetry_last_export_timestamp_seconds", "gauge",
                 "When the add-on last wrote this file, in seconds since 1970.");
    stamp.sample({}, now_seconds());
    text += stamp.text();
    return replace_file(path_, text);
}

}  // namespace qel::addon
