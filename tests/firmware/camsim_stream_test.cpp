// End to end: the camera simulator streams to the library on loopback, with faults on the
// wire, and the library receives through the software adapter's firmware with packet resend.
// Every block arrives complete and equal, byte for byte, to what its frame carried.
#include <cstring>

#include "camsim/camsim.h"
#include "library_fixture.h"

namespace qel::test {
namespace {

using camsim::PayloadKind;

struct StreamCase {
    const char *name;
    PayloadKind kind;
    bool extended;
    uint32_t packet_size;
    // Per mille: loss, reorder, duplicate, leader loss, trailer loss.
    std::array<uint32_t, 5> faults;
};

class CameraStream : public LibraryReceive, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(CameraStream, EveryFrameArrivesWholeThroughResend) {
    const StreamCase &c = GetParam();
    constexpr uint64_t kFrames = 16;
    camsim::Config config;
    config.dest_port = port_;
    config.control_address = "127.0.0.1";
    config.control_port = camsim::free_loopback_port();
    config.payload = c.kind;
    config.width = 320;
    config.height = 120;
    config.data_size = 40000;
    config.extended_ids = c.extended;
    config.first_block_id = c.extended ? 0xFFFFFFF0ull : 65530;  // across a wrap of the low bits
    config.packet_size = c.packet_size;
    config.frames = kFrames;
    // With 16 buffers the application may fall 400 ms behind (a loaded machine, the
    // sanitizers) before a frame finds no buffer.
    config.frame_rate = 40;
    camsim::FaultConfig &f = config.faults;
    f.seed = 7 + c.faults[0] + c.faults[1] + c.faults[2] + c.faults[3] + c.faults[4];
    f.loss_per_mille = c.faults[0];
    f.reorder_per_mille = c.faults[1];
    f.duplicate_per_mille = c.faults[2];
    f.leader_loss_per_mille = c.faults[3];
    f.trailer_loss_per_mille = c.faults[4];
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.config_error(), "");

    open_pr(c.extended ? QEL_OPEN_EXTENDED_ID : 0, config.control_port);
    for (int i = 0; i < 16; ++i) queue(sim.payload_size() + 4096);
    ASSERT_EQ(sim.start(), "");

    uint64_t delivered = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (delivered < kFrames && std::chrono::steady_clock::now() < end) {
        qel_block_t b{};
        qel_pr_status_t status{};
        const int rc =
            qel_poll_recv_pr(stream_, &b, static_cast<uint16_t>(delivered * 100), &status);
        if (rc == QEL_EAGAIN) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        ASSERT_EQ(rc, 0) << "after " << delivered << " blocks";
        EXPECT_EQ(status.status, 2u) << "complete, block " << b.block_id;
        const auto frame = sim.frame_of_block(b.block_id);
        ASSERT_TRUE(frame.has_value()) << "block " << b.block_id;
        EXPECT_EQ(b.payload_type, camsim::payload_type_code(c.kind));
        if ((b.payload_type & 0xBFFF) == 1) {
            EXPECT_EQ(b.u.image.size_x, config.width);
            EXPECT_EQ(b.u.image.size_y, config.height);
        }
        if (c.kind == PayloadKind::file) {
            EXPECT_STREQ(b.u.file.file_name, "camsim.bin");
        }
        const std::vector<uint8_t> expected = sim.expected_payload(*frame);
        ASSERT_EQ(b.payload_length, expected.size()) << "block " << b.block_id;
        EXPECT_EQ(std::memcmp(b.data, expected.data(), expected.size()), 0)
            << "block " << b.block_id;
        ++delivered;
        ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
    }
    sim.stop();
    EXPECT_EQ(delivered, kFrames);
    const camsim::Counters sent = sim.counters();
    EXPECT_EQ(f.any(), sent.packets_withheld + sent.packets_duplicated + sent.packets_reordered > 0)
        << "the faults must have struck";
    EXPECT_TRUE(sent.packets_withheld == 0 || counter(Counter::resent) > 0);
    EXPECT_EQ(counter_at_least(Counter::blocks_complete, kFrames), kFrames);
    EXPECT_EQ(counter(Counter::blocks_incomplete_final), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Simulator, CameraStream,
    ::testing::Values(
        StreamCase{"image_standard", PayloadKind::image, false, 1400, {}},
        StreamCase{"image_extended_jumbo", PayloadKind::image, true, 8192, {}},
        StreamCase{"raw_loss_reorder_duplicates", PayloadKind::raw, false, 1400, {20, 20, 20}},
        StreamCase{"raw_extended_lost_trailers", PayloadKind::raw, true, 1400, {0, 0, 0, 0, 250}},
        StreamCase{"file_lost_leaders", PayloadKind::file, true, 1400, {0, 0, 0, 250}},
        StreamCase{"file_standard", PayloadKind::file, false, 1400, {}},
        StreamCase{"chunk_standard", PayloadKind::chunk, false, 1000, {}},
        StreamCase{"chunk_extended_reordered", PayloadKind::chunk, true, 1000, {0, 30}},
        StreamCase{"extended_chunk_loss", PayloadKind::extended_chunk, true, 1400, {30}},
        StreamCase{"extended_chunk_standard", PayloadKind::extended_chunk, false, 1400, {}},
        StreamCase{"image_extended_chunk_everything",
                   PayloadKind::image_extended_chunk,
                   false,
                   1400,
                   {10, 10, 10, 100, 100}},
        StreamCase{"image_extended_chunk_extended",
                   PayloadKind::image_extended_chunk,
                   true,
                   1400,
                   {0, 0, 30}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::test
