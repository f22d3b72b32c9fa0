// What the benchmark programs share: pinning a thread to one CPU, a spin pause, values on
// cache lines of their own, the figure each benchmark reports, and the ring-transfer loop
// that serves both as a figure of its own and as a reference.
//
// Every benchmark reports its figure in the user counter "value" (the unit is in the
// benchmark's name); scripts/bench pairs "<figure>/ours" with "<figure>/ref" of the same round.
#pragma once

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "worker/plix_ring.h"

namespace qel::bench {

inline constexpr size_t kLine = 64;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// The CPUs of the two threads of every benchmark: the producer (sender, echo, firmware side)
// on the first and the measuring thread on the second. QEL_BENCH_CPUS="a,b" overrides 0,1.
inline unsigned bench_cpu(int which) {
    unsigned cpus[2] = {0, 1};
    if (const char *text = std::getenv("QEL_BENCH_CPUS"); text != nullptr) {
        char *end = nullptr;
        cpus[0] = static_cast<unsigned>(std::strtoul(text, &end, 10));
        if (end != nullptr && *end == ',')
            cpus[1] = static_cast<unsigned>(std::strtoul(end + 1, nullptr, 10));
    }
    return cpus[which == 0 ? 0 : 1];
}

// Pins the calling thread to one CPU while in scope and puts the old set back.
class CpuPin {
public:
    explicit CpuPin(unsigned cpu) {
        if (std::thread::hardware_concurrency() < 2) return;
        if (pthread_getaffinity_np(pthread_self(), sizeof saved_, &saved_) != 0) return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        pinned_ = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
    }
    ~CpuPin() {
        if (pinned_) pthread_setaffinity_np(pthread_self(), sizeof saved_, &saved_);
    }
    CpuPin(const CpuPin &) = delete;
    CpuPin &operator=(const CpuPin &) = delete;
    bool pinned() const { return pinned_; }

private:
    cpu_set_t saved_{};
    bool pinned_ = false;
};

// Shared values live on lines of their own, so that the figures measure the queue under test
// and not whatever else happens to share its line.
template <class T>
struct alignas(kLine) OwnLine {
    T value;
};

inline void *as_element(uint64_t k) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(k));
}

inline const char *pin_label(bool a, bool b) {
    return a && b ? "pinned" : "unpinned";
}

// The block buffer ring behind the face the benchmarks use.
class alignas(kLine) QelRing {
public:
    explicit QelRing(uint32_t slots) : ring_(worker::plix_ring_create(slots)) {}
    ~QelRing() { worker::plix_ring_free(ring_); }
    QelRing(const QelRing &) = delete;
    QelRing &operator=(const QelRing &) = delete;
    bool push(void *e) { return worker::plix_ring_enqueue(ring_, e) != 0; }
    bool pop(void *&e) { return worker::plix_ring_dequeue(ring_, &e) != 0; }

private:
    worker::plix_ring *ring_;
};

// A producer thread passes `per_iteration` pointers per iteration through `Queue` (push and
// pop returning bool); the measuring thread takes them and checks their order. Reports
// pointers per second in "value".
template <class Queue>
void run_transfer(benchmark::State &state, uint32_t slots, uint64_t per_iteration) {
    Queue queue(slots);
    OwnLine<std::atomic<uint64_t>> asked{0};
    OwnLine<std::atomic<bool>> stop{false};
    OwnLine<std::atomic<bool>> producer_pinned{false};
    std::thread producer([&] {
        CpuPin pin(bench_cpu(0));
        producer_pinned.value.store(pin.pinned(), std::memory_order_relaxed);
        uint64_t done = 0;
        for (;;) {
            // Acquire pairs with the release increment by the measuring thread.
            while (asked.value.load(std::memory_order_acquire) == done) {
                if (stop.value.load(std::memory_order_relaxed)) return;
                cpu_relax();
            }
            ++done;
            for (uint64_t k = 1; k <= per_iteration; ++k) {
                while (!queue.push(as_element(k))) cpu_relax();
            }
        }
    });

    CpuPin pin(bench_cpu(1));
    uint64_t wrong = 0;
    for (auto _ : state) {
        // Release pairs with the producer's acquire load of `asked`.
        asked.value.fetch_add(1, std::memory_order_release);
        for (uint64_t k = 1; k <= per_iteration; ++k) {
            void *e;
            while (!queue.pop(e)) cpu_relax();
            wrong += e != as_element(k);
        }
    }
    stop.value.store(true, std::memory_order_relaxed);
    producer.join();

    if (wrong != 0) state.SkipWithError("elements arrived out of order");
    const auto items = static_cast<double>(state.iterations() * per_iteration);
    state.SetItemsProcessed(static_cast<int64_t>(items));
    state.counters["value"] = benchmark::Counter(items, benchmark::Counter::kIsRate);
    state.SetLabel(pin_label(producer_pinned.value.load(), pin.pinned()));
}

// The rest of every benchmark program's main, once its benchmarks are registered.
inline int run_benchmarks(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

}  // namespace qel::bench
