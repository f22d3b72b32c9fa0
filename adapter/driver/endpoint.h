// One attached endpoint of a board: everything its firmware works with and everything the
// host's commands change.
//
// Thread safety. Three kinds of callers meet here:
// - Command side (the host's driver commands, from any thread, on any handle of this
//   endpoint): enable, filter changes, extended ids and shutdown are serialised by the control
//   mutex; buffers, drop requests and the ring lock themselves (see their headers).
// - Firmware (the threads that a FirmwareStarter runs, firmware.h): uses only what the
//   endpoint hands it in a FirmwareLink (the members marked "firmware" below and the shared
//   ones). They never take the control mutex, allocate nothing, and are safe from any
//   firmware thread. The firmware is stopped under the control mutex before the
//   socket it reads is closed, and before the endpoint is shut.
// - The host's memory accesses to the shared regions, which take no lock: the ring is read
//   by tag (descriptor_ring.h), the progress page and doorbell are read with atomic loads, the
//   clock page is written under its sequence word.
// The regions stay mapped until the Endpoint is destroyed, which is after the last command
// in flight on it has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "adapter/firmware/buffer_pool.h"
#include "adapter/firmware/descriptor_ring.h"
#include "adapter/firmware/drop_requests.h"
#include "adapter/driver/endpoint_lock.h"
#include "adapter/driver/filter_socket.h"
#include "adapter/firmware/firmware.h"
#include "adapter/firmware/firmware_counters.h"
#include "adapter/driver/regions.h"

namespace qel::adapter {

struct Board;

class Endpoint final : public ClockKeeper {
    // Only attach() makes endpoints.
    class Passkey {
        friend class Endpoint;
        Passkey() {}
    };

public:
    Endpoint(Passkey, const Board &board, uint32_t number);
    // Attaches endpoint `number` of `board`: takes its lock, allocates and initialises its
    // regions. Returns 0 and the endpoint, 16 when it is held anywhere, 12 without memory, or
    // the lock's other codes.
    static int attach(const Board &board, uint32_t number, std::shared_ptr<Endpoint> *out);
    ~Endpoint();
    Endpoint(const Endpoint &) = delete;
    Endpoint &operator=(const Endpoint &) = delete;

    const std::string &interface() const { return interface_; }
    uint32_t if_index() const { return if_index_; }
    uint32_t number() const { return number_; }

    // ---- Command side ----
    // TREL_ENABLE_ENDPT. Enabling an enabled endpoint changes nothing.
    int enable();
    bool enabled() const { return enabled_.load(std::memory_order_acquire); }
    // TREL_FILTER_OP. An add replaces the endpoint's one filter (the old socket closes only
    // once the new one is open); a delete removes it, and succeeds when there is none.
    int add_filter(uint32_t address, uint16_t port);
    int delete_filter();
    // The filter socket's descriptor, -1 without a filter. Not for the firmware.
    int filter_fd() const;
    // TREL_SET_EXT_ID.
    void set_extended_ids(bool on) { extended_ids_.store(on, std::memory_order_release); }
    // Stops the firmware, ends every wait, removes the filter, unpins every buffer, forgets
    // the drop requests and frees the endpoint for other handles and processes. The regions
    // stay until destruction. Later commands are refused with 22.
    void shutdown();
    bool is_shut() const { return shut_.load(std::memory_order_acquire); }

    const EndpointRegions &regions() const { return regions_; }

    // ---- Shared by both sides (each locks itself) ----
    BufferPool &buffers() { return buffers_; }
    DropRequests &drop_requests() { return drops_; }
    DescriptorRing &ring() { return ring_; }

    // ---- Firmware ----
    // Whether the camera's packets carry extended ids. Acquire pairs with set_extended_ids.
    bool extended_ids() const { return extended_ids_.load(std::memory_order_acquire); }
    // Writes a descriptor into the ring (DescriptorRing::post): false while the ring is full.
    bool post_descriptor(std::span<const uint8_t, shm::kDescriptorBytes> descriptor) {
        return ring_.post(descriptor);
    }
    // The firmware's counters: written by the running firmware, read by anyone (tools and
    // tests). They last as long as the endpoint, across firmware restarts.
    FirmwareCounters &firmware_counters() { return counters_; }
    const FirmwareCounters &firmware_counters() const { return counters_; }
    // Rewrites the clock page's base tick count (monotonic ns, 48 bits) and base time
    // (real-time ns) with multiplier and divisor 1, under the sequence word. Done at attach;
    // the firmware calls it every second.
    void refresh_clock_page() override;

private:
    void stop_firmware_locked();
    void start_firmware_locked();

    const std::string interface_;
    const uint32_t if_index_;
    const uint32_t number_;

    EndpointRegions regions_;
    DescriptorRing ring_;
    BufferPool buffers_;
    DropRequests drops_;
    FirmwareCounters counters_;
    std::atomic<bool> extended_ids_{false};
    std::atomic<bool> enabled_{false};
    std::atomic<bool> shut_{false};
    std::mutex clock_mutex_;  // one writer of the clock page at a time

    // Guarded by control_mutex_.
    mutable std::mutex control_mutex_;
    EndpointLock lock_;
    FilterSocket socket_;
    std::unique_ptr<Firmware> firmware_;
};

}  // namespace qel::adapter
