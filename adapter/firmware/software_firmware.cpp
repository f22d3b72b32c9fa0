#include "adapter/firmware/software_firmware.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>

#include "core/shared_memory.h"

namespace qel::adapter {

namespace {

constexpr uint64_t kNsPerMs = 1'000'000;

// A word the host wrote into the progress page when it opened the stream (before it added
// the filter that starts this firmware).
uint32_t progress_word(const FirmwareLink &link, size_t offset) {
    // Acquire pairs with the host's release stores.
    return std::atomic_ref<uint32_t>(
               *reinterpret_cast<uint32_t *>(link.progress_page.data() + offset))
        .load(std::memory_order_acquire);
}

}  // namespace

SoftwareFirmware::SoftwareFirmware(const FirmwareLink &link, int socket, AssemblerSettings settings,
                                   SourceRule sources)
    : clock_(link.clock),
      counters_(link.ports.counters),
      socket_(link.ring.fd >= 0 ? link.ring.fd : socket),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
      assembler_(link.ports, settings) {
    try {
        if (link.ring.fd >= 0) {
            ring_receiver_.emplace(link.ring, monotonic_ns, sources);
        } else {
            socket_receiver_.emplace(socket, monotonic_ns, sources);
        }
        // Counted before the thread starts, so that the path shows once the stream is open;
        // no other firmware of the endpoint runs now, so this is still the one writer.
        counters_.add(ring_receiver_ ? Counter::ring_starts : Counter::socket_starts);
        thread_ = std::thread([this] { run(); });
    } catch (...) {
        if (wake_ >= 0) close(wake_);
        throw;
    }
}

SoftwareFirmware::~SoftwareFirmware() {
    stopping_.store(true, std::memory_order_release);
    if (wake_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
    thread_.join();
    // The thread is gone (join orders its work before this): the assembler is ours now.
    assembler_.stop(monotonic_ns());
    if (wake_ >= 0) close(wake_);
}

int SoftwareFirmware::receive() {
    return ring_receiver_ ? ring_receiver_->receive(assembler_, counters_)
                          : socket_receiver_->receive(assembler_, counters_);
}

void SoftwareFirmware::run() {
    uint64_t next_clock = 0;
    while (!stopping_.load(std::memory_order_acquire)) {
        uint64_t now = monotonic_ns();
        if (now >= next_clock) {
            clock_.refresh_clock_page();
            next_clock = now + kClockRefreshNs;
        }
        if (receive() > 0) {
            assembler_.on_timer(monotonic_ns());
            continue;
        }
        // The socket was read empty: every packet that reached it before `now` is in.
        assembler_.caught_up(now);
        now = monotonic_ns();
        assembler_.on_timer(now);
        const uint64_t due = std::min(assembler_.next_due(now), next_clock);
        int sleep_ms = 0;
        if (due > now) {
            sleep_ms = static_cast<int>(
                std::min<uint64_t>((due - now + kNsPerMs - 1) / kNsPerMs, kLongestSleepMs));
        }
        // Without the eventfd the stop is seen at the next short wake-up.
        if (wake_ < 0) sleep_ms = std::min(sleep_ms, 10);
        pollfd waits[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
        poll(waits, wake_ >= 0 ? 2 : 1, sleep_ms);
    }
}

std::unique_ptr<Firmware> start_software_firmware(const FirmwareLink &link, int socket) {
    AssemblerSettings settings;
    settings.resend_interval_ns = uint64_t{link.settings.resend_interval_ms} * kNsPerMs;
    // A stream that asks for resent packets waits for them as long as its host does: a
    // shorter wait here would end blocks whose answers the host still expects.
    const uint32_t host_timeout_ms = progress_word(link, shm::progress_page::kBlockTimeoutMs);
    settings.block_timeout_ns =
        uint64_t{host_timeout_ms != 0 ? std::min(host_timeout_ms, link.settings.longest_wait_ms)
                                      : link.settings.block_timeout_ms} *
        kNsPerMs;
    const uint32_t stream_flags = progress_word(link, shm::progress_page::kStreamFlags);
    settings.packet_resend = (stream_flags & shm::progress_page::kStreamResends) != 0;
    settings.gap_reports = (stream_flags & shm::progress_page::kStreamGapReports) != 0;
    settings.host_ids = link.extended_ids ? AssemblerSettings::IdForm::extended
                                          : AssemblerSettings::IdForm::standard;
    SourceRule sources;
    sources.any_source = link.settings.any_source;
    sources.camera_address = progress_word(link, shm::progress_page::kCameraAddress);
    // Called under the endpoint's lock from the driver commands' C interface: nothing may
    // escape. Without memory or a thread the endpoint runs no firmware.
    try {
        return std::make_unique<SoftwareFirmware>(link, socket, settings, sources);
    } catch (const std::exception &) {
        return nullptr;
    }
}

}  // namespace qel::adapter
