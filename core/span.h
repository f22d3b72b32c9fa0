// A trace span for the length of a scope: begun with the entry point's name, ended with the
// source line of the way out that was taken.
#pragma once

#include "qel.h"

namespace qel::core {

class ScopedSpan {
public:
    explicit ScopedSpan(const char *name) : name_(name) { qel_span_begin(&span_, name); }
    ~ScopedSpan() {
        if (!ended_) qel_span_end(span_, name_, line_);
    }
    ScopedSpan(const ScopedSpan &) = delete;
    ScopedSpan &operator=(const ScopedSpan &) = delete;

    // Records the line of the way out; passes `value` through.
    template <typename T>
    T exit_at(int line, T value) {
        line_ = line;
        return value;
    }
    // Ends the span now and gives its result (for the callers that return it).
    int end_at(int line) {
        ended_ = true;
        return qel_span_end(span_, name_, line);
    }

private:
    void *span_ = nullptr;
    const char *name_;
    int line_ = 0;
    bool ended_ = false;
};

}  // namespace qel::core

// Returns `value` from a function whose span is `span`, recording this line as its exit.
#define QEL_SPAN_RETURN(span, value) return (span).exit_at(__LINE__, (value))
