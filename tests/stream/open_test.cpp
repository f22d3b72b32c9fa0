// Opening and closing streams against the scripted adapter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "core/driver.h"
#include "support/stream_fixture.h"

using namespace qel::driver;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class OpenTest : public qel::test::StreamTest {};

// Busy endpoints are skipped (their handles closed); close deletes the filter and releases the
// endpoint, also when the filter delete fails.
TEST_F(OpenTest, OpensTheFirstFreeEndpointAndCloseReleasesEverything) {
    adapter_.on(TREL_OPEN_ENDPT, [](qel::test::Call &call) {
        const uint32_t e = call.as<OpenEndpointRecord>().endpoint;
        return e < 2 ? host_error_of_driver_code(QEL_EBUSY) : 0u;
    });
    hux_handle_t endpoint = HUX_INVALID_HANDLE;
    qel_stream_t *s = nullptr;
    ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, &endpoint), 0);
    EXPECT_EQ(endpoint, s->handle);
    EXPECT_EQ(s->endpt, 2u);
    EXPECT_EQ(s->queue.credits, 4u);
    EXPECT_EQ(s->cursor.expected_tag, 1);
    EXPECT_EQ(adapter_.commands_with(TREL_ENABLE_ENDPT)[0].device, qel::test::endpoint_name(0, 2));
    EXPECT_EQ(adapter_.count(TREL_MMAP), 6u);
    EXPECT_EQ(adapter_.open_handles(), 2u) << "the busy endpoints' handles were closed";
    adapter_.clear_commands();
    EXPECT_EQ(qel_close_stream(s), 0);
    auto filters = adapter_.commands_with(TREL_FILTER_OP);
    ASSERT_EQ(filters.size(), 1u);
    const std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(filters[0].input, expected);
    EXPECT_EQ(adapter_.open_handles(), 1u) << "only the library's board handle";
    s = open();
    adapter_.fail(TREL_FILTER_OP, QEL_EBUSY);
    EXPECT_EQ(qel_close_stream(s), QEL_EBUSY);
    EXPECT_EQ(adapter_.open_handles(), 1u);
}

struct OpenFailure {
    const char *name;
    std::function<void(qel::test::ScriptedAdapter &)> arrange;
    int expected;
};

class OpenFailureTest : public qel::test::StreamTest,
                        public testing::WithParamInterface<OpenFailure> {};

// Each failure leaves the endpoint free for the next open.
TEST_P(OpenFailureTest, ReleasesEverything) {
    GetParam().arrange(adapter_);
    qel_stream_t *s = nullptr;
    hux_handle_t endpoint = 77;
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, &endpoint), GetParam().expected);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(endpoint, 77u) << "written only on success";
    EXPECT_EQ(adapter_.open_handles(), 1u);
    adapter_.on(TREL_GET_ENDPT_MAPS, nullptr);
    adapter_.on(TREL_MMAP, nullptr);
    ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), 0);
    EXPECT_EQ(s->endpt, 0u);
    qel_close_stream(s);
}

auto fail_once(uint32_t command, int rc) {
    return [=](qel::test::ScriptedAdapter &a) { a.fail(command, rc, 1); };
}

// Endpoint 0's region `region` as a driver should not give it: `length` bytes (0: its own),
// mapped `shift` bytes past its start, or at address 0.
auto odd_region(int region, uint32_t length, uint64_t shift, bool at_zero = false) {
    return [=](qel::test::ScriptedAdapter &a) {
        constexpr uint32_t kStep = qel::test::EndpointRegions::kRegionOffsetStep;
        a.on(TREL_GET_ENDPT_MAPS, [=, &a](qel::test::Call &call) {
            auto &maps = call.as<EndpointMapsRecord>();
            for (int i = 0; i < kRegionCount; ++i) {
                const uint32_t own = a.regions(0, 0).length[i];
                region_place(maps, i) = {i * kStep, i == region && length != 0 ? length : own};
            }
            return 0u;
        });
        a.on(TREL_MMAP, [=, &a](qel::test::Call &call) {
            auto &r = call.as<MmapRecord>();
            const int i = static_cast<int>(r.offset / kStep);
            r.address = reinterpret_cast<uintptr_t>(a.regions(0, 0).base[i]);
            if (i == region) r.address = at_zero ? 0 : r.address + shift;
            return 0u;
        });
    };
}

INSTANTIATE_TEST_SUITE_P(
    Failures, OpenFailureTest,
    testing::Values(OpenFailure{"Enable", fail_once(TREL_ENABLE_ENDPT, QEL_ENXIO), QEL_ENXIO},
                    OpenFailure{"Maps", fail_once(TREL_GET_ENDPT_MAPS, QEL_ENXIO), QEL_ENXIO},
                    OpenFailure{"Mmap", fail_once(TREL_MMAP, QEL_ENXIO), QEL_EINVAL},
                    OpenFailure{"ExtId", fail_once(TREL_SET_EXT_ID, QEL_ENXIO), QEL_ENXIO},
                    OpenFailure{"Attach", fail_once(TREL_OPEN_ENDPT, QEL_EACCES), QEL_EACCES},
                    OpenFailure{"RegionsTooSmall",
                                [](qel::test::ScriptedAdapter &a) {
                                    a.on(TREL_GET_ENDPT_MAPS, [](qel::test::Call &call) {
                                        auto &maps = call.as<EndpointMapsRecord>();
                                        for (int i = 0; i < kRegionCount; ++i) {
                                            region_place(maps, i) = {
                                                i * qel::test::EndpointRegions::kRegionOffsetStep,
                                                32};
                                        }
                                        return 0u;
                                    });
                                },
                                QEL_EINVAL},
                    // Refused before open reads through the two regions it touches first.
                    OpenFailure{"RingAtAddressZero", odd_region(0, 0, 0, true), QEL_EINVAL},
                    OpenFailure{"SecondRegionAtAddressZero", odd_region(1, 0, 0, true), QEL_EINVAL},
                    // The doorbell is stored as one 64-bit atomic word.
                    OpenFailure{"DoorbellMisaligned", odd_region(2, 8, 4), QEL_EINVAL},
                    OpenFailure{"ClockPageMisaligned", odd_region(4, 0x100, 2), QEL_EINVAL},
                    // Tags cycle through 15 values: a ring of 15 or 30 slots would show a
                    // descriptor of the previous lap with the expected tag.
                    OpenFailure{"RingOfFifteenSlots", odd_region(0, 15 * 64, 0), QEL_EINVAL},
                    OpenFailure{"RingOfThirtySlots", odd_region(0, 30 * 64, 0), QEL_EINVAL}),
    [](const auto &info) { return std::string(info.param.name); });

// A ring of any other whole number of slots is taken, whatever its size.
TEST_F(OpenTest, RingOfAnyOtherSlotCountOpens) {
    for (uint32_t slots : {14u, 16u, 31u}) {
        SCOPED_TRACE(slots);
        odd_region(0, slots * 64, 0)(adapter_);
        qel_stream_t *s = nullptr;
        ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), 0);
        EXPECT_EQ(s->cursor.ring_end - s->cursor.ring_start, slots * 64);
        qel_close_stream(s);
    }
}

TEST_F(OpenTest, FilterLines) {
    qel_stream_t *s = open();
    enable("QEL_DEBUG");
    CaptureStderr();
    EXPECT_EQ(qel_filter_op(s, address("192.168.1.20"), 5000, QEL_FILTER_ADD), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel_filter_op): filter-add ip c0a80114, port 5000 to tag 1, vlan: 00000000\n");
    const std::vector<uint8_t> expected = {0x14, 0x01, 0xA8, 0xC0, 0x88, 0x13, 0, 0,
                                           1,    0,    0,    0,    0,    0,    0, 0};
    EXPECT_EQ(adapter_.commands_with(TREL_FILTER_OP).at(0).input, expected);
    adapter_.fail(TREL_FILTER_OP, QEL_EACCES);
    CaptureStderr();
    EXPECT_EQ(qel_filter_op(s, address("192.168.1.20"), 5000, QEL_FILTER_ADD), QEL_EACCES);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("\nfilter-add ip c0a80114, port 1388 to tag 1: FAILED with return "
                          "value 13\n"));
    // An operation that is neither add nor delete (as a C caller may pass) is not taken for a
    // delete: nothing is sent.
    adapter_.clear_commands();
    EXPECT_EQ(qel_filter_op(s, 0, 0, static_cast<qel_filter_operation_t>(2)), QEL_EINVAL);
    EXPECT_EQ(adapter_.count(TREL_FILTER_OP), 0u);
    qel_close_stream(s);
}

}  // namespace
