// The auto-reset event a parked telemetry worker waits on: a signal wakes one wait, or the
// next one when nobody waits yet, and is consumed by it.
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>

#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

struct WakeEvent {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;  // guarded by mutex
};

WakeEvent &event_of(void *event) {
    return *static_cast<WakeEvent *>(event);
}

}  // namespace

// Null when it cannot be allocated.
void *create_wake_event() {
    try {
        return std::make_unique<WakeEvent>().release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void destroy_wake_event(void *event) {
    std::unique_ptr<WakeEvent> owned(static_cast<WakeEvent *>(event));
}

void signal_wake_event(void *event) {
    WakeEvent &e = event_of(event);
    {
        std::lock_guard guard(e.mutex);
        e.signalled = true;
    }
    e.changed.notify_one();
}

void wait_wake_event(void *event) {
    WakeEvent &e = event_of(event);
    std::unique_lock guard(e.mutex);
    e.changed.wait(guard, [&e] { return e.signalled; });
    e.signalled = false;
}

}  // namespace qel::telemetry
