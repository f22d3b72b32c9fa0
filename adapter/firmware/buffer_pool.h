// An endpoint's pinned buffers and the firmware's FIFO of free buffers.
//
// A pinned buffer is idle (the host owns it), queued (in the FIFO, waiting for a block) or
// filling (the firmware took it for a block and writes into it). The host may unpin an idle
// buffer, and a queued one while no filter steers packets to the endpoint (the firmware is
// not running then, so nothing can take it): the firmware's memory accesses never outlive the
// pinning.
//
// Thread safety: every member may be called from any thread; one mutex guards the table and
// the FIFO and is held only for a bounded walk of them. Storage is reserved up front, so the
// firmware's calls (take_next, finish) never allocate.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace qel::adapter {

// A buffer as the firmware receives it from the FIFO.
struct FreeBuffer {
    uint32_t index = 0;
    uint8_t *data = nullptr;  // page-aligned
    uint32_t length = 0;      // bytes the firmware may write
    bool credit = false;      // the block's final descriptor returns one queue credit
};

class BufferPool {
public:
    static constexpr uint32_t kMaxBuffers = 4096;

    BufferPool();

    // TREL_PIN_BUF: `address` non-zero, page-aligned, mapped in this process for `length`
    // (non-zero) bytes, and overlapping no pinned buffer. Its pages are faulted in, so that
    // the firmware's writes take no page faults. Returns 0 and the new index (from 1), 22 for
    // a bad range, 12 when kMaxBuffers are pinned.
    int pin(uint64_t address, uint32_t length, uint32_t *index);
    // TREL_UNPIN_BUF: 0; 22 for an index not pinned; 16 while the buffer is filling, or queued
    // unless `withdraw_queued` (then it leaves the FIFO, the others keeping their order).
    int unpin(uint32_t index, bool withdraw_queued);
    // TREL_QUEUE_BUF: appends to the FIFO with the credit flag (0 or 1). 0; 22 for an unknown
    // index or a flag other than 0 and 1; 16 when the buffer is already queued or filling.
    int queue(uint32_t index, uint32_t credit);
    // Forgets every buffer (the endpoint is going; the firmware has stopped).
    void clear();

    // Firmware: takes the FIFO's head, which becomes filling; nothing when the FIFO is empty.
    std::optional<FreeBuffer> take_next();
    // Firmware: the block in buffer `index` has ended (its final descriptor is posted); the
    // buffer is idle again. Returns false for a buffer that was not filling.
    bool finish(uint32_t index);

    uint32_t queued_count() const;
    uint32_t pinned_count() const;

private:
    enum class State : uint8_t { unused, idle, queued, filling };
    struct Slot {
        uint64_t address = 0;
        uint32_t length = 0;
        State state = State::unused;
    };
    struct Queued {
        uint32_t index;
        bool credit;
    };

    Slot *slot_of(uint32_t index);

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;  // slot i is index i + 1
    // The FIFO: a ring of kMaxBuffers entries (a buffer is in it at most once).
    std::vector<Queued> fifo_;
    uint32_t fifo_head_ = 0;
    uint32_t fifo_count_ = 0;
    uint32_t pinned_ = 0;
};

}  // namespace qel::adapter
