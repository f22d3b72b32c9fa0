// The software adapter's firmware: one thread per running endpoint that receives the filter
// socket's packets in batches, reassembles them into the host's buffers and reports the
// blocks, and keeps time (resend statuses, block timeouts, the clock page every second).
//
// One thread per endpoint: each endpoint's packets arrive on a socket of its own, endpoints
// of one board do not wait for each other, and the assembler and counters need no sharing.
// The packets come from the link's packet socket ring when the filter opened one
// (ring_receiver.h), else from the UDP socket (packet_receiver.h); each start counts which.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "adapter/firmware/block_assembler.h"
#include "adapter/firmware/firmware.h"
#include "adapter/firmware/packet_receiver.h"
#include "adapter/firmware/ring_receiver.h"

namespace qel::adapter {

class SoftwareFirmware final : public Firmware {
public:
    // The clock page is refreshed this often.
    static constexpr uint64_t kClockRefreshNs = 1'000'000'000;
    // The longest the thread sleeps between looks at the time.
    static constexpr int kLongestSleepMs = 100;

    // Starts the thread. `socket` stays open until this object is destroyed.
    SoftwareFirmware(const FirmwareLink &link, int socket, AssemblerSettings settings,
                     SourceRule sources);
    // Stops and joins the thread, then ends the blocks in flight and gives back their buffers.
    ~SoftwareFirmware() override;

private:
    void run();
    // Reads what waits, one batch or ring block at most; returns the packets read.
    int receive();

    ClockKeeper &clock_;
    FirmwareCounters &counters_;
    int socket_;     // the descriptor waited on: the UDP socket, or the ring's packet socket
    int wake_ = -1;  // eventfd that ends the thread's sleep at stop; -1: short sleeps instead
    // Release in the destructor pairs with the acquire in run(): the thread sees the request.
    std::atomic<bool> stopping_{false};
    BlockAssembler assembler_;
    std::optional<PacketReceiver> socket_receiver_;
    std::optional<RingReceiver> ring_receiver_;
    std::thread thread_;
};

// The FirmwareStarter of the software adapter (firmware.h). Null when no thread can be started.
std::unique_ptr<Firmware> start_software_firmware(const FirmwareLink &link, int socket);

}  // namespace qel::adapter
