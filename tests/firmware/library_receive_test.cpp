// The firmware as the library meets it on loopback: it stops at once when the stream closes
// with a block under way, and keeps the clock page fresh.
#include "gvsp_builder.h"
#include "library_fixture.h"

namespace qel::test {
namespace {

TEST_F(LibraryReceive, CloseWithABlockUnderWayStopsPromptlyAndFreesItsBuffer) {
    open(0);
    queue(64 * 1024);
    Sender camera(port_);
    const Block b = make_block(Ids::standard, 1, BlockShape{}, 9000, 1400);
    for (int i = 0; i < 4; ++i) camera.send(b.packets[i]);
    for (int i = 0; i < 200 && counter(Counter::packets) < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(counter(Counter::packets), 4u);
    const auto start = std::chrono::steady_clock::now();
    close();  // frees the buffer too: it is no longer the firmware's
    // Well within the block timeout (5 s here): the firmware does not wait for the block.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(LibraryReceive, ClockPageIsRefreshedEverySecond) {
    open(0);
    queue(4096);  // adds the filter: the firmware runs
    auto sequence = [&] {
        return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t *>(stream_->clock_page + 0x40))
            .load(std::memory_order_acquire);
    };
    const uint32_t first = sequence();
    uint32_t now = first;
    for (int i = 0; i < 250 && now == first; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        now = sequence();
    }
    EXPECT_NE(now, first);
    EXPECT_EQ(now % 2, 0u);
}

}  // namespace
}  // namespace qel::test
