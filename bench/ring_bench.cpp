// The block buffer ring against boost::lockfree::spsc_queue<void*> of the same capacity, in
// one program and one run: the two-thread transfer rate (pointers per second) and the
// round-trip latency of a ping-pong between two threads through two queues. The producer (or
// echo) thread runs on CPU 0 and the measuring thread on CPU 1 when the machine allows it.
// After the runs it prints, for each figure, how many times faster the ring is than boost.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "worker/plix_ring.h"

namespace {

using qel::worker::plix_ring;

// Pointers passed per transfer iteration.
constexpr uint64_t kBatch = 1 << 16;

void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Pins the calling thread to one CPU for its lifetime in scope and puts the old set back.
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

// Everything the two threads share lives on cache lines of its own, so that the figures
// measure the queue and not the other stack variables that happen to share its line.
template <class T>
struct alignas(qel::worker::kCacheLineBytes) OwnLine {
    T value;
};

// The two queues behind one face. Both are built to hold slots - 1 pointers: the ring keeps
// one of its `slots` free, and boost's queue is asked for that capacity.
class alignas(qel::worker::kCacheLineBytes) QelRing {
public:
    explicit QelRing(uint32_t slots) : ring_(qel::worker::plix_ring_create(slots)) {}
    ~QelRing() { qel::worker::plix_ring_free(ring_); }
    QelRing(const QelRing &) = delete;
    QelRing &operator=(const QelRing &) = delete;
    bool push(void *e) { return qel::worker::plix_ring_enqueue(ring_, e) != 0; }
    bool pop(void *&e) { return qel::worker::plix_ring_dequeue(ring_, &e) != 0; }

private:
    plix_ring *ring_;
};

class alignas(qel::worker::kCacheLineBytes) BoostQueue {
public:
    explicit BoostQueue(uint32_t slots) : queue_(slots - 1) {}
    bool push(void *e) { return queue_.push(e); }
    bool pop(void *&e) { return queue_.pop(e); }

private:
    boost::lockfree::spsc_queue<void *> queue_;
};

void *as_element(uint64_t k) {
    return reinterpret_cast<void *>(static_cast<uintptr_t>(k));
}

const char *pin_label(bool producer_pinned, bool consumer_pinned) {
    return producer_pinned && consumer_pinned ? "cpus 0,1" : "unpinned";
}

// A producer thread passes batches of kBatch pointers; the measuring thread takes them and
// checks each one.
template <class Queue>
void transfer(benchmark::State &state) {
    const auto slots = static_cast<uint32_t>(state.range(0));
    Queue queue(slots);
    OwnLine<std::atomic<uint64_t>> batches_asked{0};
    OwnLine<std::atomic<bool>> stop{false};
    OwnLine<std::atomic<bool>> producer_pinned{false};
    std::thread producer([&] {
        CpuPin pin(0);
        producer_pinned.value.store(pin.pinned(), std::memory_order_relaxed);
        uint64_t done = 0;
        for (;;) {
            // Acquire pairs with the release increment below; nothing else is published, but
            // it keeps the hand-over obviously ordered.
            while (batches_asked.value.load(std::memory_order_acquire) == done) {
                if (stop.value.load(std::memory_order_relaxed)) return;
                cpu_relax();
            }
            ++done;
            for (uint64_t k = 1; k <= kBatch; ++k) {
                while (!queue.push(as_element(k))) cpu_relax();
            }
        }
    });

    CpuPin pin(1);
    uint64_t wrong = 0;
    for (auto _ : state) {
        // Release pairs with the producer's acquire load of batches_asked.
        batches_asked.value.fetch_add(1, std::memory_order_release);
        for (uint64_t k = 1; k <= kBatch; ++k) {
            void *e;
            while (!queue.pop(e)) cpu_relax();
            wrong += e != as_element(k);
        }
    }
    stop.value.store(true, std::memory_order_relaxed);
    producer.join();

    if (wrong != 0) state.SkipWithError("elements arrived out of order");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kBatch));
    state.SetLabel(pin_label(producer_pinned.value.load(), pin.pinned()));
}

// The measuring thread sends one pointer through `there`; the echo thread returns it through
// `back`. One iteration is one round trip.
template <class Queue>
void round_trip(benchmark::State &state) {
    const auto slots = static_cast<uint32_t>(state.range(0));
    Queue there(slots), back(slots);
    OwnLine<std::atomic<bool>> stop{false};
    OwnLine<std::atomic<bool>> echo_pinned{false};
    std::thread echo([&] {
        CpuPin pin(0);
        echo_pinned.value.store(pin.pinned(), std::memory_order_relaxed);
        void *e;
        for (;;) {
            if (there.pop(e)) {
                while (!back.push(e)) cpu_relax();
            } else if (stop.value.load(std::memory_order_relaxed)) {
                return;
            } else {
                cpu_relax();
            }
        }
    });

    CpuPin pin(1);
    uint64_t token = 1, wrong = 0;
    for (auto _ : state) {
        while (!there.push(as_element(token))) cpu_relax();
        void *e;
        while (!back.pop(e)) cpu_relax();
        wrong += e != as_element(token);
        ++token;
    }
    stop.value.store(true, std::memory_order_relaxed);
    echo.join();

    if (wrong != 0) state.SkipWithError("a round trip came back with another element");
    state.SetLabel(pin_label(echo_pinned.value.load(), pin.pinned()));
}

// Keeps each run's figure for the ratios, and prints as the console reporter does.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Colours only on a terminal, so that a log or a pipe gets plain text.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            const auto rate = run.counters.find("items_per_second");
            // Transfer: pointers per second. Round trip: its inverse, round trips per second.
            const double speed =
                rate != run.counters.end() ? rate->second.value : 1e9 / run.GetAdjustedRealTime();
            // With --benchmark_repetitions the fastest repetition stands for the benchmark: on
            // a shared machine the slower ones measure the other load more than the queue.
            // The median serves only when the repetitions themselves are not reported.
            const auto [figure, first] = speeds_.try_emplace(run.run_name.str(), speed);
            if (!first && !median && speed > figure->second) figure->second = speed;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // "transfer/qel/1024/real_time" is paired with "transfer/boost/1024/real_time".
    void print_ratios() const {
        std::printf("\nqel ring speed / boost spsc_queue speed (above 1: the ring is faster)\n");
        for (const auto &[name, qel_speed] : speeds_) {
            const auto at = name.find("/qel/");
            if (at == std::string::npos) continue;
            std::string boost_name = name;
            boost_name.replace(at, 5, "/boost/");
            const auto boost = speeds_.find(boost_name);
            if (boost == speeds_.end() || boost->second <= 0) continue;
            std::string pair = name;
            pair.replace(at, 5, "/");
            std::printf("  %-32s %.3f\n", pair.c_str(), qel_speed / boost->second);
        }
    }

private:
    std::map<std::string, double> speeds_;
};

// The ring and boost alternate, so that a change in the machine's load in the middle of the
// run falls on both rather than on one.
void register_benchmarks() {
    for (int64_t slots : {1024, 65536}) {
        benchmark::RegisterBenchmark("transfer/qel", transfer<QelRing>)->Arg(slots)->UseRealTime();
        benchmark::RegisterBenchmark("transfer/boost", transfer<BoostQueue>)
            ->Arg(slots)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("round_trip/qel", round_trip<QelRing>)->Arg(1024)->UseRealTime();
    benchmark::RegisterBenchmark("round_trip/boost", round_trip<BoostQueue>)
        ->Arg(1024)
        ->UseRealTime();
}

}  // namespace

int main(int argc, char **argv) {
    register_benchmarks();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.print_ratios();
    benchmark::Shutdown();
    return 0;
}
