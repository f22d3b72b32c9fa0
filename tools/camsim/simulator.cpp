// The simulator as a whole: prepares the layout and the payload generator from the
// configuration, opens the sockets and runs the sender and the resend listener threads.
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "camsim/block_ids.h"
#include "camsim/camsim.h"
#include "camsim/counters.h"
#include "camsim/frames.h"
#include "camsim/gvsp_writer.h"
#include "camsim/history.h"
#include "camsim/packet_source.h"
#include "camsim/resend_listener.h"
#include "camsim/sender.h"
#include "camsim/stop_signal.h"
#include "camsim/udp.h"

namespace qel::camsim {

namespace {

std::string read_file(const std::string &path, std::vector<uint8_t> *content) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return "cannot open file '" + path + "'";
    const std::streamoff size = in.tellg();
    if (size < 0) return "cannot read file '" + path + "'";
    if (static_cast<uint64_t>(size) > kMaxPayloadBytes) {
        return "file '" + path + "' is larger than " + std::to_string(kMaxPayloadBytes) + " bytes";
    }
    content->resize(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char *>(content->data()), size)) {
        return "cannot read file '" + path + "'";
    }
    return {};
}

}  // namespace

Counters SharedCounters::snapshot() const {
    constexpr auto r = std::memory_order_relaxed;
    Counters c;
    c.frames_sent = sender.frames.load(r);
    c.packets_sent = sender.packets.load(r);
    c.bytes_sent = sender.bytes.load(r);
    c.packets_withheld = sender.withheld.load(r);
    c.packets_duplicated = sender.duplicated.load(r);
    c.packets_reordered = sender.reordered.load(r);
    c.resend_requests = resend.requests.load(r);
    c.packets_resent = resend.packets.load(r);
    c.bytes_resent = resend.bytes.load(r);
    c.error_packets = resend.error_packets.load(r);
    c.requests_ignored = resend.ignored.load(r);
    c.requests_malformed = resend.malformed.load(r);
    c.send_errors = send_errors.load(r);
    return c;
}

struct Simulator::Impl {
    explicit Impl(Config c) : config(std::move(c)) {
        prepare_error = validate(config);
        if (!prepare_error.empty()) return;
        auto content = std::make_shared<std::vector<uint8_t>>();
        if (config.payload == PayloadKind::file && !config.file_path.empty()) {
            prepare_error = read_file(config.file_path, content.get());
            if (!prepare_error.empty()) return;
        }
        generator.emplace(config, std::move(content));
        prepare_error = make_layout(config, generator->payload_size(), &layout);
        if (!prepare_error.empty()) return;
        source.emplace(config, layout, *generator);
        history = std::make_unique<FrameHistory>(config.history_frames);
    }

    [[nodiscard]] bool ready() const { return prepare_error.empty(); }

    void finish_sending(std::string error) {
        std::lock_guard lock(mutex);
        send_error = std::move(error);
        done = true;
        done_changed.notify_all();
    }

    const Config config;
    std::string prepare_error;
    std::optional<PayloadGenerator> generator;
    StreamLayout layout;
    std::optional<PacketSource> source;

    SharedCounters counters;
    StopSignal stop;
    std::unique_ptr<FrameHistory> history;
    Fd stream_fd;
    Fd control_fd;
    uint16_t control_port = 0;
    uint16_t source_port = 0;
    bool started = false;
    std::thread sender_thread;
    std::thread listener_thread;
    std::optional<ResendListener> relay;  // serves the commands another part reads

    std::mutex mutex;  // guards started (for sending()), done and send_error
    std::condition_variable done_changed;
    bool done = false;
    std::string send_error;
};

Simulator::Simulator(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

Simulator::~Simulator() {
    stop();
}

std::string Simulator::start() {
    Impl &s = *impl_;
    if (!s.ready()) return s.prepare_error;
    if (s.started) return "the simulator was already started";
    if (!s.stop.valid()) return "cannot create the stop event";
    if (std::string e = open_stream_socket(s.config, &s.stream_fd); !e.empty()) return e;
    if (s.config.listen) {
        if (std::string e = open_control_socket(s.config, &s.control_fd); !e.empty()) {
            s.stream_fd.reset();
            return e;
        }
        s.control_port = local_port(s.control_fd.get());
    } else {
        s.relay.emplace(s.config, *s.source, *s.history, s.counters, s.stop);
    }
    s.source_port = local_port(s.stream_fd.get());
    {
        std::lock_guard lock(s.mutex);
        s.started = true;
    }
    try {
        s.sender_thread = std::thread([&s] {
            Sender sender(s.config, *s.source, *s.history, s.counters, s.stop);
            s.finish_sending(sender.run(s.stream_fd.get()));
        });
        if (s.config.listen) {
            s.listener_thread = std::thread([&s] {
                ResendListener listener(s.config, *s.source, *s.history, s.counters, s.stop);
                listener.run(s.control_fd.get(), s.stream_fd.get());
            });
        }
    } catch (const std::system_error &e) {
        stop();
        return std::string("cannot start a thread: ") + e.what();
    }
    return {};
}

void Simulator::stop() {
    Impl &s = *impl_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.started) return;
    }
    s.stop.request();
    if (s.sender_thread.joinable()) s.sender_thread.join();
    if (s.listener_thread.joinable()) s.listener_thread.join();
    // Nothing uses the sockets once both threads are done: their ports are free again, so a
    // later simulator can stand for the same camera.
    s.stream_fd.reset();
    s.control_fd.reset();
}

bool Simulator::wait_sent(std::chrono::milliseconds timeout) {
    Impl &s = *impl_;
    std::unique_lock lock(s.mutex);
    return s.done_changed.wait_for(lock, timeout, [&s] { return s.done; });
}

bool Simulator::sending() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->started && !impl_->done;
}

std::string Simulator::send_error() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->send_error;
}

std::string Simulator::config_error() const {
    return impl_->prepare_error;
}

void Simulator::serve_command(std::span<const uint8_t> datagram) {
    Impl &s = *impl_;
    if (s.relay && s.stream_fd.valid()) s.relay->handle(datagram, s.stream_fd.get());
}

Counters Simulator::counters() const {
    return impl_->counters.snapshot();
}
const Config &Simulator::config() const {
    return impl_->config;
}
uint16_t Simulator::control_port() const {
    return impl_->control_port;
}
uint16_t Simulator::source_port() const {
    return impl_->source_port;
}
uint64_t Simulator::payload_size() const {
    return impl_->layout.payload_size;
}
uint32_t Simulator::trailer_packet_id() const {
    return impl_->layout.trailer_packet_id;
}
uint32_t Simulator::payload_bytes_per_packet() const {
    return impl_->layout.data_per_packet;
}

uint64_t Simulator::block_id_for_frame(uint64_t frame) const {
    return camsim::block_id_for_frame(impl_->config, frame);
}

std::optional<uint64_t> Simulator::frame_of_block(uint64_t block_id) const {
    const uint64_t started = impl_->history ? impl_->history->frames_started() : 0;
    return latest_frame_of_block(impl_->config.first_block_id, impl_->config.extended_ids, block_id,
                                 started);
}

std::vector<uint8_t> Simulator::expected_payload(uint64_t frame) const {
    if (!impl_->ready()) return {};
    std::vector<uint8_t> bytes(impl_->layout.payload_size);
    impl_->generator->fill(frame, 0, bytes);
    return bytes;
}

bool Simulator::expected_payload(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const {
    if (!impl_->ready()) return false;
    const uint64_t size = impl_->layout.payload_size;
    if (offset > size || out.size() > size - offset) return false;
    impl_->generator->fill(frame, offset, out);
    return true;
}

}  // namespace qel::camsim
