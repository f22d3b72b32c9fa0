// The stream sender: frame after frame, builds every packet into a batch and hands batches to
// the kernel with sendmmsg (runs of full packets as one segmented send each, see PacketBatch),
// paced to a frame rate and/or a packet rate or as fast as it can, with the seeded faults
// applied. Runs on its own thread; nothing is allocated per packet.
#pragma once

#include <cstdint>
#include <string>

#include "camsim/counters.h"
#include "camsim/faults.h"
#include "camsim/history.h"
#include "camsim/packet_source.h"
#include "camsim/stop_signal.h"
#include "camsim/udp.h"

namespace qel::camsim {

class Sender {
public:
    Sender(const Config &config, const PacketSource &source, FrameHistory &history,
           SharedCounters &counters, const StopSignal &stop);

    // Sends until the frames or the duration are done, sending fails or stop is requested.
    // Returns an empty text, or why sending failed.
    std::string run(int fd);

private:
    bool flush(int fd);

    const Config &config_;
    const PacketSource &source_;
    FrameHistory &history_;
    SharedCounters &counters_;
    const StopSignal &stop_;
    FaultPlan plan_;
    PacketBatch batch_;
    size_t batch_limit_;
    uint64_t start_ns_ = 0;
    uint64_t packets_flushed_ = 0;
    uint64_t frames_pending_ = 0;  // frames whose every packet is in the batch
    std::string error_;
};

}  // namespace qel::camsim
