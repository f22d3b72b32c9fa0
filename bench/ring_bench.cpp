// The block buffer ring against two single-producer single-consumer queues of the same
// capacity, in one program and one run: boost::lockfree::spsc_queue and moodycamel's
// ReaderWriterQueue. Both references carry an element of our slot's size (32 bytes, the
// pointer in its first 8), so that a cache line holds as many elements in each queue and the
// figures compare the queues' code, not their element sizes. Figures: the two-thread transfer
// rate (elements per second) and the round-trip latency of a ping-pong between two threads
// through two queues (nanoseconds per round trip). The producer (or echo) thread and the
// measuring thread are pinned to two CPUs (bench_common.h). Ours and each reference alternate,
// so that a change in the machine's load falls on all.
#include <readerwriterqueue/readerwriterqueue.h>

#include <boost/lockfree/spsc_queue.hpp>

#include "bench/bench_common.h"
#include "worker/plix_ring.h"

namespace qel::bench {
namespace {

// Pointers passed per transfer iteration.
constexpr uint64_t kBatch = 1 << 16;
// Slots of both queues: a ring of this many holds one less, and boost is asked for that.
constexpr uint32_t kSlots = 1024;

// The element of both references: one of our slots.
using Element = worker::plix_ring_slot;
static_assert(sizeof(Element) == worker::kRingSlotBytes);

class alignas(kLine) BoostQueue {
public:
    explicit BoostQueue(uint32_t slots) : queue_(slots - 1) {}
    bool push(void *e) { return queue_.push(Element{e, {}}); }
    bool pop(void *&e) {
        Element slot;
        if (!queue_.pop(slot)) return false;
        e = slot.element;
        return true;
    }

private:
    boost::lockfree::spsc_queue<Element> queue_;
};

// moodycamel's queue grows by allocating when full; try_enqueue never does, so that both
// references hold at most the ring's capacity.
class alignas(kLine) MoodycamelQueue {
public:
    explicit MoodycamelQueue(uint32_t slots) : queue_(slots - 1) {}
    bool push(void *e) { return queue_.try_enqueue(Element{e, {}}); }
    bool pop(void *&e) {
        Element slot;
        if (!queue_.try_dequeue(slot)) return false;
        e = slot.element;
        return true;
    }

private:
    moodycamel::ReaderWriterQueue<Element> queue_;
};

template <class Queue>
void transfer(benchmark::State &state) {
    run_transfer<Queue>(state, kSlots, kBatch);
}

// The measuring thread sends one pointer through `there`; the echo thread returns it through
// `back`. One iteration is one round trip; "value" is nanoseconds per round trip.
template <class Queue>
void round_trip(benchmark::State &state) {
    Queue there(kSlots), back(kSlots);
    OwnLine<std::atomic<bool>> stop{false};
    OwnLine<std::atomic<bool>> echo_pinned{false};
    std::thread echo([&] {
        CpuPin pin(bench_cpu(0));
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

    CpuPin pin(bench_cpu(1));
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
    // Rate of iterations/1e9, inverted: nanoseconds per round trip.
    state.counters["value"] =
        benchmark::Counter(static_cast<double>(state.iterations()) / 1e9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(pin_label(echo_pinned.value.load(), pin.pinned()));
}

void register_benchmarks() {
    // Each reference is a figure of its own, paired with a measurement of ours in the same
    // round (scripts/bench pairs "<figure>/ours" with "<figure>/ref").
    benchmark::RegisterBenchmark("ring_rate/ours", transfer<QelRing>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rate/ref", transfer<BoostQueue>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rate_rwq/ours", transfer<QelRing>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rate_rwq/ref", transfer<MoodycamelQueue>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rtt/ours", round_trip<QelRing>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rtt/ref", round_trip<BoostQueue>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rtt_rwq/ours", round_trip<QelRing>)->UseRealTime();
    benchmark::RegisterBenchmark("ring_rtt_rwq/ref", round_trip<MoodycamelQueue>)->UseRealTime();
}

}  // namespace
}  // namespace qel::bench

int main(int argc, char **argv) {
    qel::bench::register_benchmarks();
    return qel::bench::run_benchmarks(argc, argv);
}
