// Block ids of frames, the frame a requested block id means, and the history of held frames.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "camsim/block_ids.h"
#include "camsim/history.h"

namespace {

using namespace qel::camsim;

TEST(BlockIds, IdsOfFramesWrapPast0AndARequestedIdMeansTheLatestFrameThatCarriedIt) {
    EXPECT_EQ(block_id_of_frame(1, false, 65534), 65535u);
    EXPECT_EQ(block_id_of_frame(1, false, 65535), 1u);
    EXPECT_EQ(block_id_of_frame(65534, false, 1), 65535u);
    EXPECT_EQ(block_id_of_frame(65534, false, 3), 2u);
    EXPECT_EQ(block_id_of_frame(0x123456789, true, 1), 0x12345678Au);
    EXPECT_EQ(block_id_of_frame(UINT64_MAX - 1, true, 1), UINT64_MAX);
    EXPECT_EQ(block_id_of_frame(UINT64_MAX, true, 2), 2u);
    // Standard ids from 1, 70000 frames started: id 5 was frames 4 and 65539.
    EXPECT_EQ(latest_frame_of_block(1, false, 5, 70000), 65539u);
    EXPECT_EQ(latest_frame_of_block(1, false, 5, 65539), 4u);
    EXPECT_EQ(latest_frame_of_block(1, false, 4465, 70000), 69999u);
    EXPECT_EQ(latest_frame_of_block(10, false, 11, 3), 1u);
    EXPECT_EQ(latest_frame_of_block(100, true, 149, 50), 49u);
    EXPECT_EQ(latest_frame_of_block(100, true, 100, 50), 0u);
    EXPECT_EQ(latest_frame_of_block(UINT64_MAX, true, 1, 2), 1u);
    // Ids not reached yet, before the first, 0 or too wide were never sent.
    for (const uint64_t id : {13, 9, 0, 65536}) {
        EXPECT_EQ(latest_frame_of_block(10, false, id, 3), std::nullopt) << id;
    }
    EXPECT_EQ(latest_frame_of_block(10, false, 11, 0), std::nullopt);
    EXPECT_EQ(latest_frame_of_block(100, true, 150, 50), std::nullopt);
    EXPECT_EQ(latest_frame_of_block(100, true, 99, 50), std::nullopt);
    for (uint64_t f = 0; f < 200000; f += 1013) {
        const uint64_t id = block_id_of_frame(777, false, f);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(latest_frame_of_block(777, false, id, f + 1), f);
    }
}

TEST(History, HoldsTheMostRecentFrames) {
    FrameHistory h(4);
    EXPECT_EQ(h.timestamp_if_held(0), std::nullopt);
    for (uint64_t f = 0; f < 10; ++f) h.record(f, 1000 + f);
    EXPECT_EQ(h.frames_started(), 10u);
    for (uint64_t f = 0; f < 6; ++f) EXPECT_EQ(h.timestamp_if_held(f), std::nullopt) << f;
    for (uint64_t f = 6; f < 10; ++f) EXPECT_EQ(h.timestamp_if_held(f), 1000 + f);
    EXPECT_EQ(h.timestamp_if_held(10), std::nullopt);
}

TEST(History, AReaderNeverTakesOneFramesTimestampForAnother) {
    FrameHistory h(8);
    constexpr uint64_t kFrames = 200000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint64_t f = 0; f < kFrames; ++f) h.record(f, f * 7 + 3);
        done.store(true, std::memory_order_release);
    });
    while (!done.load(std::memory_order_acquire)) {
        const uint64_t started = h.frames_started();
        for (uint64_t f = started > 10 ? started - 10 : 0; f < started + 2; ++f) {
            if (const auto t = h.timestamp_if_held(f)) {
                ASSERT_EQ(*t, f * 7 + 3);
            }
        }
    }
    writer.join();
    EXPECT_EQ(h.timestamp_if_held(kFrames - 1), (kFrames - 1) * 7 + 3);
}

}  // namespace
