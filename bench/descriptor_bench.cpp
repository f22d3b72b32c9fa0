// The descriptor path: blocks per second that qel_poll_recv delivers while a second thread,
// playing the firmware, posts leader and trailer descriptors into the stream's shared ring
// as fast as the ring has room (once it finds the ring full, it waits for a run of 32 free
// entries rather than reading the host's count for each one). The application's loop is the
// usual one: poll, then queue the buffer again. Reference in the same run: the block buffer
// ring moving one pointer per block between the same two CPUs.
//
// The stream is opened on the scripted adapter; its commands are recorded, so the two
// commands of the loop (queueing a buffer, waiting for a descriptor) are answered here
// without recording: on a real driver they are the driver's work, not the library's.
#include <arpa/inet.h>

#include <cstring>
#include <vector>

#include "bench/bench_common.h"
#include "core/driver.h"
#include "core/state.h"
#include "hux/device_host.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "stream/stream.h"
#include "support/descriptors.h"
#include "support/scripted_adapter.h"
#include "worker/plix_ring.h"

namespace qel::bench {
namespace {

constexpr uint64_t kBlocksPerIteration = 1 << 16;
constexpr int kBuffers = 16;
constexpr uint32_t kRingSlots = 1024;
constexpr uint32_t kFreeRun = 32;

// Forwards to the scripted adapter, but answers the loop's two commands itself.
class QuietHost final : public hux::DeviceHost {
public:
    explicit QuietHost(test::ScriptedAdapter &inner) : inner_(inner) {}
    uint32_t open(const char *name, uint64_t *handle) noexcept override {
        return inner_.open(name, handle);
    }
    uint32_t control(uint64_t handle, uint32_t code, void *record,
                     uint32_t length) noexcept override {
        // The poll only waits when nothing is posted; it is called with no time to wait.
        if (code == driver::TREL_QUEUE_BUF || code == driver::TREL_WAIT_DESC) return 0;
        return inner_.control(handle, code, record, length);
    }
    void close(uint64_t handle) noexcept override { inner_.close(handle); }

private:
    test::ScriptedAdapter &inner_;
};

// Posts descriptors into an endpoint's ring as the firmware does: bytes 0 to 62, then the tag
// byte with release order; never into an entry the host has not consumed.
class Poster {
public:
    explicit Poster(const test::EndpointRegions &r)
        : ring_(r.base[0]),
          entries_(r.length[0] / shm::kDescriptorBytes),
          consumed_(reinterpret_cast<uint32_t *>(r.base[5] + shm::progress_page::kConsumed)) {}

    void post(const test::Descriptor &d) {
        if (posted_ - consumed_cached_ >= entries_) {
            // Full: wait for a run of free entries, not one, so that the host's progress line
            // is not pulled over for every descriptor while the ring stays full.
            for (;;) {
                // Acquire pairs with the host's release store of its consumed count: its copy
                // of an entry is complete before we write the entry again.
                consumed_cached_ =
                    std::atomic_ref<uint32_t>(*consumed_).load(std::memory_order_acquire);
                if (posted_ - consumed_cached_ <= entries_ - kFreeRun) break;
                cpu_relax();
            }
        }
        uint8_t *slot = ring_ + size_t{posted_ % entries_} * shm::kDescriptorBytes;
        std::memcpy(slot, d.data(), shm::offset::kTag);
        // Release pairs with the host's acquire load of the tag.
        std::atomic_ref<uint8_t>(slot[shm::offset::kTag]).store(tag_, std::memory_order_release);
        tag_ = shm::next_tag(tag_);
        ++posted_;
    }

private:
    uint8_t *ring_;
    uint32_t entries_;
    uint32_t *consumed_;
    uint32_t posted_ = 0;
    uint32_t consumed_cached_ = 0;
    uint8_t tag_ = shm::kFirstTag;
};

void descriptor_path(benchmark::State &state) {
    core::reset_library_state();
    test::ScriptedAdapter adapter;
    adapter.add_board(0);
    QuietHost quiet(adapter);
    hux::set_device_host(&quiet);
    if (qel_init(QEL_API_VERSION) != 0) {
        state.SkipWithError("qel_init failed");
        hux::set_device_host(nullptr);
        return;
    }
    uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_t *stream = nullptr;
    if (qel_open_stream(&loopback, 5000, &stream, 0, nullptr) != 0) {
        state.SkipWithError("qel_open_stream failed");
        hux::set_device_host(nullptr);
        return;
    }
    std::vector<qel_buffer_t *> buffers;
    for (int i = 0; i < kBuffers; ++i) {
        qel_buffer_t *b = nullptr;
        if (qel_alloc(stream, 4096, &b) == 0 && qel_queue_buffer(b) == 0) buffers.push_back(b);
    }
    Poster poster(adapter.regions(0, stream->endpt));

    OwnLine<std::atomic<uint64_t>> asked{0};
    OwnLine<std::atomic<bool>> stop{false};
    OwnLine<std::atomic<bool>> firmware_pinned{false};
    std::thread firmware([&] {
        CpuPin pin(bench_cpu(0));
        firmware_pinned.value.store(pin.pinned(), std::memory_order_relaxed);
        test::Descriptor leader = test::image_leader(1, 0x01080001, 64, 48);
        test::Descriptor trailer = test::trailer(1, 1, 3072);
        // Stamped, as the firmware stamps every trailer: the host time is part of the path.
        test::set_ticks(trailer, 1);
        uint64_t done = 0, block = 0;
        for (;;) {
            // Acquire pairs with the measuring thread's release increment.
            while (asked.value.load(std::memory_order_acquire) == done) {
                if (stop.value.load(std::memory_order_relaxed)) return;
                cpu_relax();
            }
            ++done;
            for (uint64_t k = 0; k < kBlocksPerIteration; ++k) {
                const uint64_t id = block++ % 65535 + 1;
                store_be64(leader.data() + shm::offset::kBlockId, id);
                store_be64(trailer.data() + shm::offset::kBlockId, id);
                poster.post(leader);
                poster.post(trailer);
            }
        }
    });

    CpuPin pin(bench_cpu(1));
    uint64_t failures = 0;
    for (auto _ : state) {
        asked.value.fetch_add(1, std::memory_order_release);
        for (uint64_t got = 0; got < kBlocksPerIteration;) {
            qel_block_t b{};
            const int rc = qel_poll_recv(stream, &b, 0);
            if (rc == QEL_EAGAIN) continue;
            if (rc != 0 || qel_queue_buffer(b.buffer) != 0) ++failures;
            ++got;
        }
    }
    stop.value.store(true, std::memory_order_relaxed);
    firmware.join();

    qel_stats_t stats{};
    qel_get_stats(stream, &stats);
    qel_close_stream(stream);
    for (qel_buffer_t *b : buffers) qel_free(b);
    hux::set_device_host(nullptr);
    core::reset_library_state();

    if (failures != 0) state.SkipWithError("a block was not delivered whole");
    const auto blocks = static_cast<double>(state.iterations() * kBlocksPerIteration);
    if (stats.blocks_complete != state.iterations() * kBlocksPerIteration) {
        state.SkipWithError("the statistics miss blocks");
    }
    state.SetItemsProcessed(static_cast<int64_t>(blocks));
    state.counters["value"] = benchmark::Counter(blocks, benchmark::Counter::kIsRate);
    state.SetLabel(pin_label(firmware_pinned.value.load(), pin.pinned()));
}

void ring_reference(benchmark::State &state) {
    run_transfer<QelRing>(state, kRingSlots, kBlocksPerIteration);
}

}  // namespace
}  // namespace qel::bench

int main(int argc, char **argv) {
    benchmark::RegisterBenchmark("descriptor_rate/ours", qel::bench::descriptor_path)
        ->UseRealTime();
    benchmark::RegisterBenchmark("descriptor_rate/ref", qel::bench::ring_reference)->UseRealTime();
    return qel::bench::run_benchmarks(argc, argv);
}
