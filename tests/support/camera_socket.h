// A UDP socket on loopback standing for the camera: it receives what the library sends it
// (resend requests).
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace qel::test {

class Camera {
public:
    Camera() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
        port_ = ntohs(a.sin_port);
    }
    ~Camera() { ::close(fd_); }
    Camera(const Camera &) = delete;
    Camera &operator=(const Camera &) = delete;
    uint16_t port() const { return port_; }
    // The datagrams that arrive, waiting at most `ms` for each.
    std::vector<std::vector<uint8_t>> receive_all(int ms = 200) {
        std::vector<std::vector<uint8_t>> got;
        pollfd p{fd_, POLLIN, 0};
        while (::poll(&p, 1, ms) == 1) {
            std::vector<uint8_t> d(256);
            const ssize_t n = ::recv(fd_, d.data(), d.size(), 0);
            if (n < 0) break;
            d.resize(static_cast<size_t>(n));
            got.push_back(d);
        }
        return got;
    }

private:
    int fd_;
    uint16_t port_;
};

}  // namespace qel::test
