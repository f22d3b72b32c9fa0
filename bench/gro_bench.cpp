// The kernel's share of a socket receiver's cost, on loopback, for a sender that segments
// (UDP_SEGMENT: one send of up to 64 KiB becomes datagrams of one size):
//
//   gro_<size>/ours   a receiver with UDP_GRO on its socket: the kernel hands over the
//                     segmenting sender's sends whole, and the receiver copies each
//                     datagram's payload (after an 8-byte header, as GVSP's) into its place
//                     in 16 buffers of 1 MiB.
//   gro_<size>/ref    the same sender, a receiver without it: recvmmsg batches of 64 whose
//                     payloads land at their place (the placing floor of the firmware's
//                     benchmark).
//   batch_<n>/ours    the placing receiver with batches of n (8, 16, 256) against /ref, 64,
//                     1400-byte datagrams sent one by one.
//
// value: CPU ns per datagram of the receiving thread; total: of the whole process (on
// loopback the kernel's receive work is charged to the sending thread). The sender sends a
// fixed number of datagrams as fast as the receiver keeps up (it waits while 16 MiB are
// unread: loopback drops what does not fit in the socket's buffer), so no datagram is lost
// and both sides see the same work.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_common.h"

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif
#ifndef UDP_GRO
#define UDP_GRO 104
#endif

namespace qel::bench {
namespace {

constexpr size_t kHeader = 8;
constexpr size_t kBufferBytes = 1 << 20;
constexpr int kBuffers = 16;
// Datagrams per measurement: QEL_BENCH_DATAGRAMS, default 200,000.
uint64_t datagrams_per_run() {
    const char *text = std::getenv("QEL_BENCH_DATAGRAMS");
    const long long n = text != nullptr ? std::atoll(text) : 0;
    return n > 0 ? static_cast<uint64_t>(n) : 200'000;
}
const uint64_t kDatagrams = datagrams_per_run();
constexpr size_t kUnreadBytes = 16 << 20;

uint64_t cpu_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000u + uint64_t(t.tv_nsec);
}

struct Result {
    uint64_t datagrams = 0;
    uint64_t receiver_ns = 0;
    uint64_t process_ns = 0;
};

// Sends kDatagrams datagrams of `size` bytes to `port`, `segments` per send (UDP_SEGMENT
// when more than one), waiting while kUnreadBytes are not yet `received`.
void send_all(uint16_t port, size_t size, unsigned segments, std::atomic<bool> &stop,
              std::atomic<uint64_t> &received) {
    // Also below loopback's backlog of 1000 packets, which drops the rest.
    const uint64_t window = std::min<uint64_t>(kUnreadBytes / size, 512);
    CpuPin pin(bench_cpu(0));
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    if (segments > 1) {
        const int gso = static_cast<int>(size);
        setsockopt(fd, IPPROTO_UDP, UDP_SEGMENT, &gso, sizeof gso);
    }
    std::vector<uint8_t> data(size * segments, 0x5A);
    for (uint64_t sent = 0; sent < kDatagrams && !stop.load(std::memory_order_relaxed);) {
        const unsigned n = static_cast<unsigned>(std::min<uint64_t>(segments, kDatagrams - sent));
        if (sent + n - received.load(std::memory_order_relaxed) > window) {
            const timespec pause{0, 20'000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (send(fd, data.data(), size * n, 0) > 0) sent += n;
    }
    close(fd);
}

// Receives until kDatagrams arrived; gro: UDP_GRO on, whole sends copied out datagram by
// datagram; else recvmmsg batches of `batch` placed straight into the buffers.
Result receive_all(size_t size, unsigned segments, bool gro, unsigned batch) {
    Result r;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int bytes = 64 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
    const int one = 1;
    if (gro) setsockopt(fd, IPPROTO_UDP, UDP_GRO, &one, sizeof one);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where);
    getsockname(fd, reinterpret_cast<sockaddr *>(&where), &length);
    std::vector<uint8_t> buffers(size_t{kBuffers} * kBufferBytes, 0);
    const size_t data = size - kHeader;
    size_t buffer = 0, at = 0;
    auto next_place = [&] {
        if (at + data > kBufferBytes) buffer = (buffer + 1) % kBuffers, at = 0;
        uint8_t *place = buffers.data() + buffer * kBufferBytes + at;
        at += data;
        return place;
    };
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> received{0};
    const uint64_t process0 = cpu_ns(CLOCK_PROCESS_CPUTIME_ID);
    std::thread sender(send_all, ntohs(where.sin_port), size, segments, std::ref(stop),
                       std::ref(received));
    {
        CpuPin pin(bench_cpu(1));
        const uint64_t t0 = cpu_ns(CLOCK_THREAD_CPUTIME_ID);
        std::vector<uint8_t> scratch(size_t{batch} * 65536);
        std::vector<mmsghdr> headers(batch);
        std::vector<std::array<iovec, 2>> pieces(batch);
        while (r.datagrams < kDatagrams) {
            int n = 0;
            if (gro) {
                // A whole send: its datagrams follow one another, `size` bytes each.
                const ssize_t got = recv(fd, scratch.data(), 65536, 0);
                if (got > 0) {
                    for (ssize_t off = 0; off < got; off += static_cast<ssize_t>(size)) {
                        const size_t one_size =
                            std::min<size_t>(size, static_cast<size_t>(got - off));
                        if (one_size > kHeader) {
                            std::memcpy(next_place(), scratch.data() + off + kHeader,
                                        one_size - kHeader);
                        }
                        ++r.datagrams;
                    }
                    received.store(r.datagrams, std::memory_order_relaxed);
                    continue;
                }
            } else {
                for (unsigned i = 0; i < batch; ++i) {
                    pieces[i][0] = {scratch.data() + size_t{i} * 64, kHeader};
                    pieces[i][1] = {next_place(), data};
                    headers[i].msg_hdr = {};
                    headers[i].msg_hdr.msg_iov = pieces[i].data();
                    headers[i].msg_hdr.msg_iovlen = 2;
                }
                n = recvmmsg(fd, headers.data(), batch, MSG_DONTWAIT, nullptr);
                // Places not used this time are used by the next batch.
                const unsigned unused = batch - static_cast<unsigned>(std::max(n, 0));
                for (unsigned i = 0; i < unused; ++i) {
                    at = at >= data ? at - data : 0;
                }
                if (n > 0) {
                    r.datagrams += static_cast<uint64_t>(n);
                    received.store(r.datagrams, std::memory_order_relaxed);
                    continue;
                }
            }
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 5000) == 0) break;  // the sender has stopped: datagrams lost
        }
        r.receiver_ns = cpu_ns(CLOCK_THREAD_CPUTIME_ID) - t0;
    }
    stop.store(true, std::memory_order_relaxed);
    sender.join();
    r.process_ns = cpu_ns(CLOCK_PROCESS_CPUTIME_ID) - process0;
    close(fd);
    return r;
}

void kernel_cost(benchmark::State &state, size_t size, unsigned segments, bool gro,
                 unsigned batch) {
    Result r;
    for (auto _ : state) r = receive_all(size, segments, gro, batch);
    if (r.datagrams != kDatagrams) {
        state.SkipWithError("datagrams were lost");
        return;
    }
    state.counters["value"] = double(r.receiver_ns) / double(r.datagrams);
    state.counters["total"] = double(r.process_ns) / double(r.datagrams);
}

void register_benchmarks() {
    for (size_t size : {1400u, 8192u}) {
        // As many datagrams per send as fit in 64 KiB.
        const unsigned segments = static_cast<unsigned>(65000 / (size + 8));
        const std::string name = "gro_" + std::to_string(size);
        benchmark::RegisterBenchmark((name + "/ours").c_str(), kernel_cost, size, segments, true,
                                     64u)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((name + "/ref").c_str(), kernel_cost, size, segments, false,
                                     64u)
            ->Iterations(1)
            ->UseRealTime();
    }
    for (unsigned batch : {8u, 16u, 256u}) {
        const std::string name = "batch_" + std::to_string(batch);
        benchmark::RegisterBenchmark((name + "/ours").c_str(), kernel_cost, size_t{1400}, 1u, false,
                                     batch)
            ->Iterations(1)
            ->UseRealTime();
        benchmark::RegisterBenchmark((name + "/ref").c_str(), kernel_cost, size_t{1400}, 1u, false,
                                     64u)
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
