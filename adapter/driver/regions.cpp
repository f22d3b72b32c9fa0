#include "adapter/driver/regions.h"

#include <sys/mman.h>

#include <cstring>

#include "core/shared_memory.h"
#include "qel.h"

namespace qel::adapter {

int EndpointRegions::allocate(uint32_t ring_bytes) {
    release();
    uint32_t next_offset = 0;
    for (int i = 0; i < driver::kRegionCount; ++i) {
        const uint32_t length = i == kRingRegion ? ring_bytes : shm::kPageBytes;
        // Anonymous mappings are page-aligned and zero-filled; one mapping per region keeps a
        // stray access past one region from landing in another's data.
        void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            release();
            return QEL_ENOMEM;
        }
        base_[i] = static_cast<uint8_t *>(p);
        length_[i] = length;
        offset_[i] = next_offset;
        next_offset += length;
    }
    return 0;
}

void EndpointRegions::release() {
    for (int i = 0; i < driver::kRegionCount; ++i) {
        if (base_[i] != nullptr) munmap(base_[i], length_[i]);
        base_[i] = nullptr;
        length_[i] = 0;
        offset_[i] = 0;
    }
}

void EndpointRegions::describe(driver::EndpointMapsRecord &maps) const {
    std::memset(&maps, 0, sizeof maps);
    for (int i = 0; i < driver::kRegionCount; ++i) {
        driver::region_place(maps, i) = driver::RegionPlace{offset_[i], length_[i]};
    }
}

int EndpointRegions::find(uint32_t offset, uint32_t length) const {
    if (!allocated()) return -1;
    for (int i = 0; i < driver::kRegionCount; ++i) {
        if (offset_[i] == offset && length_[i] == length) return i;
    }
    return -1;
}

}  // namespace qel::adapter
