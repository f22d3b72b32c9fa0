// The packet resend service: reads GVCP PACKETRESEND commands from the control port and sends
// the asked packets again to the stream's destination, from the frames still held, marked as
// resent; packets of frames no longer held (or never sent) are answered with data-less
// error-status packets. Runs on its own thread.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "camsim/counters.h"
#include "camsim/history.h"
#include "camsim/packet_source.h"
#include "camsim/resend_command.h"
#include "camsim/stop_signal.h"
#include "camsim/udp.h"

namespace qel::camsim {

class ResendListener {
public:
    ResendListener(const Config &config, const PacketSource &source, const FrameHistory &history,
                   SharedCounters &counters, const StopSignal &stop);

    // Serves commands from `control_fd` until stop is requested; answers on `stream_fd`.
    std::string run(int control_fd, int stream_fd);

    // One datagram as it came in (exposed for the tests).
    void handle(std::span<const uint8_t> datagram, int stream_fd);

private:
    void answer(const ResendCommand &command, int stream_fd);
    void send(int stream_fd, Counter &served, Counter *bytes);

    const Config &config_;
    const PacketSource &source_;
    const FrameHistory &history_;
    SharedCounters &counters_;
    const StopSignal &stop_;
    PacketBatch batch_;
};

}  // namespace qel::camsim
