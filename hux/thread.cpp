// Threads: start a routine on a new thread, pin it to processors, join it, end it, name the
// calling thread.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "hux.h"
#include "hux/debug_output.h"
#include "qel.h"

namespace qel::hux {

namespace {

static_assert(sizeof(pthread_t) <= sizeof(uint64_t), "the host's thread must fit the handle");

// The start record with what pinning needs. The host names a thread to pin by its kernel id,
// which reads 0 once the thread has ended, and 0 names the calling thread: a pin that reached
// an ended (not yet joined) thread would pin its caller instead. So the thread marks its end
// under `lock`, and pins are applied under the same lock only while it has not.
struct StartRecord {
    hux_thread_start start;  // first: hux_thread_t.start points here
    std::mutex lock;
    bool ended = false;  // guarded by lock
};
static_assert(std::is_standard_layout_v<StartRecord>, "start must be pointer-interconvertible");

StartRecord &record_of(hux_thread_start *start) {
    return *reinterpret_cast<StartRecord *>(start);
}

uint64_t handle_of(pthread_t thread) {
    uint64_t handle = 0;
    std::memcpy(&handle, &thread, sizeof thread);
    return handle;
}

pthread_t thread_of(const hux_thread_t &t) {
    pthread_t thread{};
    std::memcpy(&thread, &t.handle, sizeof thread);
    return thread;
}

// Bit n of `mask` names processor n.
cpu_set_t processor_set(uint32_t mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 32; ++cpu) {
        if (mask & (1u << cpu)) CPU_SET(cpu, &set);
    }
    return set;
}

// 0 or the host's error number; ESRCH, as the host says for a thread that is gone, once the
// thread has ended.
int pin(StartRecord &record, pthread_t thread, uint32_t mask) {
    const cpu_set_t set = processor_set(mask);
    std::lock_guard guard(record.lock);
    if (record.ended) return ESRCH;
    return pthread_setaffinity_np(thread, sizeof set, &set);
}

void *start_routine(void *argument) {
    auto *record = static_cast<StartRecord *>(argument);
    // Runs on every way out: the return below, or hux_thread_exit, which unwinds through here.
    struct EndMark {
        StartRecord *record;
        ~EndMark() {
            std::lock_guard guard(record->lock);
            record->ended = true;
        }
    } mark{record};
    static_cast<void>(record->start.fn(record->start.arg));
    return nullptr;
}

// ZR_ENABLE_AFFINITY, when set, pins every new thread. Its value is read as atoi does
// (leading digits; none gives 0, an empty mask, which the host refuses).
void apply_environment_affinity(StartRecord &record, pthread_t thread) {
    const char *value = std::getenv("ZR_ENABLE_AFFINITY");
    if (value == nullptr) return;
    const auto mask = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    if (int error = pin(record, thread, mask); error != 0) {
        // A refused mask does not fail the start: the thread runs unpinned, and only the
        // debugger channel hears of it.
        char message[64];
        std::snprintf(message, sizeof message, "SetProcessAffinityMask: %d\n", error);
        debug_output(message);
    }
    sched_yield();
}

}  // namespace

}  // namespace qel::hux

using namespace qel::hux;

extern "C" {

QEL_EXPORT int hux_thread_create(hux_thread_t *t, hux_thread_fn fn, void *arg) {
    if (t == nullptr || fn == nullptr) return QEL_EINVAL;
    t->handle = 0;
    t->start = nullptr;
    std::unique_ptr<StartRecord> record;
    try {
        record = std::make_unique<StartRecord>();
    } catch (const std::bad_alloc &) {
        return QEL_ENOMEM;
    }
    record->start = hux_thread_start{fn, arg};
    pthread_t thread{};
    // pthread_create publishes the start record to the new thread.
    if (int error = pthread_create(&thread, nullptr, start_routine, record.get()); error != 0) {
        return error;
    }
    t->handle = handle_of(thread);
    t->start = &record->start;
    apply_environment_affinity(*record.release(), thread);  // join releases the record
    return 0;
}

QEL_EXPORT int hux_thread_set_affinity(hux_thread_t *t, uint32_t mask) {
    if (t == nullptr || t->start == nullptr) return QEL_EINVAL;
    if (int error = pin(record_of(t->start), thread_of(*t), mask); error != 0) return error;
    sched_yield();
    return 0;
}

QEL_EXPORT int hux_thread_join(hux_thread_t *t) {
    if (t == nullptr || t->start == nullptr) return QEL_EINVAL;
    if (int error = pthread_join(thread_of(*t), nullptr); error != 0) return error;
    std::unique_ptr<StartRecord> record(&record_of(t->start));
    t->start = nullptr;  // a second join is refused instead of joining a stale thread
    t->handle = 0;
    return 0;
}

QEL_EXPORT void hux_thread_exit(void) {
    pthread_exit(nullptr);
}

QEL_EXPORT uint32_t hux_thread_self(void) {
    return static_cast<uint32_t>(gettid());
}

}  // extern "C"
