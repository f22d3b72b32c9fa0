// Two threads, one ring: a producer and a consumer pass a long run of distinct elements while
// the ring keeps going full and empty, and the consumer checks every single element. It runs
// QEL_RING_STRESS_ELEMENTS elements per case (default 1,000,000, small enough for the
// ThreadSanitizer build); set it to tens of millions for a long run:
//   QEL_RING_STRESS_ELEMENTS=50000000 ctest -L stress
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "worker/plix_ring.h"

namespace qel::worker {
namespace {

constexpr uint64_t kDefaultElements = 1'000'000;

uint64_t element_count() {
    const char *text = std::getenv("QEL_RING_STRESS_ELEMENTS");
    if (text == nullptr || *text == '\0') return kDefaultElements;
    char *end = nullptr;
    const unsigned long long count = std::strtoull(text, &end, 10);
    if (*end != '\0' || count == 0) {
        ADD_FAILURE() << "QEL_RING_STRESS_ELEMENTS is not a positive number: " << text;
        return kDefaultElements;
    }
    return count;
}

// Waiting for the other side: spin a little, then give the processor away, so that a loaded
// two-core machine still makes progress.
void backoff(uint32_t &failures) {
    if (++failures % 16 == 0) {
        std::this_thread::yield();
    } else {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

struct StressCase {
    const char *name;
    uint32_t slots;
    // Where both indices start, relative to the 2^32 wrap: the run crosses the wrap after
    // `elements_before_wrap` elements (0: starts at index 0 and never wraps).
    uint64_t elements_before_wrap;
    // The case runs the element count divided by this: a two-slot ring hands over at every
    // element, which is slow enough under ThreadSanitizer that a tenth of the run will do.
    uint64_t divisor;
};

void PrintTo(const StressCase &c, std::ostream *os) {
    *os << c.slots << " slots";
}

class RingStress : public ::testing::TestWithParam<StressCase> {};

TEST_P(RingStress, EveryElementArrivesOnceAndInOrder) {
    const StressCase &c = GetParam();
    const uint64_t elements = std::max<uint64_t>(1, element_count() / c.divisor);
    testing::internal::CaptureStderr();
    std::unique_ptr<plix_ring, void (*)(plix_ring *)> ring(plix_ring_create(c.slots),
                                                           plix_ring_free);
    testing::internal::GetCapturedStderr();
    ASSERT_NE(ring, nullptr);
    const uint32_t start = static_cast<uint32_t>(0 - c.elements_before_wrap);
    test_hooks::set_ring_indices(ring.get(), start);

    // Element k is the value k + 1 (never null), so a stale, repeated or skipped slot shows.
    std::thread producer([&ring, elements] {
        uint32_t failures = 0;
        for (uint64_t k = 1; k <= elements; ++k) {
            void *e = reinterpret_cast<void *>(static_cast<uintptr_t>(k));
            while (plix_ring_enqueue(ring.get(), e) == 0) backoff(failures);
        }
    });

    uint64_t wrong = 0, first_wrong = 0;
    uintptr_t first_wrong_value = 0;
    uint32_t failures = 0;
    for (uint64_t k = 1; k <= elements; ++k) {
        void *e = nullptr;
        while (plix_ring_dequeue(ring.get(), &e) == 0) backoff(failures);
        if (reinterpret_cast<uintptr_t>(e) != k && wrong++ == 0) {
            first_wrong = k;
            first_wrong_value = reinterpret_cast<uintptr_t>(e);
        }
    }
    producer.join();

    EXPECT_EQ(wrong, 0u) << "first wrong element: #" << first_wrong << " came as "
                         << first_wrong_value;
    void *extra = nullptr;
    EXPECT_EQ(plix_ring_dequeue(ring.get(), &extra), 0) << "an element too many";
    const uint32_t end = static_cast<uint32_t>(start + elements);
    EXPECT_EQ(ring->prod.load(), end);
    EXPECT_EQ(ring->cons.load(), end);
}

INSTANTIATE_TEST_SUITE_P(Rings, RingStress,
                         ::testing::Values(StressCase{"worker_size", 65536, 0, 1},
                                           StressCase{"small_across_wrap", 8, 500'000, 1},
                                           StressCase{"two_slots_across_wrap", 2, 1'000, 10}),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::worker
