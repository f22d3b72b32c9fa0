// The traces the add-on exports: spans opened and ended by the library's instrumented entry
// points, each with its events, kept until the next export appends them to the trace file as
// one JSON object per line.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace qel::addon {

class TraceLog {
public:
    // Open spans and finished lines are bounded: past these, new spans are refused and
    // finished ones dropped (and counted) until an export makes room.
    static constexpr size_t kMaxOpenSpans = 4096;
    static constexpr size_t kMaxPendingLines = 65536;

    // Where exports go: QEL_TELEMETRY_TRACE_FILE, read at each trace context's init.
    void init();
    // Opens a span; its handle, or null when too many are open.
    void *start(const char *name);
    // Adds an event to an open span; false for a handle that names none.
    bool add_event(void *span, const char *name, const char *key, const char *value);
    // Ends an open span: its line waits for the next export. False for an unknown handle.
    bool end(void *span);
    // Appends the finished spans to the trace file; false when the file could not be written
    // (the lines are dropped then: an unwritable file must not grow memory without end).
    bool export_now();

    uint64_t dropped() const;

private:
    struct Event {
        std::string name, key, value;
        uint64_t time_ns;
    };
    struct Span {
        uint64_t id;
        std::string name;
        uint64_t start_ns;
        uint32_t thread;
        std::vector<Event> events;
    };
    std::string line_of(const Span &span, uint64_t end_ns) const;

    mutable std::mutex mutex_;
    std::unordered_map<void *, std::unique_ptr<Span>> open_;  // guarded by mutex_, as is all
    std::string pending_;
    size_t pending_lines_ = 0;
    uint64_t next_id_ = 1;
    uint64_t dropped_ = 0;
    std::string path_;
};

}  // namespace qel::addon
