#include "camsim/resend_listener.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "camsim/block_ids.h"

namespace qel::camsim {

namespace {

// Commands are at most 28 bytes (extended ids); anything longer than this is not one.
constexpr size_t kMaxCommandSize = 576;

}  // namespace

ResendListener::ResendListener(const Config &config, const PacketSource &source,
                               const FrameHistory &history, SharedCounters &counters,
                               const StopSignal &stop)
    : config_(config),
      source_(source),
      history_(history),
      counters_(counters),
      stop_(stop),
      batch_(config.batch_packets, source.layout().datagram_size) {}

std::string ResendListener::run(int control_fd, int stream_fd) {
    std::array<uint8_t, kMaxCommandSize> buffer{};
    pollfd fds[2] = {{control_fd, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    while (!stop_.requested()) {
        const int ready = poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno_text("poll control port", errno);
        }
        if (fds[1].revents != 0) break;
        for (;;) {
            // MSG_TRUNC: the real length, so that an oversized datagram is seen as such.
            const ssize_t n = recv(control_fd, buffer.data(), buffer.size(), MSG_TRUNC);
            if (n < 0) {
                if (errno == EINTR) continue;
                // EAGAIN: drained. Anything else is a pending socket error, cleared by being
                // reported: the service goes on.
                break;
            }
            if (static_cast<size_t>(n) > buffer.size()) {
                add(counters_.resend.malformed, 1);
                continue;
            }
            handle({buffer.data(), static_cast<size_t>(n)}, stream_fd);
        }
    }
    return {};
}

void ResendListener::handle(std::span<const uint8_t> datagram, int stream_fd) {
    ResendCommand command;
    // A command for the other id form or another channel is not for this stream.
    if (parse_resend_command(datagram, &command) != CommandCheck::ok ||
        command.extended_ids != config_.extended_ids || command.channel != config_.channel) {
        add(counters_.resend.malformed, 1);
        return;
    }
    if (config_.ignore_resend) {
        add(counters_.resend.ignored, 1);
        return;
    }
    add(counters_.resend.requests, 1);
    answer(command, stream_fd);
}

void ResendListener::answer(const ResendCommand &command, int stream_fd) {
    const StreamLayout &layout = source_.layout();
    const uint32_t trailer = layout.trailer_packet_id;
    if (command.first_packet_id > trailer) {
        // Nothing of the range exists in a block of this run.
        const size_t length = source_.build_error(batch_.next_buffer(), command.block_id,
                                                  command.first_packet_id, kStatusPacketUnavailable,
                                                  layout.extended_ids ? kFlagResendRangeError : 0);
        if (length != 0) batch_.commit(length);
        send(stream_fd, counters_.resend.error_packets, nullptr);
        return;
    }
    const std::optional<uint64_t> frame = latest_frame_of_block(
        config_.first_block_id, config_.extended_ids, command.block_id, history_.frames_started());
    const std::optional<uint64_t> timestamp =
        frame ? history_.timestamp_if_held(*frame) : std::nullopt;
    // A block never sent is unavailable; one that was sent but fell out of the history was
    // removed from memory.
    const uint16_t error = !frame ? kStatusPacketUnavailable : kStatusRemovedFromMemory;
    const uint32_t last = std::min(command.last_packet_id, trailer);
    for (uint64_t id = command.first_packet_id; id <= last; ++id) {
        const auto packet_id = static_cast<uint32_t>(id);
        const size_t length =
            timestamp
                ? source_.build(batch_.next_buffer(), *frame, packet_id, *timestamp, true)
                : source_.build_error(batch_.next_buffer(), command.block_id, packet_id, error, 0);
        if (length != 0) batch_.commit(length);
        if (batch_.full()) {
            if (timestamp) {
                send(stream_fd, counters_.resend.packets, &counters_.resend.bytes);
            } else {
                send(stream_fd, counters_.resend.error_packets, nullptr);
            }
        }
        if (stop_.requested()) break;
    }
    if (timestamp) {
        send(stream_fd, counters_.resend.packets, &counters_.resend.bytes);
    } else {
        send(stream_fd, counters_.resend.error_packets, nullptr);
    }
}

void ResendListener::send(int stream_fd, Counter &served, Counter *bytes) {
    if (batch_.size() == 0) return;
    const PacketBatch::Result result = batch_.send(stream_fd);
    add(served, result.sent);
    if (bytes != nullptr) add(*bytes, result.bytes);
    add(counters_.send_errors, result.failed);
}

}  // namespace qel::camsim
