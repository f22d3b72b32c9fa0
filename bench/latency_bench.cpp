// Latency of a block: from the moment its last packet (the trailer) leaves the sender to the
// moment the receiver has the block, in microseconds on one host's CLOCK_MONOTONIC.
//
// A sender thread sends small raw blocks (64 KiB in packets of 8192 bytes of UDP payload,
// leader and trailer around them) over loopback at a steady 250 blocks a second, so that every
// block finds the receiver idle, and stamps the time just before it sends each trailer. The
// receiving thread takes the time when its receive call returns the block. Only a thread that
// spins is pinned (to the first benchmark CPU): the threads that sleep, the firmware's among
// them, go where the scheduler finds room, as they would on a machine shared with other work.
//
//   lat_poll/ours              qel_poll_recv with a 100 ms timeout (sleeping in the driver)
//   lat_busy/ours              qel_poll_recv with timeout 0, called again at once (busy poll)
//   lat_worker_busy/ours       through a busy-polling receive worker, polled without a timeout
//                              every 50 us (as qel-recv --busy-poll does)
//   lat_worker_sleeping/ours   through a sleeping receive worker (QEL_RECV_WORKER_SLEEP),
//                              qel_poll_recv with a 100 ms timeout
//   <each>/ref                 a bare UDP socket sink: poll, then recvmmsg; the time is taken
//                              when the call returns the trailer packet
//
// "value" is the median, "p99" the 99th percentile, "lost" the blocks sent and not received
// (complete). QEL_BENCH_SECONDS (default 1) sets the sending's length: twice that many seconds.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "bench/bench_common.h"
#include "bench/bench_library.h"
#include "camsim/camsim.h"
#include "camsim/gvsp_writer.h"
#include "qel.h"

namespace qel::bench {
namespace {

constexpr uint32_t kDatagram = 8192;
constexpr uint64_t kBlockBytes = 64 << 10;
constexpr double kBlocksPerSecond = 250;
constexpr int kBuffers = 16;

uint64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000u + uint64_t(t.tv_nsec);
}

uint32_t block_count() {
    const char *text = std::getenv("QEL_BENCH_SECONDS");
    const double seconds = text != nullptr && std::atof(text) > 0 ? std::atof(text) : 1.0;
    return static_cast<uint32_t>(2 * seconds * kBlocksPerSecond);
}

// The sender: every block's packets built once, sent block by block at a steady pace, with the
// send time of each trailer kept for the receiver. Block ids run from 1.
class Sender {
public:
    explicit Sender(uint16_t port, uint32_t blocks) : stamps_(blocks + 1) {
        camsim::Config config;
        config.payload = camsim::PayloadKind::raw;
        config.data_size = kBlockBytes;
        config.packet_size = kDatagram + camsim::kIpUdpHeaderSize;
        ok_ = camsim::make_layout(config, kBlockBytes, &layout_).empty();
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        ok_ = ok_ && fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
        blocks_ = blocks;
    }
    ~Sender() {
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }
    Sender(const Sender &) = delete;
    Sender &operator=(const Sender &) = delete;

    bool ok() const { return ok_; }
    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // The send time of block `id`'s trailer, 0 when it was not sent (yet).
    uint64_t stamp(uint64_t id) const {
        return id < stamps_.size() ? stamps_[id].load(std::memory_order_acquire) : 0;
    }
    uint32_t blocks() const { return blocks_; }

private:
    void send_packet(const camsim::PacketHeader &header, uint32_t payload_id) {
        std::array<uint8_t, kDatagram> packet{};
        size_t length = 0;
        if (header.format == camsim::PacketFormat::leader) {
            length = camsim::write_leader(packet, layout_, header, now_ns());
        } else if (header.format == camsim::PacketFormat::trailer) {
            length = camsim::write_trailer(packet, layout_, header);
        } else {
            length = camsim::write_header(packet, false, header);
            length += layout_.payload_bytes(payload_id);
        }
        if (length != 0) send(fd_, packet.data(), length, 0);
    }
    void run() {
        const uint64_t period = static_cast<uint64_t>(1e9 / kBlocksPerSecond);
        uint64_t next = now_ns() + period;
        for (uint64_t id = 1; id <= blocks_; ++id) {
            const timespec at{static_cast<time_t>(next / 1'000'000'000u),
                              static_cast<long>(next % 1'000'000'000u)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
            next += period;
            camsim::PacketHeader h;
            h.block_id = id;
            h.packet_id = 0;
            h.format = camsim::PacketFormat::leader;
            send_packet(h, 0);
            h.format = camsim::PacketFormat::payload;
            for (uint32_t p = 1; p <= layout_.payload_packets; ++p) {
                h.packet_id = p;
                send_packet(h, p);
            }
            h.packet_id = layout_.trailer_packet_id;
            h.format = camsim::PacketFormat::trailer;
            // Release pairs with the receiver's acquire load, which follows the trailer's
            // arrival: the stamp is the time the last packet leaves.
            stamps_[id].store(now_ns(), std::memory_order_release);
            send_packet(h, 0);
        }
    }

    camsim::StreamLayout layout_;
    int fd_ = -1;
    bool ok_ = false;
    uint32_t blocks_ = 0;
    std::vector<std::atomic<uint64_t>> stamps_;
    std::thread thread_;
};

// How the library side receives.
enum class Way { poll, busy, worker_busy, worker_sleeping, bare };

struct Latencies {
    std::vector<double> us;  // one per block received
    uint64_t lost = 0;
    bool ok = false;
};

// Our side: the stream, its buffers and (for the worker rows) its worker; the calling thread
// receives until every block has come or nothing has come for a second.
Latencies receive_with_library(Way way) {
    Latencies out;
    Library library;
    if (!library.ok()) return out;
    const uint16_t port = camsim::free_loopback_port();
    uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_t *stream = nullptr;
    if (qel_open_stream(&loopback, port, &stream, 0, nullptr) != 0) return out;
    std::vector<qel_buffer_t *> buffers;
    for (int i = 0; i < kBuffers; ++i) {
        qel_buffer_t *b = nullptr;
        if (qel_alloc(stream, kBlockBytes + 4096, &b) == 0 && qel_queue_buffer(b) == 0) {
            buffers.push_back(b);
        }
    }
    const bool worker = way == Way::worker_busy || way == Way::worker_sleeping;
    // The library takes 0 for "not pinned" and pins to processor cpu mod 32.
    const uint32_t how = way == Way::worker_sleeping ? QEL_RECV_WORKER_SLEEP
                         : bench_cpu(0) == 0         ? 32
                                                     : bench_cpu(0);
    Sender sender(port, block_count());
    if (sender.ok() && buffers.size() == kBuffers &&
        (!worker || (qel_create_recv_worker(stream, how, nullptr) == 0 &&
                     qel_start_recv_worker(stream) == 0))) {
        std::optional<CpuPin> pin;
        if (way == Way::busy) pin.emplace(bench_cpu(0));
        const int32_t timeout = way == Way::busy || way == Way::worker_busy ? 0 : 100;
        out.ok = true;
        sender.start();
        uint64_t received = 0, last_seen = now_ns();
        while (received < sender.blocks() && now_ns() - last_seen < 1'000'000'000u) {
            qel_block_t block{};
            const int rc = qel_poll_recv(stream, &block, timeout);
            if (rc == QEL_EAGAIN && way == Way::worker_busy) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            if (rc != 0) continue;
            const uint64_t at = now_ns();
            last_seen = at;
            ++received;
            if (const uint64_t sent = sender.stamp(block.block_id); sent != 0 && at >= sent) {
                out.us.push_back(double(at - sent) / 1e3);
            }
            qel_queue_buffer(block.buffer);
        }
        sender.join();
        out.lost = sender.blocks() - received;
    }
    qel_close_stream(stream);
    for (qel_buffer_t *b : buffers) qel_free(b);
    return out;
}

// The reference: a bare socket sink that sleeps in poll and reads with recvmmsg, as the
// firmware's receiving thread does, and stamps the trailer packet of each block.
Latencies receive_bare() {
    Latencies out;
    const uint16_t port = camsim::free_loopback_port();
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(port);
    const int bytes = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        if (fd >= 0) close(fd);
        return out;
    }
    Sender sender(port, block_count());
    if (sender.ok()) {
        constexpr unsigned kBatch = 64;
        std::vector<uint8_t> scratch(size_t{kBatch} * kDatagram);
        std::array<iovec, kBatch> pieces{};
        std::array<mmsghdr, kBatch> headers{};
        out.ok = true;
        sender.start();
        uint64_t trailers = 0, last_seen = now_ns();
        while (trailers < sender.blocks() && now_ns() - last_seen < 1'000'000'000u) {
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 100) <= 0) continue;
            for (unsigned i = 0; i < kBatch; ++i) {
                pieces[i] = {scratch.data() + size_t{i} * kDatagram, kDatagram};
                headers[i].msg_hdr = {};
                headers[i].msg_hdr.msg_iov = &pieces[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            const int n = recvmmsg(fd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
            const uint64_t at = now_ns();
            for (int i = 0; i < n; ++i) {
                const uint8_t *p = scratch.data() + size_t(i) * kDatagram;
                // Standard ids: the block id in bytes 2-3, the format in byte 4.
                if (headers[i].msg_len < 8 ||
                    p[4] != static_cast<uint8_t>(camsim::PacketFormat::trailer)) {
                    continue;
                }
                last_seen = at;
                ++trailers;
                const uint64_t id = uint64_t{p[2]} << 8 | p[3];
                if (const uint64_t sent = sender.stamp(id); sent != 0 && at >= sent) {
                    out.us.push_back(double(at - sent) / 1e3);
                }
            }
        }
        sender.join();
        out.lost = sender.blocks() - trailers;
    }
    close(fd);
    return out;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(at), v.end());
    return v[at];
}

void latency(benchmark::State &state, Way way) {
    Latencies l;
    for (auto _ : state) l = way == Way::bare ? receive_bare() : receive_with_library(way);
    if (!l.ok || l.us.empty()) {
        state.SkipWithError("the stream could not be received");
        return;
    }
    state.counters["value"] = percentile(l.us, 0.5);
    state.counters["p99"] = percentile(l.us, 0.99);
    state.counters["samples"] = double(l.us.size());
    state.counters["lost"] = double(l.lost);
}

void register_benchmarks() {
    const std::pair<const char *, Way> rows[] = {{"lat_poll", Way::poll},
                                                 {"lat_busy", Way::busy},
                                                 {"lat_worker_busy", Way::worker_busy},
                                                 {"lat_worker_sleeping", Way::worker_sleeping}};
    for (const auto &[name, way] : rows) {
        benchmark::RegisterBenchmark((std::string(name) + "/ours").c_str(), latency, way)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((std::string(name) + "/ref").c_str(), latency, Way::bare)
            ->Iterations(1)
            ->UseRealTime();
    }
}

}  // namespace
}  // namespace qel::bench

int main(int argc, char **argv) {
    qel::bench::register_benchmarks();
    return qel::bench::run_benchmarks(argc, argv);
}
