#include "test_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qel::test {

namespace {

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

sockaddr_in loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

TestCamera::TestCamera(uint16_t stream_port) : stream_port_(stream_port) {
    stream_socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    control_socket_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (stream_socket_ < 0 || control_socket_ < 0) throw std::runtime_error("socket failed");
    sockaddr_in here = loopback(0);
    if (bind(control_socket_, reinterpret_cast<sockaddr *>(&here), sizeof here) != 0) {
        throw std::runtime_error("bind failed");
    }
    socklen_t size = sizeof here;
    getsockname(control_socket_, reinterpret_cast<sockaddr *>(&here), &size);
    control_port_ = ntohs(here.sin_port);
    thread_ = std::thread([this] { serve(); });
}

TestCamera::~TestCamera() {
    stopping_.store(true, std::memory_order_release);  // pairs with the acquire in serve()
    thread_.join();
    close(stream_socket_);
    close(control_socket_);
}

void TestCamera::send(const Bytes &datagram) const {
    const sockaddr_in to = loopback(stream_port_);
    sendto(stream_socket_, datagram.data(), datagram.size(), 0,
           reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

void TestCamera::send_block(const Block &block, Ids ids, std::vector<uint32_t> skipped) {
    {
        std::lock_guard lock(mutex_);
        kept_[block.block_id] = {block, ids};
    }
    for (uint32_t i = 0; i < block.packets.size(); ++i) {
        bool skip = false;
        for (uint32_t s : skipped) skip = skip || s == i;
        if (!skip) send(block.packets[i]);
    }
}

std::vector<TestCamera::Request> TestCamera::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void TestCamera::serve() {
    while (!stopping_.load(std::memory_order_acquire)) {
        pollfd wait{control_socket_, POLLIN, 0};
        if (poll(&wait, 1, 10) <= 0) continue;
        uint8_t m[64];
        const ssize_t n = recv(control_socket_, m, sizeof m, 0);
        if (n < 28 || m[0] != 0x42 || be16(m + 2) != 0x0040) continue;
        Request r;
        r.extended = (m[1] & 0x10) != 0;
        r.request_id = be16(m + 6);
        r.first = be32(m + 12);
        r.last = be32(m + 16);
        if (r.extended) {
            r.block_id = uint64_t{be32(m + 20)} << 32 | be32(m + 24);
        } else {
            r.block_id = be16(m + 10);
            r.first &= 0xFFFFFF;
            r.last &= 0xFFFFFF;
        }
        std::vector<Bytes> answer;
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(r);
            auto it = kept_.find(r.block_id);
            if (it == kept_.end()) continue;
            const auto &[block, ids] = it->second;
            for (uint64_t id = r.first; id <= r.last && id < block.packets.size(); ++id) {
                answer.push_back(as_resent(block.packets[id], ids));
            }
        }
        for (const Bytes &p : answer) send(p);
    }
}

}  // namespace qel::test
