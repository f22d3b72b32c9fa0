#include "adapter/driver/endpoint.h"

#include <time.h>

#include "adapter/driver/boards.h"
#include "adapter/driver/settings.h"
#include "qel.h"

namespace qel::adapter {

namespace {

uint64_t clock_ns(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

template <typename T>
std::atomic_ref<T> word_at(std::span<uint8_t> page, size_t offset) {
    return std::atomic_ref<T>(*reinterpret_cast<T *>(page.data() + offset));
}

}  // namespace

Endpoint::Endpoint(Passkey, const Board &board, uint32_t number)
    : interface_(board.interface), if_index_(board.if_index), number_(number) {}

int Endpoint::attach(const Board &board, uint32_t number, std::shared_ptr<Endpoint> *out) {
    auto endpoint = std::make_shared<Endpoint>(Passkey{}, board, number);
    if (int rc = endpoint->lock_.acquire(board.interface, number); rc != 0) return rc;
    if (int rc = endpoint->regions_.allocate(ring_bytes()); rc != 0) return rc;
    endpoint->ring_.attach(endpoint->regions_.region(kRingRegion),
                           endpoint->regions_.region(kProgressRegion));
    endpoint->refresh_clock_page();
    *out = std::move(endpoint);
    return 0;
}

Endpoint::~Endpoint() {
    shutdown();
}

int Endpoint::enable() {
    std::lock_guard lock(control_mutex_);
    if (is_shut()) return QEL_EINVAL;
    enabled_.store(true, std::memory_order_release);
    start_firmware_locked();
    return 0;
}

int Endpoint::add_filter(uint32_t address, uint16_t port) {
    std::lock_guard lock(control_mutex_);
    if (is_shut()) return QEL_EINVAL;
    if (socket_.is_open() && socket_.address() == address && socket_.port() == port) return 0;
    // The new socket opens before the old one closes, so a failed add keeps the old filter.
    FilterSocket fresh;
    if (int rc = fresh.open(address, port, if_index_); rc != 0) return rc;
    stop_firmware_locked();
    socket_ = std::move(fresh);
    start_firmware_locked();
    return 0;
}

int Endpoint::delete_filter() {
    std::lock_guard lock(control_mutex_);
    if (is_shut()) return QEL_EINVAL;
    stop_firmware_locked();
    socket_.close();
    return 0;
}

int Endpoint::filter_fd() const {
    std::lock_guard lock(control_mutex_);
    return socket_.fd();
}

void Endpoint::shutdown() {
    std::lock_guard lock(control_mutex_);
    if (shut_.exchange(true, std::memory_order_acq_rel)) return;
    stop_firmware_locked();
    ring_.shut();
    socket_.close();
    buffers_.clear();
    drops_.clear();
    lock_.release();
}

void Endpoint::start_firmware_locked() {
    if (firmware_ || !enabled() || !socket_.is_open() || is_shut()) return;
    FirmwareStarter start = firmware_starter();
    if (start == nullptr) return;
    const FirmwareLink link{
        .ports = FirmwarePorts{buffers_, ring_, drops_, counters_},
        .progress_page = regions_.region(kProgressRegion),
        .extended_ids = extended_ids(),
        .settings = FirmwareSettings{.resend_interval_ms = resend_interval_ms(),
                                     .block_timeout_ms = block_timeout_ms(),
                                     .longest_wait_ms = kMaxFirmwareMs,
                                     .any_source = accept_any_source()},
        .clock = *this,
        .ring = socket_.ring(),
    };
    firmware_ = start(link, socket_.fd());
}

void Endpoint::stop_firmware_locked() {
    firmware_.reset();  // joins the firmware's threads
}

void Endpoint::refresh_clock_page() {
    std::span<uint8_t> page = regions_.region(kClockRegion);
    if (page.size() < shm::kPageBytes) return;
    std::lock_guard lock(clock_mutex_);
    auto sequence = word_at<uint32_t>(page, shm::clock_page::kSequence);
    const uint32_t before = sequence.load(std::memory_order_relaxed);
    // An odd sequence word tells a reader that the parameters are changing. The fence after
    // it pairs with the reader's fence before it reads the word again: a reader that saw any
    // new parameter sees the word changed and reads again.
    sequence.store(before | 1u, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    word_at<uint64_t>(page, shm::clock_page::kBaseTicks)
        .store(clock_ns(CLOCK_MONOTONIC) & shm::kTickMask, std::memory_order_relaxed);
    word_at<uint64_t>(page, shm::clock_page::kBaseTime)
        .store(clock_ns(CLOCK_REALTIME), std::memory_order_relaxed);
    word_at<uint32_t>(page, shm::clock_page::kMultiplier).store(1, std::memory_order_relaxed);
    word_at<uint32_t>(page, shm::clock_page::kDivisor).store(1, std::memory_order_relaxed);
    // Release pairs with the reader's acquire of the sequence word: a reader that sees the new
    // even word sees all the parameters above.
    sequence.store((before | 1u) + 1, std::memory_order_release);
}

}  // namespace qel::adapter
