// The software adapter's firmware against a bare recvmmsg loop, the camera simulator sending
// the same stream to both over loopback:
//
//   fw_cpu_<size>/ours, /ref   CPU nanoseconds per packet of the receiving side, the
//                              simulator sending raw 1 MiB blocks in packets of <size> bytes of
//                              UDP payload (28 more as IP packets) at a fixed packet rate. Ours:
//                              every thread the stream's firmware runs (found as the threads
//                              that opening the stream started); "copies" is the payload bytes
//                              the firmware copied per payload byte received.
//                              Reference: one thread receiving batches of 64 with recvmmsg on
//                              a socket set up as the firmware's, discarding the data into
//                              512 KiB that stays in cache (context: it never takes the cache
//                              misses of writing into an application's buffers).
//   fw_place_<size>/ours, /ref  the same figure against the floor of any socket receiver:
//                              recvmmsg batches of 64 whose payloads land at their place in
//                              as many application buffers of the same size as ours (each
//                              packet's header in a scratch piece, its data straight into the
//                              buffer, the next packet's place following on), so both sides
//                              write every payload byte into buffers that do not stay in cache.
//   fw_ring_<size>/ours, /ref  as fw_place, the stream's firmware reading a packet socket's
//                              ring (QEL_ADAPTER_RECEIVE=ring; skipped without CAP_NET_RAW)
//                              instead of its UDP socket. Both fw_place and fw_ring also
//                              report "total": CPU ns per packet of the whole process, which
//                              on loopback includes the kernel's receive work for the stream
//                              (charged to the sending thread) and the simulator's sending.
//   e2e_<size>/ours, /ref      the highest loss-free rate, 4 MiB blocks in packets of <size>
//                              bytes of UDP payload, in frames per second: ours, every block
//                              delivered complete by qel_poll_recv; the reference, every
//                              packet received by the bare loop (its packet rate divided by the
//                              packets of one block).
//   sender_<size>/ours, /ref   the simulator's own ceiling in the same stream: frames per second
//                              it sends unpaced to the bare loop, runs of full packets sent
//                              segmented (ours) against one send per packet (the reference).
//   idle_poll/ours, /ref       CPU milliseconds per second of the whole process while a stream
//                              is open with its buffers queued and no packet comes: ours, the
//                              application's loop in qel_poll_recv with a 100 ms timeout; the
//                              reference, a thread sleeping in poll on a bound UDP socket.
//   idle_worker/ours, /ref     the same with the stream's receive worker started and the
//                              application's loop polling the worker every millisecond.
//   idle_worker_sleeping/ours, /ref  the same with a sleeping worker (QEL_RECV_WORKER_SLEEP)
//                              and the application's loop in qel_poll_recv with a 100 ms
//                              timeout. Every idle row also reports "firmware_ms_per_s": the
//                              CPU of the threads that opening the stream started.
//
// The receiving thread runs on the second benchmark CPU, the simulator and the application's
// poll on the first. QEL_BENCH_SECONDS (default 1) sets the length of one sending, and
// QEL_BENCH_STEPS (default 6) the halvings of the rate search.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "adapter/driver/endpoint.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/driver/settings.h"
#include "adapter/driver/software_adapter.h"
#include "bench/bench_common.h"
#include "bench/bench_library.h"
#include "camsim/camsim.h"
#include "core/state.h"
#include "stream/stream.h"
#include "qel.h"

namespace qel::bench {
namespace {

using adapter::Counter;

double seconds_per_sending() {
    const char *text = std::getenv("QEL_BENCH_SECONDS");
    const double s = text != nullptr ? std::atof(text) : 1.0;
    return s > 0 ? s : 1.0;
}

// Halvings of the search for the highest loss-free rate: QEL_BENCH_STEPS, default 6.
int search_steps() {
    const char *text = std::getenv("QEL_BENCH_STEPS");
    return text != nullptr ? std::atoi(text) : 6;
}

// Buffers of the library side, and of the placing reference.
constexpr int kBuffers = 16;
constexpr uint32_t kBufferSlack = 4096;

// CPU time of thread `tid` of this process, in nanoseconds (the kernel's per-thread clock).
uint64_t thread_cpu_ns(pid_t tid) {
    const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 4 | 2);
    timespec t{};
    if (clock_gettime(clock, &t) != 0) return 0;
    return uint64_t(t.tv_sec) * 1'000'000'000u + uint64_t(t.tv_nsec);
}

// CPU time of the whole process, in nanoseconds.
uint64_t process_cpu_ns() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000u + uint64_t(t.tv_nsec);
}

// Packets are sized here by their UDP payload (GVSP header and data), as these figures have
// always been; the simulator's packet size also counts the IP and UDP headers.
camsim::Config stream_config(uint16_t port, uint32_t datagram_size, uint64_t block_bytes,
                             double packet_rate, double seconds, bool segmentation = true) {
    camsim::Config c;
    c.dest_port = port;
    c.payload = camsim::PayloadKind::raw;
    c.data_size = block_bytes;
    c.packet_size = datagram_size + camsim::kIpUdpHeaderSize;
    c.packet_rate = packet_rate;
    c.duration_ms = static_cast<uint64_t>(seconds * 1000);
    c.listen = false;
    c.send_buffer_bytes = 8 << 20;
    c.segmentation = segmentation;
    return c;
}

// What one sending gave.
struct Outcome {
    bool ok = false;            // the run itself worked
    uint64_t sent_packets = 0;  // by the simulator
    uint64_t sent_frames = 0;
    uint64_t received = 0;    // packets (reference) or complete blocks (ours)
    uint64_t cpu_ns = 0;      // of the receiving threads
    uint64_t packets = 0;     // packets the receiving side read
    double copies = 0;        // payload bytes copied per payload byte (ours)
    uint64_t process_ns = 0;  // CPU of the whole process over the run
    double seconds = 0;
    bool loss_free() const { return ok && received > 0; }
};

// Our side: a stream whose firmware threads run on `cpu`, and the application's loop on the
// calling thread, which polls and queues every buffer again until the sending has ended and
// nothing more arrives.
Outcome receive_with_library(const camsim::Config &base, unsigned cpu) {
    Outcome out;
    Library library;
    if (!library.ok()) return out;
    camsim::Config config = base;
    config.dest_port = camsim::free_loopback_port();
    camsim::Simulator sim(config);
    if (!sim.config_error().empty()) return out;

    uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_t *stream = nullptr;
    hux_handle_t handle = HUX_INVALID_HANDLE;
    const std::set<pid_t> before = threads_of_process();
    if (qel_open_stream(&loopback, config.dest_port, &stream, 0, &handle) != 0) return out;
    std::vector<qel_buffer_t *> buffers;
    for (int i = 0; i < kBuffers; ++i) {
        qel_buffer_t *b = nullptr;
        if (qel_alloc(stream, sim.payload_size() + kBufferSlack, &b) != 0) continue;
        // Written once, as an application's buffers are after their first frames: the pages
        // are in memory before the firmware's first packet lands in them.
        std::memset(stream::buffer_data(b), 0, sim.payload_size() + kBufferSlack);
        if (qel_queue_buffer(b) == 0) buffers.push_back(b);
    }
    // The firmware starts once the stream's first buffer is queued (which binds its socket).
    std::vector<pid_t> firmware;
    for (pid_t tid : threads_of_process()) {
        if (!before.contains(tid)) {
            firmware.push_back(tid);
            pin_thread(tid, cpu);
        }
    }
    auto endpoint = adapter::attached_endpoint(handle);
    if (endpoint == nullptr || firmware.empty()) {
        qel_close_stream(stream);
        for (qel_buffer_t *b : buffers) qel_free(b);
        return out;
    }
    auto cpu_now = [&] {
        uint64_t sum = 0;
        for (pid_t tid : firmware) sum += thread_cpu_ns(tid);
        return sum;
    };
    const adapter::CounterSnapshot c0 = endpoint->firmware_counters().snapshot();
    const uint64_t cpu0 = cpu_now();
    const uint64_t process0 = process_cpu_ns();
    const auto start = std::chrono::steady_clock::now();
    if (sim.start().empty()) {
        out.ok = true;
        uint64_t complete = 0;
        // Polls until the sending is over and nothing has happened for 300 ms.
        auto quiet_since = std::chrono::steady_clock::now();
        for (;;) {
            qel_block_t b{};
            const int rc = qel_poll_recv(stream, &b, 100);
            const auto now = std::chrono::steady_clock::now();
            if (rc == 0) ++complete;
            if (b.buffer != nullptr && !b.buffer->queued) qel_queue_buffer(b.buffer);
            if (rc != QEL_EAGAIN && rc != QEL_ETIMEDOUT) {
                quiet_since = now;
            } else if (!sim.sending() && now - quiet_since > std::chrono::milliseconds(300)) {
                break;
            }
        }
        sim.stop();
        out.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const camsim::Counters sent = sim.counters();
        out.sent_packets = sent.packets_sent;
        out.sent_frames = sent.frames_sent;
        // Loss-free: every frame sent came out complete.
        out.received = complete == sent.frames_sent && sent.send_errors == 0 ? complete : 0;
    }
    out.cpu_ns = cpu_now() - cpu0;
    out.process_ns = process_cpu_ns() - process0;
    const adapter::CounterSnapshot c1 = endpoint->firmware_counters().snapshot();
    auto delta = [&](Counter c) { return double(c1[size_t(c)] - c0[size_t(c)]); };
    out.packets = static_cast<uint64_t>(delta(Counter::packets));
    const double moved = delta(Counter::bytes_copied) + delta(Counter::bytes_placed);
    out.copies = moved > 0 ? delta(Counter::bytes_copied) / moved : 0;
    endpoint.reset();
    qel_close_stream(stream);
    for (qel_buffer_t *b : buffers) qel_free(b);
    return out;
}

// Where the bare receivers put what they read.
enum class Landing {
    scratch,  // every batch over the same 64 x 64 KiB, which stay in cache
    placed,   // each payload at its place in kBuffers buffers of the library side's size
};

// The reference: one thread on `cpu` receives batches of 64 on a socket set up as the
// firmware's (non-blocking, the same receive buffer, bound to the stream's port) and lands
// them as `landing` says; it sleeps in poll when nothing waits, as the firmware does.
Outcome receive_bare(const camsim::Config &base, unsigned cpu, Landing landing) {
    Outcome out;
    camsim::Config config = base;
    config.dest_port = camsim::free_loopback_port();
    camsim::Simulator sim(config);
    if (!sim.config_error().empty()) return out;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int bytes = adapter::receive_buffer_bytes();
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port = htons(config.dest_port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        close(fd);
        return out;
    }

    constexpr unsigned kBatch = 64;
    std::atomic<bool> done{false};
    uint64_t packets = 0, cpu_ns = 0;
    // The placing receiver's buffers, written once as the library side's are. A packet's data
    // goes where the one before it ended; a block fills a buffer and the next block takes the
    // next buffer. Leaders and trailers (short packets) take a data packet's place too, which
    // costs nothing more than placing them apart would.
    const size_t buffer_bytes = base.data_size + kBufferSlack;
    std::vector<uint8_t> buffers;
    if (landing == Landing::placed) buffers.assign(size_t{kBuffers} * buffer_bytes, 0);
    const size_t header_bytes = config.extended_ids ? 20 : 8;
    const size_t data_bytes = config.packet_size - camsim::kIpUdpHeaderSize - header_bytes;
    std::thread receiver([&] {
        CpuPin pin(cpu);
        std::vector<uint8_t> scratch(size_t{kBatch} * 65536);
        std::array<std::array<iovec, 2>, kBatch> pieces{};
        std::array<mmsghdr, kBatch> headers{};
        // Where the data of the next packet goes: spot[i] for the i-th of a batch, spot[n]
        // for the first of the next batch once n were read.
        struct Spot {
            size_t buffer = 0, at = 0;
        };
        std::array<Spot, kBatch + 1> spot{};
        timespec t0{}, t1{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
        // Acquire pairs with the release store once the sending is over.
        for (;;) {
            for (unsigned i = 0; i < kBatch; ++i) {
                headers[i].msg_hdr = {};
                headers[i].msg_hdr.msg_iov = pieces[i].data();
                if (landing == Landing::scratch) {
                    pieces[i][0] = {scratch.data() + size_t{i} * 65536, 65536};
                    headers[i].msg_hdr.msg_iovlen = 1;
                    continue;
                }
                Spot next = spot[i];
                if (next.at + data_bytes > base.data_size) next = {(next.buffer + 1) % kBuffers, 0};
                pieces[i][0] = {scratch.data() + size_t{i} * 64, header_bytes};
                pieces[i][1] = {buffers.data() + next.buffer * buffer_bytes + next.at, data_bytes};
                headers[i].msg_hdr.msg_iovlen = 2;
                spot[i + 1] = {next.buffer, next.at + data_bytes};
            }
            const int n = recvmmsg(fd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
            if (n > 0) {
                packets += static_cast<uint64_t>(n);
                spot[0] = spot[static_cast<size_t>(n)];
                continue;
            }
            if (done.load(std::memory_order_acquire)) break;
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, 100);
        }
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
        cpu_ns = uint64_t(t1.tv_sec - t0.tv_sec) * 1'000'000'000u + uint64_t(t1.tv_nsec) -
                 uint64_t(t0.tv_nsec);
    });
    const auto start = std::chrono::steady_clock::now();
    const uint64_t process0 = process_cpu_ns();
    if (sim.start().empty()) {
        out.ok = true;
        sim.wait_sent(std::chrono::milliseconds(static_cast<int64_t>(config.duration_ms) + 30000));
        // What the kernel still holds is read before the loop ends.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    sim.stop();
    done.store(true, std::memory_order_release);
    receiver.join();
    out.process_ns = process_cpu_ns() - process0;
    close(fd);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const camsim::Counters sent = sim.counters();
    out.sent_packets = sent.packets_sent;
    out.sent_frames = sent.frames_sent;
    out.packets = packets;
    out.cpu_ns = cpu_ns;
    out.received = out.ok && packets == sent.packets_sent && sent.send_errors == 0 ? packets : 0;
    return out;
}

Outcome receive_into_scratch(const camsim::Config &base, unsigned cpu) {
    return receive_bare(base, cpu, Landing::scratch);
}
Outcome receive_into_place(const camsim::Config &base, unsigned cpu) {
    return receive_bare(base, cpu, Landing::placed);
}

// Our side with the firmware reading a packet socket's ring; not ok where none can be opened.
Outcome receive_with_ring(const camsim::Config &base, unsigned cpu) {
    setenv("QEL_ADAPTER_RECEIVE", "ring", 1);
    Outcome out = receive_with_library(base, cpu);
    unsetenv("QEL_ADAPTER_RECEIVE");
    return out;
}
// Our side on the UDP socket, whatever the default.
Outcome receive_with_socket(const camsim::Config &base, unsigned cpu) {
    setenv("QEL_ADAPTER_RECEIVE", "socket", 1);
    Outcome out = receive_with_library(base, cpu);
    unsetenv("QEL_ADAPTER_RECEIVE");
    return out;
}

using Receiver = Outcome (*)(const camsim::Config &, unsigned);

enum class IdleSide { poll, worker, sleeping_worker, bare };

// CPU milliseconds per second of an idle receiver, measured over one sending's length.
void idle_cost(benchmark::State &state, IdleSide side) {
    const auto seconds = std::chrono::duration<double>(seconds_per_sending());
    double ms_per_s = -1, firmware_ms_per_s = 0;
    for (auto _ : state) {
        Library library;
        uint32_t loopback = inet_addr("127.0.0.1");
        const uint16_t port = camsim::free_loopback_port();
        qel_stream_t *stream = nullptr;
        std::vector<qel_buffer_t *> buffers;
        int bare = -1;
        std::vector<pid_t> firmware;
        if (side == IdleSide::bare) {
            bare = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_addr.s_addr = loopback;
            where.sin_port = htons(port);
            if (bind(bare, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) break;
        } else {
            qel_stream_options_t options{};
            const std::set<pid_t> before = threads_of_process();
            if (!library.ok() ||
                qel_open_stream_pr(&loopback, port, &stream, &options, nullptr) != 0) {
                break;
            }
            for (int i = 0; i < kBuffers; ++i) {
                qel_buffer_t *b = nullptr;
                if (qel_alloc(stream, 1 << 20, &b) == 0 && qel_queue_buffer(b) == 0) {
                    buffers.push_back(b);
                }
            }
            for (pid_t tid : threads_of_process()) {
                if (!before.contains(tid)) firmware.push_back(tid);
            }
            const uint32_t how = side == IdleSide::sleeping_worker ? QEL_RECV_WORKER_SLEEP : 0;
            if (side != IdleSide::poll && (qel_create_recv_worker(stream, how, nullptr) != 0 ||
                                           qel_start_recv_worker(stream) != 0)) {
                break;
            }
        }
        auto firmware_cpu = [&] {
            uint64_t sum = 0;
            for (pid_t tid : firmware) sum += thread_cpu_ns(tid);
            return sum;
        };
        const uint64_t firmware0 = firmware_cpu();
        const uint64_t cpu0 = process_cpu_ns();
        const auto start = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - start < seconds) {
            if (side == IdleSide::bare) {
                pollfd wait{bare, POLLIN, 0};
                poll(&wait, 1, 100);
                continue;
            }
            qel_block_t block{};
            const int rc = qel_poll_recv(stream, &block, side == IdleSide::worker ? 0 : 100);
            if (side == IdleSide::worker && rc == QEL_EAGAIN) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ms_per_s = double(process_cpu_ns() - cpu0) / 1e6 / wall;
        firmware_ms_per_s = double(firmware_cpu() - firmware0) / 1e6 / wall;
        if (bare >= 0) close(bare);
        if (stream != nullptr) qel_close_stream(stream);
        for (qel_buffer_t *b : buffers) qel_free(b);
    }
    if (ms_per_s < 0) {
        state.SkipWithError("the idle stream could not be set up");
        return;
    }
    state.counters["value"] = ms_per_s;
    state.counters["firmware_ms_per_s"] = firmware_ms_per_s;
}

// Packets per second the sender keeps up for each size.
double fixed_rate(uint32_t packet_size) {
    return packet_size <= 1400 ? 100'000 : 50'000;
}

void firmware_cpu(benchmark::State &state, Receiver receive, uint32_t packet_size) {
    CpuPin pin(bench_cpu(0));  // the simulator's and the application's threads
    Outcome o;
    for (auto _ : state) {
        o = receive(
            stream_config(0, packet_size, 1 << 20, fixed_rate(packet_size), seconds_per_sending()),
            bench_cpu(1));
    }
    if (!o.ok || o.packets == 0 || o.cpu_ns == 0) {
        state.SkipWithError("the stream could not be received");
        return;
    }
    state.counters["value"] = double(o.cpu_ns) / double(o.packets);
    state.counters["packets"] = double(o.packets);
    state.counters["sent"] = double(o.sent_packets);
    state.counters["total"] = double(o.process_ns) / double(o.packets);
    if (receive != receive_into_scratch && receive != receive_into_place) {
        state.counters["copies"] = o.copies;
    }
}

constexpr uint64_t kEndToEndBlock = 4 << 20;

// The highest loss-free rate: first as fast as the simulator sends (which bounds every
// answer), then halving the gap between the best loss-free and the lowest lossy packet rate.

void end_to_end(benchmark::State &state, Receiver receive, uint32_t packet_size) {
    CpuPin pin(bench_cpu(0));
    constexpr uint64_t kBlock = kEndToEndBlock;
    const double seconds = std::min(seconds_per_sending(), 1.0);
    double best = 0, packets_per_frame = 1;
    bool sender_bound = false;
    for (auto _ : state) {
        const Outcome full =
            receive(stream_config(0, packet_size, kBlock, 0, seconds), bench_cpu(1));
        if (!full.ok || full.sent_frames == 0) break;
        packets_per_frame = double(full.sent_packets) / double(full.sent_frames);
        const double top = double(full.sent_packets) / seconds;
        if (full.loss_free()) {
            best = top;
            sender_bound = true;
            continue;
        }
        double low = 0, high = top;
        for (int step = 0; step < search_steps(); ++step) {
            const double rate = (low + high) / 2;
            const Outcome o =
                receive(stream_config(0, packet_size, kBlock, rate, seconds), bench_cpu(1));
            if (o.loss_free()) {
                low = rate;
            } else {
                high = rate;
            }
        }
        best = low;
    }
    if (best <= 0) {
        state.SkipWithError("no loss-free rate found");
        return;
    }
    state.counters["value"] = best / packets_per_frame;
    state.counters["packets_per_second"] = best;
    state.counters["sender_bound"] = sender_bound ? 1 : 0;
}

// Frames per second the simulator sends unpaced to the bare loop, received or not.
void sender_ceiling(benchmark::State &state, uint32_t packet_size, bool segmentation) {
    CpuPin pin(bench_cpu(0));
    const double seconds = std::min(seconds_per_sending(), 1.0);
    Outcome o;
    for (auto _ : state) {
        o = receive_into_scratch(
            stream_config(0, packet_size, kEndToEndBlock, 0, seconds, segmentation), bench_cpu(1));
    }
    if (!o.ok || o.sent_frames == 0) {
        state.SkipWithError("the simulator could not send");
        return;
    }
    state.counters["value"] = double(o.sent_frames) / seconds;
    state.counters["received_share"] =
        o.sent_packets != 0 ? double(o.packets) / double(o.sent_packets) : 0;
}

void register_benchmarks() {
    for (uint32_t size : {1400u, 8192u}) {
        const std::string name = "fw_cpu_" + std::to_string(size);
        benchmark::RegisterBenchmark((name + "/ours").c_str(), firmware_cpu, receive_with_library,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((name + "/ref").c_str(), firmware_cpu, receive_into_scratch,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        const std::string placed = "fw_place_" + std::to_string(size);
        benchmark::RegisterBenchmark((placed + "/ours").c_str(), firmware_cpu, receive_with_socket,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((placed + "/ref").c_str(), firmware_cpu, receive_into_place,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        const std::string ring = "fw_ring_" + std::to_string(size);
        benchmark::RegisterBenchmark((ring + "/ours").c_str(), firmware_cpu, receive_with_ring,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((ring + "/ref").c_str(), firmware_cpu, receive_into_place,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
    }
    benchmark::RegisterBenchmark("idle_poll/ours", idle_cost, IdleSide::poll)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("idle_poll/ref", idle_cost, IdleSide::bare)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("idle_worker/ours", idle_cost, IdleSide::worker)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("idle_worker/ref", idle_cost, IdleSide::bare)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("idle_worker_sleeping/ours", idle_cost, IdleSide::sleeping_worker)
        ->Iterations(1)
        ->UseRealTime();
    benchmark::RegisterBenchmark("idle_worker_sleeping/ref", idle_cost, IdleSide::bare)
        ->Iterations(1)
        ->UseRealTime();
    for (uint32_t size : {1400u, 8192u}) {
        const std::string e2e = "e2e_" + std::to_string(size);
        benchmark::RegisterBenchmark((e2e + "/ours").c_str(), end_to_end, receive_with_library,
                                     size)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((e2e + "/ref").c_str(), end_to_end, receive_into_scratch, size)
            ->Iterations(1)
            ->UseRealTime();
        const std::string sender = "sender_" + std::to_string(size);
        benchmark::RegisterBenchmark((sender + "/ours").c_str(), sender_ceiling, size, true)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((sender + "/ref").c_str(), sender_ceiling, size, false)
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
