// The ring registry: appending, unlinking from any position, lookup by exact name, and
// releasing a ring removes its own entry and no other.
#include <ostream>
#include <string>
#include <vector>

#include "ring_fixture.h"

namespace qel::worker {
namespace {

// The rings of the registry from head to tail, after checking that walking back from the tail
// gives the same list reversed and that the count agrees.
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
    std::vector<plix_ring *> backward;
    for (const plix_ring_entry *e = ring_registry.tail; e != nullptr; e = e->prev) {
        backward.insert(backward.begin(), e->ring);
    }
    EXPECT_EQ(forward, backward);
    EXPECT_EQ(ring_registry.count, forward.size());
    return forward;
}

class RingRegistry : public RingTest {};

TEST_F(RingRegistry, RegisteringAppendsAtTheTail) {
    RingPtr a = quiet_ring(2), b = quiet_ring(2), c = quiet_ring(2);
    EXPECT_EQ(plix_ring_register(a.get()), 0);
    EXPECT_EQ(registered_rings(), (std::vector{a.get()}));
    EXPECT_EQ(plix_ring_register(b.get()), 0);
    EXPECT_EQ(plix_ring_register(c.get()), 0);
    EXPECT_EQ(registered_rings(), (std::vector{a.get(), b.get(), c.get()}));
    // Each entry has a name of its own, not the ring's.
    EXPECT_NE(ring_registry.head->name, a->name);
}

struct RegisterFailure {
    uint32_t failing_allocation;  // 0: none, 1: the entry, 2: its name
    bool null_ring;
    int rc;
};

void PrintTo(const RegisterFailure &c, std::ostream *os) {
    *os << "rc " << c.rc;
}

class RingRegisterRefused : public RingTest,
                            public ::testing::WithParamInterface<RegisterFailure> {};

TEST_P(RingRegisterRefused, LeavesTheRegistryAsItWas) {
    RingPtr first = quiet_ring(2), second = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(first.get()), 0);
    test_hooks::fail_allocation(GetParam().failing_allocation);
    EXPECT_EQ(plix_ring_register(GetParam().null_ring ? nullptr : second.get()), GetParam().rc);
    EXPECT_EQ(registered_rings(), (std::vector{first.get()}));
    EXPECT_EQ(ring_registry.head->next, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Reasons, RingRegisterRefused,
                         ::testing::Values(RegisterFailure{0, true, 63},
                                           RegisterFailure{1, false, 69},
                                           RegisterFailure{2, false, 75}),
                         [](const auto &info) { return "rc_" + std::to_string(info.param.rc); });

// Releasing one ring of four, wherever its entry is, unlinks that entry only; a new entry then
// goes at the tail with sound links.
class RingUnlink : public RingTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(RingUnlink, ReleasingARingUnlinksItsEntryOnly) {
    std::vector<RingPtr> rings;
    std::vector<plix_ring *> expected;
    for (int i = 0; i < 4; ++i) {
        rings.push_back(quiet_ring(2));
        ASSERT_EQ(plix_ring_register(rings.back().get()), 0);
        expected.push_back(rings.back().get());
    }
    const size_t gone = GetParam();
    rings[gone].reset();
    expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(gone));
    EXPECT_EQ(registered_rings(), expected);

    RingPtr added = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(added.get()), 0);
    expected.push_back(added.get());
    EXPECT_EQ(registered_rings(), expected);
}

INSTANTIATE_TEST_SUITE_P(HeadMiddlesTail, RingUnlink, ::testing::Values(0u, 1u, 2u, 3u));

TEST_F(RingRegistry, ReleasingTheOnlyRingEmptiesTheRegistry) {
    RingPtr a = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    a.reset();
    EXPECT_EQ(registered_rings(), std::vector<plix_ring *>{});
    RingPtr b = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(b.get()), 0);
    EXPECT_EQ(registered_rings(), (std::vector{b.get()}));
}

TEST_F(RingRegistry, ReleasingAnUnregisteredRingLeavesOtherEntries) {
    RingPtr registered = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(registered.get()), 0);
    quiet_ring(2).reset();  // same name, never registered
    EXPECT_EQ(registered_rings(), (std::vector{registered.get()}));
}

TEST_F(RingRegistry, ReleasingARingRegisteredTwiceRemovesBothEntries) {
    RingPtr a = quiet_ring(2), b = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    ASSERT_EQ(plix_ring_register(b.get()), 0);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    a.reset();
    EXPECT_EQ(registered_rings(), (std::vector{b.get()}));
}

TEST_F(RingRegistry, UnregisterByNameTakesTheFirstExactMatch) {
    RingPtr a = quiet_ring(2), b = quiet_ring(2);
    ASSERT_EQ(plix_ring_register(a.get()), 0);
    ASSERT_EQ(plix_ring_register(b.get()), 0);
    for (const char *other : {"qel-bb", "qel-bbr ", "QEL-BBR", ""}) {
        plix_ring_unregister(other);
        EXPECT_EQ(registered_rings(), (std::vector{a.get(), b.get()})) << '"' << other << '"';
    }
    plix_ring_unregister(nullptr);
    EXPECT_EQ(registered_rings(), (std::vector{a.get(), b.get()}));

    plix_ring_unregister("qel-bbr");
    EXPECT_EQ(registered_rings(), (std::vector{b.get()}));
    EXPECT_EQ(plix_ring_lookup("qel-bbr")->ring, b.get());
    plix_ring_unregister("qel-bbr");
    EXPECT_EQ(registered_rings(), std::vector<plix_ring *>{});
    EXPECT_EQ(plix_ring_lookup("qel-bbr"), nullptr);
    plix_ring_unregister("qel-bbr");  // empty registry: nothing to do
    EXPECT_EQ(ring_registry.count, 0u);
}

}  // namespace
}  // namespace qel::worker
