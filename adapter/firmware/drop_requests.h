// Packets the host asked the firmware to drop (TREL_DROP_PACKET), each once, when it arrives.
//
// Thread safety: any thread; one mutex held for a walk of at most kMaxRequests entries. The
// storage is fixed, so the firmware's take() never allocates, and while no request is pending
// it takes no lock either (the firmware asks for every packet).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace qel::adapter {

class DropRequests {
public:
    static constexpr uint32_t kMaxRequests = 256;

    // Records a request. Asking again for a packet already pending changes nothing. Returns 0,
    // or 12 when kMaxRequests are pending.
    int add(uint32_t block, uint32_t packet);
    // Firmware: whether packet `packet` of block `block` is to be dropped; a request is used
    // up by the packet it matches. Blocks are matched on the low 32 bits of their id, which is
    // all that the request carries.
    bool take(uint64_t block, uint32_t packet);
    void clear();
    uint32_t pending() const;

private:
    struct Request {
        uint32_t block;
        uint32_t packet;
    };
    mutable std::mutex mutex_;
    std::array<Request, kMaxRequests> requests_{};
    uint32_t count_ = 0;
    // count_, readable without the mutex. Written under it after each change of count_.
    std::atomic<uint32_t> pending_{0};
};

}  // namespace qel::adapter
