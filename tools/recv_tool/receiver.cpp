#include "recv_tool/receiver.h"

#include <arpa/inet.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

namespace qel::recv_tool {

namespace {

constexpr uint64_t kPage = 4096;
// The buffers that take the first blocks when the size is not given: large enough for any
// usual frame (a 16-bit 4K image is 16 MiB). More than one, so that a block that waits for
// resent packets does not leave the next without a buffer; each is replaced by one of the
// right size once its block has been used.
constexpr uint64_t kProbeBytes = uint64_t{64} << 20;
constexpr uint32_t kProbeBuffers = 4;
// A non-waiting receive that found nothing pauses this long: short against any frame time.
constexpr auto kIdlePause = std::chrono::microseconds(50);
// Receiving with resend, the pause doubles while nothing comes, up to this: between frames the
// loop then wakes a thousand times a second, not twenty thousand (at 50 frames/s of 4 MiB that
// was a sixth of a processor), and a block waits at most this much longer to be seen. The
// firmware goes on filling the queued buffers meanwhile.
constexpr auto kIdlePauseMost = std::chrono::microseconds(1000);
// The driver wait of plain polling; the loop looks at its limits this often.
constexpr int32_t kPollTimeoutMs = 100;

// The resend series of the receive worker take request ids from here, max_requests ids each,
// so that consecutive series do not reuse ids (with ranged requests a series may send one
// request per gap of each round, more than that; a camera answers a request whatever its id).
// The worker thread is its only user.
std::atomic<uint16_t> worker_next_req_id{1};
std::atomic<uint16_t> worker_max_requests{50};

int worker_resend_series(qel_stream_t *, uint16_t *req_id, uint16_t *max_requests) {
    // Relaxed: the counter publishes nothing else; the limit is stored before the worker
    // starts (create's start of the thread orders it).
    const uint16_t max = worker_max_requests.load(std::memory_order_relaxed);
    *req_id = worker_next_req_id.fetch_add(max, std::memory_order_relaxed);
    *max_requests = max;
    return 0;
}

uint32_t ipv4(const std::string &text) {
    in_addr a{};
    inet_pton(AF_INET, text.c_str(), &a);
    return a.s_addr;
}

std::string describe(int rc) {
    return std::string(qel_strerror(rc)) + " (" + std::to_string(rc) + ")";
}

}  // namespace

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

Receiver::Receiver(const Options &options) : options_(options) {
    worker_max_requests.store(static_cast<uint16_t>(options.max_requests),
                              std::memory_order_relaxed);
}

Receiver::~Receiver() {
    if (stream_ == nullptr) return;
    if (options_.mode == Mode::worker) qel_destroy_recv_worker(stream_);
    // Buffers still queued are detached by the close and freed after it.
    std::vector<qel_buffer_t *> queued;
    for (qel_buffer_t *b : buffers_) {
        if (qel_free(b) == QEL_EBUSY) queued.push_back(b);
    }
    qel_close_stream(stream_);
    for (qel_buffer_t *b : queued) qel_free(b);
}

std::string Receiver::stream_name() const {
    const std::string port = std::to_string(options_.port);
    if (!options_.group.empty())
        return options_.group + ":" + port + " on " + options_.local_address;
    return options_.local_address + ":" + port;
}

std::string Receiver::open() {
    uint32_t flags = options_.keep_incomplete ? QEL_OPEN_KEEP_INCOMPLETE : QEL_OPEN_DROP_INCOMPLETE;
    if (options_.extended_ids) flags |= QEL_OPEN_EXTENDED_ID;
    const uint32_t local = ipv4(options_.local_address);
    int rc = 0;
    if (!options_.camera_address.empty()) {
        qel_stream_options_t o{};
        o.flags = flags | QEL_OPEN_ZEROLOSS;
        if (options_.ranged_resend) o.flags |= QEL_OPEN_RANGED_RESEND;
        o.block_timeout = options_.block_timeout_ms;
        o.max_requests = options_.max_requests;
        o.order_mode = 2;  // deliver blocks whatever their order: the tool counts, not judges
        o.camera_addr = ipv4(options_.camera_address);
        o.camera_port = options_.camera_port;
        o.channel = options_.channel;
        rc = qel_open_stream_pr(&local, options_.port, &stream_, &o, nullptr);
    } else if (!options_.group.empty()) {
        const uint32_t group = ipv4(options_.group);
        rc = qel_open_mcast_stream(&local, &group, options_.port, &stream_, flags, nullptr);
    } else {
        rc = qel_open_stream(&local, options_.port, &stream_, flags, nullptr);
    }
    if (rc != 0) {
        stream_ = nullptr;
        switch (rc) {
            case QEL_ENOADDR:
                return "no adapter board carries the address " + options_.local_address;
            case QEL_ENODEV: {
                // The library answers "no device" both when there is no board at all and when
                // no board carries the address; the interface list tells them apart.
                unsigned char mac[6];
                if (hux_ifaddr_to_macaddr(local, mac) == QEL_ENOADDR) {
                    return "no adapter board carries the address " + options_.local_address;
                }
                return "no adapter board found";
            }
            case QEL_EACCES:
                // The software adapter says on standard error which folder or file it cannot
                // use, and why.
                return "the adapter refused its endpoints: " + describe(rc);
            case QEL_EBUSY:
                return "every endpoint of the board with " + options_.local_address + " is in use";
            default:
                return "cannot open the stream on " + stream_name() + ": " + describe(rc);
        }
    }
    if (options_.buffer_size != 0) {
        if (std::string error = queue_buffers(options_.buffers, options_.buffer_size);
            !error.empty()) {
            return error;
        }
        buffer_size_ = options_.buffer_size;
    } else {
        if (std::string error =
                queue_buffers(std::min(options_.buffers, kProbeBuffers), kProbeBytes);
            !error.empty()) {
            return error;
        }
        probes_ = buffers_;
    }
    if (options_.mode == Mode::worker) {
        // The library pins to processor cpu mod 32 and takes 0 for "not pinned".
        const uint32_t pin = !options_.worker_cpu        ? 0
                             : *options_.worker_cpu == 0 ? 32
                                                         : *options_.worker_cpu;
        // Unless asked to busy-poll, the worker sleeps while no frame comes.
        const uint32_t cpu = options_.busy_poll ? pin : pin | QEL_RECV_WORKER_SLEEP;
        const bool resend = !options_.camera_address.empty();
        rc = qel_create_recv_worker(stream_, cpu, resend ? worker_resend_series : nullptr);
        if (rc != 0) {
            if (options_.worker_cpu) {
                return "cannot start the receive worker on processor " +
                       std::to_string(*options_.worker_cpu) + ": " + describe(rc);
            }
            return "cannot start the receive worker: " + describe(rc);
        }
        rc = qel_start_recv_worker(stream_);
        if (rc != 0) return "cannot start the receive worker: " + describe(rc);
    }
    return {};
}

std::string Receiver::queue_buffers(uint32_t count, uint64_t size) {
    // All are made before the first is queued: queueing starts reception, and a camera already
    // streaming would find too few buffers while the others are still being made.
    const size_t first = buffers_.size();
    for (uint32_t i = 0; i < count; ++i) {
        qel_buffer_t *b = nullptr;
        if (const int rc = qel_alloc(stream_, size, &b); rc != 0) {
            return "cannot allocate a buffer of " + std::to_string(size) +
                   " bytes: " + describe(rc);
        }
        buffers_.push_back(b);
    }
    for (size_t i = first; i < buffers_.size(); ++i) {
        const int rc = qel_queue_buffer(buffers_[i]);
        if (rc == QEL_EBUSY && i == 0) {
            return "cannot receive on " + stream_name() +
                   ": another stream (of this or another user) receives on that port";
        }
        if (rc == QEL_EINVAL && i == 0) {
            // The first queueing starts reception on the address and port; the library has
            // released the buffer.
            buffers_.erase(buffers_.begin());
            return "cannot receive on " + stream_name() +
                   ": the port is in use or the address cannot be bound";
        }
        if (rc != 0) return "cannot queue a buffer: " + describe(rc);
    }
    return {};
}

std::string Receiver::give_back(qel_buffer_t *buffer) {
    const auto probe = std::find(probes_.begin(), probes_.end(), buffer);
    if (probe == probes_.end()) {
        if (const int rc = qel_queue_buffer(buffer); rc != 0) {
            return "cannot queue a buffer again: " + describe(rc);
        }
        return {};
    }
    // Kept in the list until it is gone, so that closing frees it should this fail.
    if (const int rc = qel_free(buffer); rc != 0) {
        return "cannot release a buffer: " + describe(rc);
    }
    probes_.erase(probe);
    buffers_.erase(std::find(buffers_.begin(), buffers_.end(), buffer));
    return queue_buffers(1, buffer_size_);
}

int Receiver::receive_once(Delivery &d) {
    switch (options_.mode) {
        case Mode::poll:
            return qel_poll_recv(stream_, &block_, kPollTimeoutMs);
        case Mode::resend: {
            qel_pr_status_t status{};
            const auto base = static_cast<uint16_t>(1 + blocks_seen_ * options_.max_requests);
            const int rc = qel_poll_recv_pr(stream_, &block_, base, &status);
            d.complete = status.status == 2;
            d.resend_count = status.resend_count;
            return rc;
        }
        case Mode::worker:
            // A sleeping worker's poll waits for its hand-over; a busy one's is looked at again
            // after a short pause.
            return qel_poll_recv(stream_, &block_, options_.busy_poll ? 0 : kPollTimeoutMs);
    }
    return QEL_EINVAL;
}

qel_stats_t Receiver::stats() const {
    qel_stats_t s{};
    if (stream_ != nullptr) qel_get_stats(stream_, &s);
    return s;
}

Losses Receiver::losses() const {
    const qel_stats_t s = stats();
    Losses l = returned_;
    // The library counts every block it did not deliver as dropped; those whose loss no result
    // reported were dropped for missing packets (protocol results drop nothing).
    const uint64_t reported = l.no_buffer + l.too_large + l.order;
    l.incomplete = s.blocks_dropped > reported ? s.blocks_dropped - reported : 0;
    l.block_timeout = s.block_timeouts;
    l.resend_limit = s.resend_limit_hits;
    l.watchdog = s.blocks_dropped_by_watchdog;
    return l;
}

Sample Receiver::sample() const {
    const qel_stats_t s = stats();
    Sample out;
    const End until =
        ended_ ? *ended_ : End{std::chrono::steady_clock::now(), process_cpu_seconds()};
    out.seconds = std::chrono::duration<double>(until.time - start_).count();
    out.cpu_seconds = until.cpu_seconds - cpu_at_start_;
    out.delivered = delivered_;
    out.bytes = bytes_;
    out.incomplete = s.blocks_incomplete;
    out.dropped = s.blocks_dropped;
    out.resend_requests = s.resend_requests;
    return out;
}

std::string Receiver::run(const std::function<void(const Delivery &)> &on_block,
                          const std::function<void(const Sample &)> &on_second,
                          const std::function<bool()> &stop) {
    ended_.reset();
    std::string error = receive_all(on_block, on_second, stop);
    ended_ = End{std::chrono::steady_clock::now(), process_cpu_seconds()};
    return error;
}

std::string Receiver::receive_all(const std::function<void(const Delivery &)> &on_block,
                                  const std::function<void(const Sample &)> &on_second,
                                  const std::function<bool()> &stop) {
    start_ = std::chrono::steady_clock::now();
    cpu_at_start_ = process_cpu_seconds();
    const auto deadline =
        options_.duration_s > 0
            ? start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                           std::chrono::duration<double>(options_.duration_s))
            : std::chrono::steady_clock::time_point::max();
    auto next_tick = start_ + std::chrono::seconds(1);
    const auto first_frame_deadline =
        start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(options_.first_frame_timeout_s));
    auto pause = kIdlePause;
    while (!(options_.frames != 0 && delivered_ >= options_.frames)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || (stop && stop())) break;
        if (blocks_seen_ == 0 && stats().blocks_dropped == 0 && now >= first_frame_deadline) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", options_.first_frame_timeout_s);
            return std::string("no frame came within ") + seconds +
                   " s: is the camera streaming to " + stream_name() + "?";
        }
        if (now >= next_tick) {
            if (on_second) on_second(sample());
            next_tick += std::chrono::seconds(1);
        }
        Delivery d;
        const uint64_t incomplete_before =
            options_.mode == Mode::resend ? 0 : stats().blocks_incomplete;
        const int rc = receive_once(d);
        // Nothing yet: a camera slower than the poll's wait is simply waited for.
        if (rc == QEL_EAGAIN || rc == QEL_ETIMEDOUT) {
            if (options_.mode == Mode::resend) {
                std::this_thread::sleep_for(pause);
                pause = std::min(pause * 2, kIdlePauseMost);
            } else if (options_.mode == Mode::worker && options_.busy_poll) {
                std::this_thread::sleep_for(kIdlePause);
            }
            continue;
        }
        pause = kIdlePause;
        if (rc == QEL_ENOMEM) {
            ++returned_.too_large;
            if (buffer_size_ == 0) {
                return "the first frame does not fit a " + std::to_string(kProbeBytes >> 20) +
                       " MiB buffer: give the frame size with --buffer-size";
            }
            return "a frame does not fit the " + std::to_string(buffer_size_) +
                   "-byte buffers: give a larger --buffer-size";
        }
        if (rc != 0) {
            // Blocks the library dropped (no buffer, out of order, incomplete) are counted in
            // its statistics; reception goes on.
            if (rc == QEL_ENOBUFS || rc == QEL_EORDER || rc == QEL_EPROTO || rc < 0) {
                if (rc == QEL_ENOBUFS) ++returned_.no_buffer;
                if (rc == QEL_EORDER) ++returned_.order;
                if (rc == QEL_EPROTO || rc < 0) ++returned_.protocol;
                ++blocks_seen_;
                continue;
            }
            return "receiving failed: " + describe(rc);
        }
        ++blocks_seen_;
        ++delivered_;
        bytes_ += block_.payload_length;
        if (options_.mode != Mode::resend) {
            d.complete = stats().blocks_incomplete == incomplete_before;
        }
        if (buffer_size_ == 0) {
            // The first block gives the size of the others. Buffers of that size make up the
            // number asked for, and each probe buffer gives way to one as it comes back.
            buffer_size_ = std::max<uint64_t>(
                kPage, (uint64_t{block_.payload_length} + kPage - 1) / kPage * kPage);
            if (options_.buffers > probes_.size()) {
                const auto more = static_cast<uint32_t>(options_.buffers - probes_.size());
                if (std::string error = queue_buffers(more, buffer_size_); !error.empty()) {
                    return error;
                }
            }
        }
        d.block = &block_;
        d.sequence = delivered_;
        if (on_block) on_block(d);
        if (std::string error = give_back(block_.buffer); !error.empty()) return error;
    }
    return {};
}

}  // namespace qel::recv_tool
