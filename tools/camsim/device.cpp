#include "camsim/device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "camsim/resend_command.h"
#include "camsim/stop_signal.h"
#include "camsim/udp.h"
#include "core/byte_order.h"

namespace qel::camsim {

namespace {

// The largest GVCP command is 548 bytes; anything longer is not one.
constexpr size_t kMaxCommandBytes = 1024;

sockaddr_in ipv4(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// The local address that packets to `peer` leave from (0 when there is no route).
uint32_t local_address_towards(const Peer &peer) {
    const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = ipv4(peer.address, peer.port == 0 ? 9 : peer.port);
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!fd.valid() || connect(fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        return 0;
    }
    return ntohl(local.sin_addr.s_addr);
}

// A socket for the broadcasts on `port`, shared with other devices on this host (each hears
// every broadcast). Best effort: without it a device is still found by its address.
Fd open_discovery_socket(uint16_t port) {
    Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int on = 1;
    const sockaddr_in address = ipv4(INADDR_BROADCAST, port);
    if (!fd.valid() || setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        return {};
    }
    return fd;
}

// Runs one simulator per acquisition, with the settings the client made.
class SimulatedStream final : public StreamControl {
public:
    std::string start(const Config &config) override {
        auto sim = std::make_unique<Simulator>(config);
        if (std::string error = sim->start(); !error.empty()) return error;
        std::lock_guard lock(mutex_);
        last_ = std::move(sim);
        running_ = true;
        return {};
    }
    void stop() override {
        std::lock_guard lock(mutex_);
        if (last_) last_->stop();
        running_ = false;
    }
    void resend(std::span<const uint8_t> datagram) override {
        // Only the device thread starts, stops and relays: the simulator is not swapped here.
        if (running_) last_->serve_command(datagram);
    }
    void send_test_packet(const Config &config, uint32_t udp_bytes) override {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(config.dest_port);
        if (config.dest_port == 0 ||
            inet_pton(AF_INET, config.dest_address.c_str(), &to.sin_addr) != 1) {
            return;
        }
        const Fd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        const std::vector<uint8_t> packet(udp_bytes, 0);
        if (fd.valid()) {
            sendto(fd.get(), packet.data(), packet.size(), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof to);
        }
    }
    [[nodiscard]] Counters counters() const {
        std::lock_guard lock(mutex_);
        return last_ ? last_->counters() : Counters{};
    }

private:
    mutable std::mutex mutex_;  // guards last_ against counters() from other threads
    std::unique_ptr<Simulator> last_;
    bool running_ = false;
};

}  // namespace

struct Device::Impl {
    Impl(Config c, DeviceIdentity id) : config(std::move(c)), identity(std::move(id)) {}

    void serve();
    // Handles every datagram waiting on `fd`.
    void drain(int fd, bool discovery_only);

    const Config config;
    const DeviceIdentity identity;
    SimulatedStream stream;
    std::optional<GvcpDevice> gvcp;
    StopSignal stop;
    Fd control_fd;
    // A device bound to one address hears broadcast discovery on this socket, bound to the
    // broadcast address and the same port.
    Fd discovery_fd;
    std::array<uint8_t, kMaxCommandBytes> buffer{};
    uint16_t control_port = 0;
    uint32_t bound_address = 0;
    bool started = false;
    std::thread thread;
    std::atomic<bool> acquiring{false};
};

void Device::Impl::serve() {
    pollfd fds[3] = {
        {stop.fd(), POLLIN, 0}, {control_fd.get(), POLLIN, 0}, {discovery_fd.get(), POLLIN, 0}};
    const nfds_t count = discovery_fd.valid() ? 3 : 2;
    while (!stop.requested()) {
        // Wake when the controller's heartbeat lapses, to end a stream nobody controls.
        int timeout_ms = -1;
        if (const auto deadline = gvcp->heartbeat_deadline()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - DeviceClock::now());
            timeout_ms = static_cast<int>(std::max<int64_t>(left.count(), 0) + 1);
        }
        const int ready = poll(fds, count, timeout_ms);
        if (ready < 0 && errno != EINTR) break;
        if (fds[0].revents != 0) break;
        gvcp->expire(DeviceClock::now());
        acquiring.store(gvcp->acquiring());
        if (ready <= 0) continue;
        if (fds[1].revents != 0) drain(control_fd.get(), false);
        if (count == 3 && fds[2].revents != 0) drain(discovery_fd.get(), true);
    }
    // Ending the service ends the stream with it.
    stream.stop();
    acquiring.store(false);
}

void Device::Impl::drain(int fd, bool discovery_only) {
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr *>(&from), &length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // drained, or a pending socket error cleared by reading it
        }
        const std::span<const uint8_t> datagram{buffer.data(), static_cast<size_t>(n)};
        if (datagram.size() > buffer.size() || length != sizeof from) continue;
        if (discovery_only && (datagram.size() < kGvcpHeaderSize ||
                               load_be16(datagram.data() + 2) != kDiscoveryCommand)) {
            continue;
        }
        const Peer peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        if (bound_address == 0) gvcp->set_current_address(local_address_towards(peer));
        const std::vector<uint8_t> ack = gvcp->handle(datagram, peer, DeviceClock::now());
        acquiring.store(gvcp->acquiring());
        // Answers leave from the control port, whichever socket the command came in on.
        if (!ack.empty()) {
            sendto(control_fd.get(), ack.data(), ack.size(), 0,
                   reinterpret_cast<const sockaddr *>(&from), sizeof from);
        }
    }
}

Device::Device(Config config, DeviceIdentity identity)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(identity))) {}

Device::~Device() {
    stop();
}

std::string Device::start() {
    Impl &s = *impl_;
    if (s.started) return "the device was already started";
    if (std::string error = validate(s.config); !error.empty()) return error;
    if (!s.stop.valid()) return "cannot create the stop event";
    Config control = s.config;
    control.listen = true;
    if (std::string e = open_control_socket(control, &s.control_fd); !e.empty()) return e;
    s.control_port = local_port(s.control_fd.get());
    in_addr bound{};
    inet_pton(AF_INET, s.config.control_address.c_str(), &bound);
    s.bound_address = ntohl(bound.s_addr);
    if (s.bound_address != 0) s.discovery_fd = open_discovery_socket(s.control_port);
    s.gvcp.emplace(s.config, s.identity, s.bound_address, s.stream);
    s.started = true;
    try {
        s.thread = std::thread([&s] { s.serve(); });
    } catch (const std::system_error &e) {
        s.control_fd.reset();
        return std::string("cannot start a thread: ") + e.what();
    }
    return {};
}

void Device::stop() {
    Impl &s = *impl_;
    if (!s.started) return;
    s.stop.request();
    if (s.thread.joinable()) s.thread.join();
    s.control_fd.reset();
    s.discovery_fd.reset();
}

uint16_t Device::control_port() const {
    return impl_->control_port;
}

bool Device::acquiring() const {
    return impl_->acquiring.load();
}

Counters Device::counters() const {
    return impl_->stream.counters();
}

}  // namespace qel::camsim
