// Pinning a buffer faults its memory in, as a hardware driver's pinning does: the firmware's
// writes into it must take no page faults on the receive path, and what the buffer held stays.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "adapter/firmware/buffer_pool.h"

namespace qel::adapter {
namespace {

// Pages of [p, p + length) resident in memory, by mincore.
size_t resident_pages(const void *p, size_t length) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> in_core((length + page - 1) / page);
    if (mincore(const_cast<void *>(p), length, in_core.data()) != 0) return 0;
    size_t resident = 0;
    for (const unsigned char c : in_core) resident += c & 1;
    return resident;
}

TEST(BufferPoolPin, FaultsTheBufferInAndKeepsWhatItHolds) {
    constexpr size_t kLength = size_t{8} << 20;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, kLength, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
#ifdef MADV_POPULATE_WRITE
    // Kernels before 5.14 do not know the advice: pinning there faults nothing in.
    if (madvise(static_cast<uint8_t *>(map) + kLength - page, page, MADV_POPULATE_WRITE) != 0) {
        munmap(map, kLength);
        GTEST_SKIP() << "this kernel cannot populate memory on advice";
    }
#else
    munmap(map, kLength);
    GTEST_SKIP() << "built without MADV_POPULATE_WRITE";
#endif
    auto *bytes = static_cast<uint8_t *>(map);
    // One page written before the pin; the others never touched.
    std::memset(bytes + 3 * page, 0x5A, page);
    ASSERT_LT(resident_pages(map, kLength), kLength / page / 2);

    BufferPool pool;
    uint32_t index = 0;
    ASSERT_EQ(pool.pin(reinterpret_cast<uintptr_t>(map), static_cast<uint32_t>(kLength), &index),
              0);
    EXPECT_EQ(resident_pages(map, kLength), kLength / page);
    for (size_t i = 0; i < page; ++i) ASSERT_EQ(bytes[3 * page + i], 0x5A) << i;
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(bytes[kLength - 1], 0);
    EXPECT_EQ(pool.unpin(index, false), 0);
    munmap(map, kLength);
}

// Memory the kernel cannot fault in writable is pinned as before: populating is advice.
TEST(BufferPoolPin, ReadOnlyMemoryIsStillPinnedAndNotWritten) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *map = mmap(nullptr, 4 * page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    BufferPool pool;
    uint32_t index = 0;
    EXPECT_EQ(pool.pin(reinterpret_cast<uintptr_t>(map), static_cast<uint32_t>(4 * page), &index),
              0);
    EXPECT_EQ(static_cast<const uint8_t *>(map)[0], 0);
    EXPECT_EQ(pool.unpin(index, false), 0);
    munmap(map, 4 * page);
}

}  // namespace
}  // namespace qel::adapter
