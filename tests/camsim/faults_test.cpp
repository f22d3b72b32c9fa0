// Seeded faults: the same seed gives the same packets in the same order; each fault does what
// it says and nothing else.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "camsim/faults.h"

namespace {

using namespace qel::camsim;

std::vector<uint32_t> plan(FaultPlan &p, uint64_t frame, uint32_t trailer) {
    p.begin_frame(frame, trailer);
    std::vector<uint32_t> ids;
    uint32_t id = 0;
    while (p.next(&id)) ids.push_back(id);
    return ids;
}

std::vector<uint32_t> all_ids(uint32_t trailer) {
    std::vector<uint32_t> ids(trailer + 1);
    for (uint32_t i = 0; i <= trailer; ++i) ids[i] = i;
    return ids;
}

FaultConfig mixed(uint64_t seed) {
    FaultConfig f;
    f.seed = seed;
    f.loss_per_mille = 50;
    f.burst_per_mille = 5;
    f.burst_length = 4;
    f.reorder_per_mille = 30;
    f.duplicate_per_mille = 20;
    return f;
}

TEST(Faults, NoFaultsSendsEveryPacketInOrder) {
    FaultPlan p{FaultConfig{}};
    EXPECT_EQ(plan(p, 3, 100), all_ids(100));
    EXPECT_EQ(p.withheld() + p.duplicated() + p.reordered(), 0u);
}

TEST(Faults, TheSameSeedGivesTheSamePacketsAndOtherSeedsOthers) {
    FaultPlan a(mixed(11));
    FaultPlan b(mixed(11));
    FaultPlan c(mixed(12));
    // Frames planned in another order still come out the same: each frame has its own draw.
    std::map<uint64_t, std::vector<uint32_t>> first;
    for (uint64_t f = 0; f < 20; ++f) first[f] = plan(a, f, 500);
    for (uint64_t f = 20; f-- > 0;) EXPECT_EQ(plan(b, f, 500), first[f]) << "frame " << f;
    size_t same = 0;
    for (uint64_t f = 0; f < 20; ++f) same += plan(c, f, 500) == first[f];
    EXPECT_EQ(same, 0u);
    // And consecutive frames of one seed differ.
    EXPECT_NE(first[0], first[1]);
}

TEST(Faults, LossRateIsNearItsPerMille) {
    FaultConfig f;
    f.seed = 5;
    f.loss_per_mille = 100;
    FaultPlan p(f);
    uint64_t lost = 0;
    uint64_t total = 0;
    for (uint64_t frame = 0; frame < 50; ++frame) {
        const std::vector<uint32_t> ids = plan(p, frame, 999);
        EXPECT_EQ(ids.size() + p.withheld(), 1000u);
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
        lost += p.withheld();
        total += 1000;
    }
    // 5000 expected of 50000; a wide margin keeps this from ever flaking.
    EXPECT_GT(lost, total * 70 / 1000);
    EXPECT_LT(lost, total * 130 / 1000);
}

TEST(Faults, EverythingLostAtAThousandPerMille) {
    FaultConfig f;
    f.loss_per_mille = 1000;
    FaultPlan p(f);
    EXPECT_TRUE(plan(p, 0, 10).empty());
    EXPECT_EQ(p.withheld(), 11u);
}

TEST(Faults, LostLeadersAndTrailersTakeOnlyThose) {
    FaultConfig leader;
    leader.leader_loss_per_mille = 1000;
    FaultPlan l(leader);
    std::vector<uint32_t> want = all_ids(30);
    want.erase(want.begin());
    EXPECT_EQ(plan(l, 4, 30), want);

    FaultConfig trailer;
    trailer.trailer_loss_per_mille = 1000;
    FaultPlan t(trailer);
    want = all_ids(30);
    want.pop_back();
    EXPECT_EQ(plan(t, 4, 30), want);

    // At half the frames lose their leader, by frame.
    FaultConfig half;
    half.leader_loss_per_mille = 500;
    FaultPlan h(half);
    int without = 0;
    for (uint64_t frame = 0; frame < 400; ++frame) without += plan(h, frame, 3).front() != 0;
    EXPECT_GT(without, 120);
    EXPECT_LT(without, 280);
}

TEST(Faults, ExactDropsTakeExactlyThosePackets) {
    FaultConfig f;
    f.drops = {{2, 5}, {7, 1}, {2, 0}, {2, 9}};
    FaultPlan p(f);
    EXPECT_EQ(plan(p, 1, 9), all_ids(9));
    EXPECT_EQ(plan(p, 2, 9), (std::vector<uint32_t>{1, 2, 3, 4, 6, 7, 8}));
    EXPECT_EQ(p.withheld(), 3u);
    EXPECT_EQ(plan(p, 7, 3), (std::vector<uint32_t>{0, 2, 3}));
    EXPECT_EQ(plan(p, 8, 3), all_ids(3));
}

TEST(Faults, DuplicatesFollowTheirOriginal) {
    FaultConfig f;
    f.duplicate_per_mille = 1000;
    FaultPlan p(f);
    const std::vector<uint32_t> ids = plan(p, 0, 5);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5}));
    EXPECT_EQ(p.duplicated(), 6u);
}

TEST(Faults, ReorderingSendsEveryPacketOnceButLater) {
    FaultConfig f;
    f.seed = 99;
    f.reorder_per_mille = 200;
    f.reorder_distance = 3;
    FaultPlan p(f);
    const std::vector<uint32_t> ids = plan(p, 0, 400);
    std::vector<uint32_t> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, all_ids(400));
    EXPECT_FALSE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_GT(p.reordered(), 40u);
    EXPECT_LT(p.reordered(), 130u);
    // A late packet follows the next `distance` packets, never more than a queue's worth.
    size_t late = 0;
    for (size_t i = 0; i < ids.size(); ++i) {
        size_t passed = 0;
        for (size_t j = 0; j < i; ++j) passed += ids[j] > ids[i];
        if (passed != 0) ++late;
        EXPECT_LE(passed, 64u);
    }
    // A packet held back behind packets that were all held back too may still come out in
    // order; seldom, so nearly every reordered packet is seen late.
    EXPECT_LE(late, p.reordered());
    EXPECT_GE(late, p.reordered() * 9 / 10);
}

TEST(Faults, BurstsLoseRunsOfTheirLength) {
    FaultConfig f;
    f.seed = 3;
    f.burst_per_mille = 10;
    f.burst_length = 6;
    FaultPlan p(f);
    const std::vector<uint32_t> ids = plan(p, 0, 5000);
    std::vector<bool> sent(5001, false);
    for (const uint32_t id : ids) sent[id] = true;
    size_t runs = 0;
    for (size_t i = 0; i < sent.size();) {
        if (sent[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < sent.size() && !sent[j]) ++j;
        if (j < sent.size()) {
            EXPECT_GE(j - i, 6u) << "run at " << i;
        }
        ++runs;
        i = j;
    }
    EXPECT_GT(runs, 10u);
    EXPECT_EQ(p.withheld(), 5001 - ids.size());
}

}  // namespace
