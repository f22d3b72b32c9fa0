#include "camsim/sender.h"

#include <algorithm>
#include <cmath>

namespace qel::camsim {

namespace {

constexpr double kNsPerSecond = 1e9;
// A paced batch holds at most a millisecond's worth of packets, so that the rate holds at a
// fine grain too.
constexpr double kPacedBatchesPerSecond = 1000;

}  // namespace

Sender::Sender(const Config &config, const PacketSource &source, FrameHistory &history,
               SharedCounters &counters, const StopSignal &stop)
    : config_(config),
      source_(source),
      history_(history),
      counters_(counters),
      stop_(stop),
      plan_(config.faults),
      batch_(config.batch_packets, source.layout().datagram_size, config.segmentation),
      batch_limit_(config.batch_packets) {
    if (config.packet_rate > 0) {
        const double per_batch = std::floor(config.packet_rate / kPacedBatchesPerSecond);
        batch_limit_ = static_cast<size_t>(std::clamp(per_batch, 1.0, double(batch_limit_)));
    }
}

bool Sender::flush(int fd) {
    if (batch_.size() == 0) return true;
    if (config_.packet_rate > 0) {
        const auto due = start_ns_ + static_cast<uint64_t>(static_cast<double>(packets_flushed_) *
                                                           kNsPerSecond / config_.packet_rate);
        if (!stop_.sleep_until(due)) return false;
    }
    const size_t count = batch_.size();
    const PacketBatch::Result result = batch_.send(fd);
    packets_flushed_ += count;
    add(counters_.sender.packets, result.sent);
    add(counters_.sender.bytes, result.bytes);
    add(counters_.send_errors, result.failed);
    add(counters_.sender.frames, frames_pending_);
    frames_pending_ = 0;
    if (result.fatal != 0) {
        error_ = errno_text("send", result.fatal);
        return false;
    }
    return true;
}

std::string Sender::run(int fd) {
    start_ns_ = monotonic_ns();
    const uint64_t end_ns = config_.duration_ms != 0
                                ? start_ns_ + config_.duration_ms * uint64_t{1'000'000}
                                : UINT64_MAX;
    const bool faults = config_.faults.any();
    const bool paced = config_.frame_rate > 0 || config_.packet_rate > 0;
    const uint32_t trailer = source_.layout().trailer_packet_id;

    for (uint64_t frame = 0; config_.frames == 0 || frame < config_.frames; ++frame) {
        if (stop_.requested()) break;
        if (config_.frame_rate > 0) {
            const auto due = start_ns_ + static_cast<uint64_t>(static_cast<double>(frame) *
                                                               kNsPerSecond / config_.frame_rate);
            if (due >= end_ns) break;
            if (!stop_.sleep_until(due)) break;
        }
        const uint64_t timestamp = monotonic_ns();
        if (timestamp >= end_ns) break;
        history_.record(frame, timestamp);

        uint32_t id = 0;
        if (faults) plan_.begin_frame(frame, trailer);
        for (uint64_t next = 0;;) {
            if (faults) {
                if (!plan_.next(&id)) break;
            } else {
                if (next > trailer) break;
                id = static_cast<uint32_t>(next++);
            }
            const size_t length = source_.build(batch_.next_buffer(), frame, id, timestamp, false);
            if (length != 0) batch_.commit(length);
            if (batch_.size() >= batch_limit_ && !flush(fd)) return error_;
        }
        if (faults) {
            add(counters_.sender.withheld, plan_.withheld());
            add(counters_.sender.duplicated, plan_.duplicated());
            add(counters_.sender.reordered, plan_.reordered());
        }
        ++frames_pending_;
        // Paced frames leave at once; otherwise batches run on across frames.
        if (paced && !flush(fd)) return error_;
    }
    flush(fd);
    return error_;
}

}  // namespace qel::camsim
