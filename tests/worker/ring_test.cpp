// The SPSC ring: creation with its exact lines, the worker's one-per-process ring, the
// registry, and enqueue/dequeue on one thread across the 2^32 wrap of the indices.
#include "core/log.h"
#include "worker_fixture.h"

namespace qel::worker {
namespace {

const std::string kRefused = "failed to create ring named:qel-bbr count=";

struct CreateCase {
    bool bbr;  // qel_bbr_create rather than plix_ring_create
    uint32_t count;
    uint32_t failing_allocation;  // 1-3 the ring's record, name, slots; 4-5 the registry entry's
    std::string lines;
};

const CreateCase kCreates[] = {
    {false, 1, 0, "Created ring = qel-bbr with 1 entries and a mask of 0/0\n"},
    {false, 1024, 0, "Created ring = qel-bbr with 1024 entries and a mask of 1023/3ff\n"},
    {false, 65536, 0, "Created ring = qel-bbr with 65536 entries and a mask of 65535/ffff\n"},
    {false, 0, 0, ""},
    {false, 12, 0, ""},
    {false, 0x80000001u, 0, ""},
    {false, 16, 1, "Failed to create ring = qel-bbr (rc=210)\n"},
    {false, 16, 2, "Failed to create ring = qel-bbr (rc=217)\n"},
    {false, 16, 3, "Failed to create ring = qel-bbr (rc=223)\n"},
    {true, 8, 0, "Created ring = qel-bbr with 8 entries and a mask of 7/7\n"},
    {true, 6, 0, kRefused + "6 rc=303\n"},
    {true, 8, 3, "Failed to create ring = qel-bbr (rc=223)\n" + kRefused + "8 rc=303\n"},
    {true, 8, 4,
     "Created ring = qel-bbr with 8 entries and a mask of 7/7\n" + kRefused + "8 rc=310\n"},
    {true, 8, 5,
     "Created ring = qel-bbr with 8 entries and a mask of 7/7\n" + kRefused + "8 rc=310\n"},
};

using RingCreate = RingTest;

// Lines are written whatever the diagnostic switches say; a failure leaks nothing (the
// sanitizer builds check) and the next creation works.
TEST_F(RingCreate, EachCountAndFailureWritesItsLines) {
    core::qel_verbose.store(0);
    core::qel_debug.store(0);
    for (const CreateCase &c : kCreates) {
        SCOPED_TRACE(testing::Message()
                     << (c.bbr ? "bbr " : "") << c.count << " allocation " << c.failing_allocation);
        test_hooks::fail_allocation(c.failing_allocation);
        RingPtr ring;
        EXPECT_EQ(stderr_of([&] {
                      ring.reset(c.bbr ? qel_bbr_create(c.count) : plix_ring_create(c.count));
                  }),
                  c.lines);
        test_hooks::fail_allocation(0);
        if (c.lines.rfind("Created", 0) != 0 || c.failing_allocation != 0) {
            EXPECT_EQ(ring, nullptr);
            EXPECT_EQ(ring_registry.count, 0u);
            EXPECT_NE(quiet_ring(16), nullptr);
            continue;
        }
        ASSERT_NE(ring, nullptr);
        EXPECT_STREQ(ring->name, "qel-bbr");
        EXPECT_EQ(ring->count, c.count);
        EXPECT_EQ(ring->mask, c.count - 1);
        EXPECT_EQ(ring->prod.load() | ring->cons.load(), 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(ring.get()) % kCacheLineBytes, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(ring->slots) % kCacheLineBytes, 0u);
        for (uint32_t i = 0; i < c.count; ++i) ASSERT_EQ(ring->slots[i].element, nullptr) << i;
        ASSERT_EQ(ring_registry.count, c.bbr ? 1u : 0u);
        EXPECT_EQ(c.bbr ? ring_registry.head->ring : ring.get(), ring.get());
    }
    EXPECT_EQ(stderr_of([] { plix_ring_free(nullptr); }), "");
}

TEST_F(RingCreate, SecondWorkerRingIsRefusedUntilTheFirstIsReleased) {
    RingPtr first;
    stderr_of([&] { first.reset(qel_bbr_create(8)); });
    ASSERT_NE(first, nullptr);
    for (uint32_t count : {8u, 16u}) {
        EXPECT_EQ(stderr_of([&] { EXPECT_EQ(qel_bbr_create(count), nullptr); }),
                  kRefused + std::to_string(count) + " rc=298\n");
    }
    EXPECT_EQ(ring_registry.count, 1u);
    first.reset();
    RingPtr other = quiet_ring(4);  // a ring registered otherwise blocks it too
    ASSERT_EQ(plix_ring_register(other.get()), 0);
    EXPECT_EQ(stderr_of([] { EXPECT_EQ(qel_bbr_create(4), nullptr); }), kRefused + "4 rc=298\n");
    other.reset();
    EXPECT_EQ(stderr_of([&] { first.reset(qel_bbr_create(16)); }),
              "Created ring = qel-bbr with 16 entries and a mask of 15/f\n");
}

// The registry from head to tail, after checking the back links, the tail and the count.
std::vector<plix_ring *> registered_rings() {
    std::vector<plix_ring *> forward;
    const plix_ring_entry *previous = nullptr;
    for (const plix_ring_entry *e = ring_registry.head; e != nullptr; e = e->next) {
        EXPECT_EQ(e->prev, previous) << "broken prev link";
        EXPECT_STREQ(e->name, "qel-bbr");
        forward.push_back(e->ring);
        previous = e;
    }
    EXPECT_EQ(ring_registry.tail, previous) << "tail is not the last entry";
    EXPECT_EQ(ring_registry.count, forward.size());
    return forward;
}

using RingRegistry = RingTest;

TEST_F(RingRegistry, RefusalsLeaveTheRegistryAsItWas) {
    RingPtr first = quiet_ring(2), second = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(first.get()), 0);
    EXPECT_NE(ring_registry.head->name, first->name) << "the entry has a name of its own";
    EXPECT_EQ(plix_ring_register(nullptr), 63);
    for (uint32_t nth : {1u, 2u}) {  // the entry, its name
        test_hooks::fail_allocation(nth);
        EXPECT_EQ(plix_ring_register(second.get()), nth == 1 ? 69 : 75);
    }
    EXPECT_EQ(registered_rings(), (std::vector{first.get()}));
}

// Releasing one ring of four, wherever its entry is, unlinks that entry only; a new entry
// then goes at the tail, also once the registry has been emptied.
TEST_F(RingRegistry, ReleasingARingUnlinksItsEntriesOnly) {
    for (size_t gone = 0; gone < 4; ++gone) {
        SCOPED_TRACE(gone);
        std::vector<RingPtr> rings;
        std::vector<plix_ring *> expected;
        for (int i = 0; i < 4; ++i) {
            rings.push_back(quiet_ring(2));
            ASSERT_EQ(plix_ring_register(rings.back().get()), 0);
            expected.push_back(rings.back().get());
        }
        rings[gone].reset();
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(gone));
        EXPECT_EQ(registered_rings(), expected);
        rings.push_back(quiet_ring(2));
        ASSERT_EQ(plix_ring_register(rings.back().get()), 0);
        expected.push_back(rings.back().get());
        EXPECT_EQ(registered_rings(), expected);
    }
    RingPtr a = quiet_ring(2), b = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    ASSERT_EQ(plix_ring_register(b.get()), 0);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    quiet_ring(2).reset();  // same name, never registered
    EXPECT_EQ(registered_rings(), (std::vector{a.get(), b.get(), a.get()}));
    a.reset();
    EXPECT_EQ(registered_rings(), (std::vector{b.get()}));
}

TEST_F(RingRegistry, UnregisterByNameTakesTheFirstExactMatch) {
    RingPtr a = quiet_ring(2), b = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    ASSERT_EQ(plix_ring_register(b.get()), 0);
    for (const char *other :
         {"qel-bb", "qel-bbr ", "QEL-BBR", "", static_cast<const char *>(nullptr)}) {
        plix_ring_unregister(other);
        EXPECT_EQ(registered_rings(), (std::vector{a.get(), b.get()}));
    }
    plix_ring_unregister("qel-bbr");
    EXPECT_EQ(registered_rings(), (std::vector{b.get()}));
    EXPECT_EQ(plix_ring_lookup("qel-bbr")->ring, b.get());
    plix_ring_unregister("qel-bbr");
    EXPECT_EQ(plix_ring_lookup("qel-bbr"), nullptr);
    plix_ring_unregister("qel-bbr");  // empty registry: nothing to do
    EXPECT_EQ(registered_rings(), std::vector<plix_ring *>{});
}

// Steps: 'e' enqueue, 'd' dequeue, 'x' enqueue refused, 'y' dequeue refused, 'F' fill up,
// 'D' drain. After each step the fill level and plix_ring_full agree with what was done.
struct TransferCase {
    uint32_t slots;
    uint32_t start;  // both indices
    const char *steps;
};

const TransferCase kTransfers[] = {
    {8, 0, "FdexDy"},          // eight slots hold seven
    {4, 0, "FDFDFDFDFD"},      // refilled after every drain: the cached index is refreshed
    {1, 0, "xxxy"},            // one slot takes nothing
    {8, 5, "yedy"},            // a refused dequeue leaves cons and the out-argument
    {8, 0xffffffffu, "FDFD"},  // the rest wrap the indices at 2^32
    {8, 0xfffffffdu, "eeeeedddddFD"},
    {8, 0xfffffff9u, "FdddFD"},
    {2, 0xfffffffeu, "FDFDFDFD"},
    {8, 0xfffffffcu, "eedeedeedeedeedD"},
    {1024, 0xfffffe00u, "FD"},
};

using RingTransfer = RingTest;

TEST_F(RingTransfer, KeepsOrderAndCapacityAcrossTheWrap) {
    for (const TransferCase &c : kTransfers) {
        SCOPED_TRACE(testing::Message() << c.slots << " slots from " << c.start << ": " << c.steps);
        RingPtr ring = quiet_ring(c.slots);
        ASSERT_NE(ring, nullptr);
        test_hooks::set_ring_indices(ring.get(), c.start);
        uint32_t in = 0, out_count = 0;
        plix_ring *r = ring.get();
        auto enqueue = [&] {
            ASSERT_EQ(plix_ring_enqueue(r, element(in + 1)), 1);
            ++in;
            EXPECT_EQ(r->slots[(c.start + in - 1) & r->mask].element, element(in));
        };
        auto dequeue = [&] {
            void *out = nullptr;
            ASSERT_EQ(plix_ring_dequeue(r, &out), 1);
            ASSERT_EQ(out, element(++out_count));
        };
        auto refuse_enqueue = [&] {
            void *free_slot = r->slots[r->prod.load() & r->mask].element;
            ASSERT_EQ(plix_ring_enqueue(r, element(999)), 0);
            EXPECT_EQ(r->slots[r->prod.load() & r->mask].element, free_slot);
        };
        auto refuse_dequeue = [&] {
            void *out = element(42);
            ASSERT_EQ(plix_ring_dequeue(r, &out), 0);
            EXPECT_EQ(out, element(42));
        };
        for (const char *step = c.steps; *step != '\0'; ++step) {
            switch (*step) {
                case 'e':
                    enqueue();
                    break;
                case 'd':
                    dequeue();
                    break;
                case 'x':
                    refuse_enqueue();
                    break;
                case 'y':
                    refuse_dequeue();
                    break;
                case 'F':
                    while (!HasFatalFailure() && in - out_count < c.slots - 1) enqueue();
                    refuse_enqueue();
                    break;
                case 'D':
                    while (!HasFatalFailure() && in != out_count) dequeue();
                    refuse_dequeue();
                    break;
            }
            if (HasFatalFailure()) return;
            ASSERT_EQ(r->prod.load(), c.start + in) << "after " << *step;
            ASSERT_EQ(r->cons.load(), c.start + out_count) << "after " << *step;
            ASSERT_EQ(plix_ring_full(r), in - out_count == c.slots - 1) << "after " << *step;
        }
    }
}

}  // namespace
}  // namespace qel::worker
