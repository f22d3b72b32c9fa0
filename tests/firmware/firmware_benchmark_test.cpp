// How fast the software firmware receives an in-order stream on loopback, and how many payload
// bytes it copies. Not part of the test run; run it by hand:
//   build/tests/test_firmware --gtest_also_run_disabled_tests --gtest_filter='*Benchmark*'
// QEL_BENCH_BLOCKS (default 400), QEL_BENCH_BLOCK_BYTES (default 1 MiB) and
// QEL_BENCH_PACKET (data bytes per packet, default 1400) shape the stream.
#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "gvsp_builder.h"
#include "library_fixture.h"
#include "test_camera.h"

namespace qel::test {
namespace {

uint32_t setting(const char *name, uint32_t fallback) {
    const char *text = std::getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                                            : fallback;
}

TEST_F(LibraryReceive, DISABLED_BenchmarkInOrderStream) {
    const uint32_t blocks = setting("QEL_BENCH_BLOCKS", 400);
    const uint32_t block_bytes = setting("QEL_BENCH_BLOCK_BYTES", 1 << 20);
    const uint32_t packet_bytes = setting("QEL_BENCH_PACKET", 1400);
    constexpr uint32_t kBuffers = 16;
    open(0);
    for (uint32_t i = 0; i < kBuffers; ++i) queue(block_bytes);
    const Block shape = make_block(Ids::standard, 1, BlockShape{}, block_bytes, packet_bytes);

    std::atomic<uint32_t> finished{0};  // blocks the application is done with
    TestCamera camera(port_);
    const auto start = std::chrono::steady_clock::now();
    std::thread sender([&] {
        std::vector<Bytes> packets = shape.packets;
        for (uint32_t n = 0; n < blocks; ++n) {
            // Never more blocks under way than buffers: the benchmark measures reception, not
            // the loss of a sender that outruns the application.
            // Acquire pairs with the release of `finished` by the receiving thread.
            while (n >= finished.load(std::memory_order_acquire) + kBuffers - 2) {
                std::this_thread::yield();
            }
            const uint16_t id = static_cast<uint16_t>(n % 65535 + 1);
            for (Bytes &p : packets) {
                p[2] = static_cast<uint8_t>(id >> 8);
                p[3] = static_cast<uint8_t>(id);
                camera.send(p);
            }
        }
    });
    uint32_t delivered = 0;
    uint32_t failed = 0;
    while (delivered + failed < blocks) {
        qel_block_t b{};
        const int rc = qel_poll_recv(stream_, &b, 2000);
        if (rc == 0) {
            ++delivered;
            ASSERT_EQ(qel_queue_buffer(b.buffer), 0);
        } else if (rc != QEL_EAGAIN && rc != QEL_ENOMEM && rc != QEL_ENOBUFS) {
            break;  // nothing for two seconds: the rest was lost
        }
        qel_stats_t stats{};
        qel_get_stats(stream_, &stats);
        failed = static_cast<uint32_t>(stats.blocks_dropped);  // overflows, no buffers, losses
        finished.store(delivered + failed, std::memory_order_release);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    finished.store(blocks + kBuffers, std::memory_order_release);
    sender.join();

    const double placed = double(counter(Counter::bytes_placed));
    const double copied = double(counter(Counter::bytes_copied));
    const double packets = double(counter(Counter::packets));
    std::printf(
        "blocks %u x %u bytes, %u data bytes per packet: %u delivered, %u failed in %.3f s\n"
        "  %.2f Gbit/s of payload, %.0f packets/s, %.0f packets per receive call\n"
        "  payload bytes copied per payload byte: %.4f\n",
        blocks, block_bytes, packet_bytes, delivered, failed, seconds,
        delivered * double(block_bytes) * 8 / seconds / 1e9, packets / seconds,
        packets / double(counter(Counter::receive_calls)), copied / (placed + copied));
    for (size_t i = 0; i < adapter::kCounterCount; ++i) {
        std::printf("  %s %llu\n", adapter::kCounterNames[i].data(),
                    static_cast<unsigned long long>(counter(static_cast<Counter>(i))));
    }
    EXPECT_EQ(delivered, blocks);
}

}  // namespace
}  // namespace qel::test
