// Seeded faults: the same seed gives the same packets in the same order; each fault does what
// it says and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "camsim/faults.h"

namespace {

using namespace qel::camsim;
using Ids = std::vector<uint32_t>;

Ids plan(FaultPlan &p, uint64_t frame, uint32_t trailer) {
    p.begin_frame(frame, trailer);
    Ids ids;
    for (uint32_t id = 0; p.next(&id);) ids.push_back(id);
    return ids;
}

Ids all_ids(uint32_t from, uint32_t to) {
    Ids ids;
    for (uint32_t i = from; i <= to; ++i) ids.push_back(i);
    return ids;
}

// Faults that strike every time: per mille of loss, lost leaders, lost trailers, duplicates.
FaultConfig certain(uint32_t loss, uint32_t leader, uint32_t trailer, uint32_t duplicate) {
    FaultConfig f;
    f.loss_per_mille = loss;
    f.leader_loss_per_mille = leader;
    f.trailer_loss_per_mille = trailer;
    f.duplicate_per_mille = duplicate;
    f.drops = {{2, 5}, {7, 1}, {2, 0}, {2, 9}};  // strike frames 2 and 7 only
    return f;
}

TEST(Faults, CertainFaultsTakeExactlyTheirPackets) {
    const struct {
        FaultConfig faults;
        uint64_t frame;
        uint32_t trailer;
        Ids sent;
        uint64_t withheld, duplicated;
    } cases[] = {
        {certain(0, 0, 0, 0), 3, 100, all_ids(0, 100), 0, 0},
        {certain(1000, 0, 0, 0), 0, 10, {}, 11, 0},
        {certain(0, 1000, 0, 0), 4, 30, all_ids(1, 30), 1, 0},
        {certain(0, 0, 1000, 0), 4, 30, all_ids(0, 29), 1, 0},
        {certain(0, 0, 0, 0), 2, 9, {1, 2, 3, 4, 6, 7, 8}, 3, 0},
        {certain(0, 0, 0, 0), 7, 3, {0, 2, 3}, 1, 0},
        {certain(0, 0, 0, 1000), 0, 5, {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}, 0, 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << "frame " << c.frame << " trailer " << c.trailer);
        FaultPlan p(c.faults);
        EXPECT_EQ(plan(p, c.frame, c.trailer), c.sent);
        EXPECT_EQ(p.withheld(), c.withheld);
        EXPECT_EQ(p.duplicated(), c.duplicated);
        EXPECT_EQ(p.reordered(), 0u);
    }
}

TEST(Faults, TheSameSeedGivesTheSamePacketsAndOtherSeedsOthers) {
    FaultConfig f;
    f.loss_per_mille = 50;
    f.burst_per_mille = 5;
    f.burst_length = 4;
    f.reorder_per_mille = 30;
    f.duplicate_per_mille = 20;
    const auto mixed = [&](uint64_t seed) {
        f.seed = seed;
        return FaultPlan(f);
    };
    FaultPlan a = mixed(11), b = mixed(11), c = mixed(12);
    // Frames planned in another order still come out the same: each frame has its own draw.
    std::map<uint64_t, Ids> first;
    for (uint64_t f = 0; f < 20; ++f) first[f] = plan(a, f, 500);
    for (uint64_t f = 20; f-- > 0;) EXPECT_EQ(plan(b, f, 500), first[f]) << "frame " << f;
    for (uint64_t f = 0; f < 20; ++f) EXPECT_NE(plan(c, f, 500), first[f]) << "frame " << f;
    EXPECT_NE(first[0], first[1]);
}

TEST(Faults, RatesAreNearTheirPerMille) {
    FaultConfig f;
    f.seed = 5;
    f.loss_per_mille = 100;
    FaultPlan p(f);
    uint64_t lost = 0;
    for (uint64_t frame = 0; frame < 50; ++frame) {
        const Ids ids = plan(p, frame, 999);
        EXPECT_EQ(ids.size() + p.withheld(), 1000u);
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        lost += p.withheld();
    }
    // 5000 expected of 50000; wide margins keep these from ever flaking.
    EXPECT_GT(lost, 3500u);
    EXPECT_LT(lost, 6500u);
    FaultConfig half;
    half.leader_loss_per_mille = 500;
    FaultPlan h(half);
    int without = 0;
    for (uint64_t frame = 0; frame < 400; ++frame) without += plan(h, frame, 3).front() != 0;
    EXPECT_GT(without, 120);
    EXPECT_LT(without, 280);
}

TEST(Faults, ReorderingSendsEveryPacketOnceButLater) {
    FaultConfig f;
    f.seed = 99;
    f.reorder_per_mille = 200;
    f.reorder_distance = 3;
    FaultPlan p(f);
    const Ids ids = plan(p, 0, 400);
    Ids sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, all_ids(0, 400));
    EXPECT_GT(p.reordered(), 40u);
    EXPECT_LT(p.reordered(), 130u);
    // A late packet follows a few others, never more than a queue's worth. One held back
    // behind packets all held back too may still come out in order; seldom.
    size_t late = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        const auto passed = std::count_if(ids.begin(), ids.begin() + static_cast<long>(i),
                                          [&](uint32_t id) { return id > ids[i]; });
        late += passed != 0;
        EXPECT_LE(passed, 64);
    }
    EXPECT_LE(late, p.reordered());
    EXPECT_GE(late, p.reordered() * 9 / 10);
}

TEST(Faults, BurstsLoseRunsOfTheirLength) {
    FaultConfig f;
    f.seed = 3;
    f.burst_per_mille = 10;
    f.burst_length = 6;
    FaultPlan p(f);
    const Ids ids = plan(p, 0, 5000);
    EXPECT_EQ(p.withheld(), 5001 - ids.size());
    std::vector<bool> sent(5001, false);
    for (const uint32_t id : ids) sent[id] = true;
    size_t runs = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i]) continue;
        const size_t start = i;
        while (i < sent.size() && !sent[i]) ++i;
        if (i < sent.size()) {
            EXPECT_GE(i - start, 6u) << "run at " << start;
        }
        ++runs;
    }
    EXPECT_GT(runs, 10u);
}

}  // namespace
