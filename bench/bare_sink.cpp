// bench_sink: the bare receiver that qel's stream figures are compared with. It binds a UDP port
// on loopback with the receive buffer the software firmware asks for, reads batches of 64 with
// recvmmsg into 64 KiB pieces that stay in cache, and counts. It ends once something came and
// then nothing for --quiet-ms, or on SIGINT or SIGTERM, and prints "packets N", "bytes N" and
// "cpu_ns N" (its own CPU time), one per line.
//
//   bench_sink --port N [--address A] [--quiet-ms MS] [--ready FILE]
//
// --ready names a file written once the port is bound, for scripts that start a sender then.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/driver/settings.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) {
    g_stop.store(true, std::memory_order_relaxed);
}

uint64_t now_ns(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return uint64_t(t.tv_sec) * 1'000'000'000u + uint64_t(t.tv_nsec);
}

int usage() {
    std::fprintf(stderr,
                 "usage: bench_sink --port N [--address A] [--quiet-ms MS] [--ready FILE]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string address = "127.0.0.1";
    std::string ready;
    long port = 0;
    long quiet_ms = 500;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--port") {
            port = std::strtol(value, nullptr, 10);
        } else if (name == "--address") {
            address = value;
        } else if (name == "--quiet-ms") {
            quiet_ms = std::strtol(value, nullptr, 10);
        } else if (name == "--ready") {
            ready = value;
        } else {
            return usage();
        }
    }
    if (argc % 2 == 0 || port <= 0 || port > 65535 || quiet_ms <= 0) return usage();

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int bytes = qel::adapter::receive_buffer_bytes();
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&where), sizeof where) != 0) {
        std::perror("bench_sink: bind");
        return 1;
    }
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    if (!ready.empty()) {
        if (FILE *f = std::fopen(ready.c_str(), "w")) std::fclose(f);
    }

    constexpr unsigned kBatch = 64;
    constexpr size_t kPiece = 65536;
    std::vector<uint8_t> scratch(size_t{kBatch} * kPiece);
    std::array<iovec, kBatch> pieces{};
    std::array<mmsghdr, kBatch> headers{};
    uint64_t packets = 0, received_bytes = 0;
    const uint64_t cpu0 = now_ns(CLOCK_PROCESS_CPUTIME_ID);
    uint64_t last = 0;
    while (!g_stop.load(std::memory_order_relaxed)) {
        for (unsigned i = 0; i < kBatch; ++i) {
            pieces[i] = {scratch.data() + size_t{i} * kPiece, kPiece};
            headers[i].msg_hdr = {};
            headers[i].msg_hdr.msg_iov = &pieces[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
        const int n = recvmmsg(fd, headers.data(), kBatch, MSG_DONTWAIT, nullptr);
        if (n > 0) {
            packets += static_cast<uint64_t>(n);
            for (int i = 0; i < n; ++i) received_bytes += headers[i].msg_len;
            last = now_ns(CLOCK_MONOTONIC);
            continue;
        }
        if (last != 0 && now_ns(CLOCK_MONOTONIC) - last > uint64_t(quiet_ms) * 1'000'000u) break;
        pollfd wait{fd, POLLIN, 0};
        poll(&wait, 1, 50);
    }
    std::printf("packets %llu\nbytes %llu\ncpu_ns %llu\n", static_cast<unsigned long long>(packets),
                static_cast<unsigned long long>(received_bytes),
                static_cast<unsigned long long>(now_ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0));
    close(fd);
    return 0;
}
