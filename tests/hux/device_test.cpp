// Against the scripted adapter: device names and the board scan. Against the software
// adapter: nothing it throws crosses the device-host seam.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "core/driver.h"
#include "hux.h"
#include "hux/device_host.h"
#include "qel.h"
#include "support/scripted_adapter.h"

// This program's allocations fail on a thread that asks for it (FailingAllocations below),
// except under ThreadSanitizer, whose runtime keeps operator new to itself.
#if defined(__SANITIZE_THREAD__)
#define QEL_TEST_OWN_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QEL_TEST_OWN_NEW 0
#endif
#endif
#ifndef QEL_TEST_OWN_NEW
#define QEL_TEST_OWN_NEW 1
#endif

namespace {
thread_local bool allocations_fail = false;
}  // namespace

#if QEL_TEST_OWN_NEW

void *operator new(std::size_t size) {
    if (allocations_fail) throw std::bad_alloc();
    if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
// The pair of new above: memory from malloc goes back to free (which GCC, seeing a delete
// operator call free, would otherwise take for a mismatch).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif  // QEL_TEST_OWN_NEW

namespace qel::test {
namespace {

using namespace qel::driver;
using testing::ElementsAre;

TEST(Open, DeviceNamesAndTheControlDevicesFallback) {
    ScriptedAdapter adapter;
    adapter.add_board(0, BoardSpec{.legacy_control_name = true});
    adapter.add_board(1);
    hux_handle_t h = 7;
    EXPECT_EQ(hux_open(1, 3, &h, 5), QEL_EINVAL) << "another product code";
    EXPECT_EQ(hux_open(1, 3, nullptr, 4), QEL_EINVAL);
    EXPECT_TRUE(adapter.open_attempts().empty());
    ASSERT_EQ(hux_open(0, HUX_CONTROL_DEVICE, &h, 4), 0);
    hux_close(h);
    ASSERT_EQ(hux_open(1, 3, &h, 4), 0);
    hux_close(h);
    ASSERT_EQ(hux_open(1, HUX_RAW_DEVICE, &h, 4), 0);
    hux_close(h);
    EXPECT_THAT(adapter.open_attempts(), ElementsAre("\\\\.\\trel0\\p", "\\\\.\\trel0",
                                                     "\\\\.\\trel1\\e3", "\\\\.\\trel1\\r"));
    EXPECT_EQ(adapter.open_handles(), 0u);
}

TEST(BoardScan, FoldsTheOutcome) {
    const struct {
        std::vector<int> boards;  // 0 opens; a code refuses; -1 absent (path not found)
        int expected;
        int opened_board;  // board whose handle is returned, or -1
    } rows[] = {
        {{0}, 0, 0},
        {{16, 0}, 0, 1},  // a busy board is skipped
        {{}, QEL_ENODEV, -1},
        {{13, -1, 0}, QEL_EACCES, -1},  // the scan stops at the first absent board
        {{13, 22}, QEL_EBUSY, -1},      // busy outranks permission
        {{2}, QEL_ENOENT, -1},
        {{6, 0}, QEL_ENODEV, -1},
        {std::vector<int>(32, 16), QEL_EBUSY, -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.boards));
        ScriptedAdapter adapter;
        for (uint32_t b = 0; b < row.boards.size(); ++b) {
            if (row.boards[b] == -1) continue;
            adapter.add_board(b);
            if (row.boards[b] == 0) continue;
            adapter.refuse_open_with_code(control_name(b), row.boards[b]);
            adapter.refuse_open_with_code(legacy_control_name(b), row.boards[b]);
        }
        hux_handle_t h = HUX_INVALID_HANDLE;
        EXPECT_EQ(hux_open_any_board(&h, 4), row.expected);
        EXPECT_EQ(adapter.open_handles(), row.opened_board >= 0 ? 1u : 0u);
        if (row.opened_board >= 0) {
            EXPECT_EQ(adapter.open_attempts().back(), control_name(row.opened_board));
        }
    }
}

// Every allocation of this thread fails while one of these lives.
class FailingAllocations {
public:
    FailingAllocations() { allocations_fail = true; }
    ~FailingAllocations() { allocations_fail = false; }
    FailingAllocations(const FailingAllocations &) = delete;
    FailingAllocations &operator=(const FailingAllocations &) = delete;
};

TEST(SoftwareAdapterSeam, AnAllocationThatFailsIsAnsweredNotThrown) {
    if (!QEL_TEST_OWN_NEW) GTEST_SKIP() << "allocations cannot be made to fail in this build";
    hux::set_device_host(nullptr);
    // Made first, so that what fails below is the open, not the adapter's own making.
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open(0, HUX_CONTROL_DEVICE, &h, HUX_PRODUCT_CODE) == 0) hux_close(h);
    int rc = 0;
    {
        FailingAllocations failing;
        rc = hux_open(0, HUX_CONTROL_DEVICE, &h, HUX_PRODUCT_CODE);
    }
    EXPECT_EQ(rc, QEL_ENOMEM);
    EXPECT_EQ(h, HUX_INVALID_HANDLE);
}

}  // namespace
}  // namespace qel::test
