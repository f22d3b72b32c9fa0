#include "addon/traces.h"

#include <time.h>
#include <unistd.h>

#include "addon/files.h"
#include "addon/json_text.h"

namespace qel::addon {

namespace {

uint64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

void TraceLog::init() {
    std::string path = output_path("QEL_TELEMETRY_TRACE_FILE", "qel-traces.jsonl");
    std::lock_guard guard(mutex_);
    path_ = std::move(path);
}

void *TraceLog::start(const char *name) {
    auto span = std::make_unique<Span>();
    span->name = name != nullptr ? name : "";
    span->start_ns = now_ns();
    span->thread = static_cast<uint32_t>(gettid());
    std::lock_guard guard(mutex_);
    if (open_.size() >= kMaxOpenSpans) return nullptr;
    span->id = next_id_++;
    void *handle = span.get();
    open_.emplace(handle, std::move(span));
    return handle;
}

bool TraceLog::add_event(void *span, const char *name, const char *key, const char *value) {
    const uint64_t time = now_ns();
    std::lock_guard guard(mutex_);
    auto it = open_.find(span);
    if (it == open_.end()) return false;
    it->second->events.push_back({name ? name : "", key ? key : "", value ? value : "", time});
    return true;
}

bool TraceLog::end(void *span) {
    const uint64_t end_time = now_ns();
    std::lock_guard guard(mutex_);
    auto it = open_.find(span);
    if (it == open_.end()) return false;
    if (pending_lines_ >= kMaxPendingLines) {
        ++dropped_;
    } else {
        pending_ += line_of(*it->second, end_time);
        ++pending_lines_;
    }
    open_.erase(it);
    return true;
}

bool TraceLog::export_now() {
    std::string lines;
    std::string path;
    {
        std::lock_guard guard(mutex_);
        lines.swap(pending_);
        pending_lines_ = 0;
        path = path_;
    }
    if (lines.empty()) return true;
    return !path.empty() && append_file(path, lines);
}

uint64_t TraceLog::dropped() const {
    std::lock_guard guard(mutex_);
    return dropped_;
}

std::string TraceLog::line_of(const Span &span, uint64_t end_ns) const {
    std::string line =
        "{\"span_id\":" + std::to_string(span.id) + ",\"name\":" + json_string(span.name) +
        ",\"start_time_unix_nano\":" + std::to_string(span.start_ns) +
        ",\"end_time_unix_nano\":" + std::to_string(end_ns) +
        ",\"duration_ns\":" + std::to_string(end_ns >= span.start_ns ? end_ns - span.start_ns : 0) +
        ",\"process_id\":" + std::to_string(getpid()) +
        ",\"thread_id\":" + std::to_string(span.thread) + ",\"events\":[";
    bool first = true;
    for (const Event &e : span.events) {
        if (!first) line += ',';
        first = false;
        line += "{\"name\":" + json_string(e.name) +
                ",\"time_unix_nano\":" + std::to_string(e.time_ns) +
                ",\"key\":" + json_string(e.key) + ",\"value\":" + json_string(e.value) + "}";
    }
    line += "]}\n";
    return line;
}

}  // namespace qel::addon
