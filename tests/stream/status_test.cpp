// Status operations against the scripted adapter.
#include <gtest/gtest.h>

#include "core/driver.h"
#include "support/open_stream_fixture.h"

using namespace qel::driver;

namespace {

using StatusTest = qel::test::OpenStreamTest;

TEST_F(StatusTest, TimeSourceLinkCameraIdAndDropPacket) {
    const uint32_t reported[] = {0, 0, 1, 1, 1, 2, 3};
    for (uint32_t raw = 0; raw <= 7; ++raw) {
        adapter_.board(0).timesource = raw;
        uint32_t state = 99;
        EXPECT_EQ(qel_get_timesource_state(stream_, &state), raw < 7 ? 0 : QEL_ENODEV);
        EXPECT_EQ(state, raw < 7 ? reported[raw] : 99u) << raw;
    }
    EXPECT_EQ(adapter_.commands_with(TREL_GET_TIMESOURCE).at(0).device,
              qel::test::endpoint_name(0, 0));
    uint32_t state = 7;
    adapter_.board(0).link = 3;
    EXPECT_EQ(qel_get_link_state(stream_, &state), 0);
    EXPECT_EQ(state, 1u);
    adapter_.fail(TREL_GET_LINK_STATE, QEL_EBUSY);
    state = 7;
    EXPECT_EQ(qel_get_link_state(stream_, &state), QEL_EBUSY);
    EXPECT_EQ(state, 7u);
    EXPECT_EQ(qel_get_link_state(stream_, nullptr), QEL_EINVAL);
    uint64_t id = 5;
    EXPECT_EQ(qel_get_camera_id_stream(stream_, &id), 0);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(qel_drop_packet(stream_, 7, 42), 0);
    auto sent = adapter_.commands_with(TREL_DROP_PACKET);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].as<DropPacketRecord>().block, 7u);
    EXPECT_EQ(sent[0].as<DropPacketRecord>().packet, 42u);
    adapter_.fail(TREL_DROP_PACKET, QEL_EBUSY);
    EXPECT_EQ(qel_drop_packet(stream_, 7, 42), QEL_EINVAL) << "the driver's code is not passed on";
}

}  // namespace
