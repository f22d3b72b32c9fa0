// The six shared-memory regions of an attached endpoint, allocated page-aligned at attach and
// unmapped when the endpoint goes. The host maps them through TREL_MMAP by the offsets that
// TREL_GET_ENDPT_MAPS gives; here offsets are the regions' places in one imagined file (ring
// first, then one page per region), so that each offset names exactly one region.
#pragma once

#include <cstdint>
#include <span>

#include "core/driver.h"

namespace qel::adapter {

enum Region : int {
    kRingRegion = 0,
    kDoorbellRegion = 2,
    kClockRegion = 4,
    kProgressRegion = 5,
};

class EndpointRegions {
public:
    EndpointRegions() = default;
    ~EndpointRegions() { release(); }
    EndpointRegions(const EndpointRegions &) = delete;
    EndpointRegions &operator=(const EndpointRegions &) = delete;

    // Allocates the regions, zero-filled: the ring of `ring_bytes` (a power of two, at least a
    // page) and five pages. Returns 0, or 12 when memory is short (nothing is kept then).
    int allocate(uint32_t ring_bytes);
    void release();
    bool allocated() const { return base_[0] != nullptr; }

    std::span<uint8_t> region(int index) const { return {base_[index], length_[index]}; }
    uint32_t offset(int index) const { return offset_[index]; }

    // TREL_GET_ENDPT_MAPS: every region's offset and length.
    void describe(driver::EndpointMapsRecord &maps) const;
    // The region that starts at `offset` and is exactly `length` bytes long, or -1.
    int find(uint32_t offset, uint32_t length) const;

private:
    uint8_t *base_[driver::kRegionCount] = {};
    uint32_t length_[driver::kRegionCount] = {};
    uint32_t offset_[driver::kRegionCount] = {};
};

}  // namespace qel::adapter
