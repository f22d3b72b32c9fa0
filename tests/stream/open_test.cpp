// Opening and closing streams against the scripted adapter.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "core/driver.h"
#include "core/log.h"
#include "support/stream_fixture.h"

using namespace qel::driver;
using qel::test::ScopedEnv;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

class OpenTest : public qel::test::StreamTest {};

TEST_F(OpenTest, UnicastOpenGivesEveryFieldItsFirstValue) {
    uint32_t *progress = reinterpret_cast<uint32_t *>(adapter_.regions(0, 0).base[5]);
    std::memset(progress, 0xFF, 256);
    hux_handle_t endpoint = HUX_INVALID_HANDLE;
    qel_stream_t *s = nullptr;
    ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, QEL_OPEN_ZEROLOSS, &endpoint), 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(endpoint, s->handle);
    EXPECT_EQ(s->endpt, 0u);
    EXPECT_EQ(s->board, 0u);
    EXPECT_EQ(s->local_addr, loopback_);
    EXPECT_EQ(s->dest_addr, loopback_);
    EXPECT_EQ(s->port, 5000);
    EXPECT_EQ(s->resend_fd, 0) << "zero-loss is cleared by the plain open";
    EXPECT_EQ(s->resend_hdr, nullptr);
    EXPECT_EQ(s->opts->flags, uint32_t{QEL_OPEN_DROP_INCOMPLETE});
    EXPECT_EQ(s->queue_credits, 4u);
    EXPECT_EQ(s->queued_count, 0u);
    EXPECT_EQ(s->queue_tail, &s->queue_head);
    EXPECT_EQ(s->expected_tag, 1);
    EXPECT_EQ(s->read_ptr, adapter_.regions(0, 0).base[0]);
    EXPECT_EQ(s->ring_end, adapter_.regions(0, 0).base[0] + adapter_.regions(0, 0).length[0]);
    EXPECT_EQ(s->worker_mode, 1u);
    EXPECT_EQ(progress[0], 0u);
    EXPECT_EQ(progress[1], 1u);
    EXPECT_EQ(progress[3], 0u);
    for (int i = 0; i < kRegionCount; ++i) {
        EXPECT_EQ(s->maps[i].address, reinterpret_cast<uintptr_t>(adapter_.regions(0, 0).base[i]));
    }
    // Commands in order, each with its record.
    auto ext = adapter_.commands_with(TREL_SET_EXT_ID);
    ASSERT_EQ(ext.size(), 1u);
    EXPECT_EQ(ext[0].as<WordRecord>().value, 0u);
    auto attach = adapter_.commands_with(TREL_OPEN_ENDPT);
    ASSERT_EQ(attach.size(), 1u);
    EXPECT_EQ(attach[0].as<OpenEndpointRecord>().endpoint, 0u);
    EXPECT_EQ(attach[0].as<OpenEndpointRecord>().magic, 500u);
    auto mmaps = adapter_.commands_with(TREL_MMAP);
    ASSERT_EQ(mmaps.size(), 6u);
    EXPECT_EQ(adapter_.count(TREL_ENABLE_ENDPT), 1u);
    EXPECT_EQ(adapter_.count(TREL_FILTER_OP), 0u) << "the filter comes with the first buffer";
    EXPECT_EQ(qel_close_stream(s), 0);
    EXPECT_EQ(adapter_.open_handles(), 1u) << "only the library's board handle";
}

TEST_F(OpenTest, Ipv6IsRefusedBeforeAnyInterfaceIsRead) {
    enable("QEL_VERBOSE");
    qel_stream_t *s = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, QEL_OPEN_IPV6, nullptr), QEL_ENOSYS);
    EXPECT_EQ(GetCapturedStderr(), "QEL (qel__open_stream): No IPv6 support yet\n");
    EXPECT_EQ(adapter_.command_count(), 0u);
    EXPECT_TRUE(adapter_.open_attempts().empty());
    EXPECT_EQ(s, nullptr);
}

TEST_F(OpenTest, MulticastGroups) {
    const uint32_t group = address("239.1.1.1");
    qel_stream_t *s = nullptr;
    ASSERT_EQ(qel_open_mcast_stream(&loopback_, &group, 6000, &s, 0, nullptr), 0);
    EXPECT_EQ(s->dest_addr, group);
    EXPECT_EQ(s->local_addr, loopback_);
    qel_close_stream(s);

    const uint32_t unicast = address("192.168.1.1");
    enable("QEL_DEBUG");
    CaptureStderr();
    EXPECT_EQ(qel_open_mcast_stream(&loopback_, &unicast, 6000, &s, 0, nullptr), QEL_EINVAL);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("QEL (qel__open_stream): Invalid multicast address\n"));

    const uint32_t none = 0;
    s = nullptr;
    ASSERT_EQ(qel_open_mcast_stream(&loopback_, &none, 6000, &s, 0, nullptr), 0);
    EXPECT_EQ(s->dest_addr, loopback_);
    qel_close_stream(s);

    // Zero-loss is kept by the multicast open, and its resend fields are all 0.
    EXPECT_EQ(qel_open_mcast_stream(&loopback_, &group, 6000, &s, QEL_OPEN_ZEROLOSS, nullptr),
              QEL_EINVAL);
}

struct ResendCase {
    uint32_t block_timeout, resend_timeout, max_requests, order_mode;
    int expected;
};

class ResendValidationTest : public qel::test::StreamTest,
                             public testing::WithParamInterface<ResendCase> {};

TEST_P(ResendValidationTest, ZeroLossFields) {
    const auto &c = GetParam();
    qel_stream_options_t o{};
    o.flags = QEL_OPEN_ZEROLOSS;
    o.block_timeout = c.block_timeout;
    o.resend_timeout = c.resend_timeout;
    o.max_requests = c.max_requests;
    o.order_mode = c.order_mode;
    o.camera_addr = loopback_;
    o.camera_port = 3956;
    qel_stream_t *s = nullptr;
    EXPECT_EQ(qel_open_stream_pr(&loopback_, 5000, &s, &o, nullptr), c.expected);
    if (c.expected == 0) {
        EXPECT_GT(s->resend_fd, 0);
        qel_close_stream(s);
    } else {
        EXPECT_EQ(adapter_.command_count(), 0u) << "refused before anything is opened";
    }
}

INSTANTIATE_TEST_SUITE_P(Fields, ResendValidationTest,
                         testing::Values(ResendCase{100, 200, 0, 1, QEL_EINVAL},
                                         ResendCase{200, 100, 0, 1, 0}, ResendCase{0, 0, 3, 1, 0},
                                         ResendCase{0, 0, 0, 1, QEL_EINVAL},
                                         ResendCase{0, 50, 0, 4, 0},
                                         ResendCase{0, 0, 3, 0, QEL_EINVAL},
                                         ResendCase{0, 0, 3, 5, QEL_EINVAL}));

// The caller's record gets the default incomplete flag unless it keeps incomplete blocks.
TEST_F(OpenTest, ZeroLossStreamHasItsResendTemplate) {
    for (uint32_t extra :
         {0u, uint32_t{QEL_OPEN_EXTENDED_ID}, uint32_t{QEL_OPEN_KEEP_INCOMPLETE}}) {
        qel_stream_options_t o{};
        o.flags = QEL_OPEN_ZEROLOSS | extra;
        o.max_requests = 3;
        o.order_mode = 1;
        o.camera_addr = loopback_;
        o.camera_port = 3956;
        qel_stream_t *s = nullptr;
        ASSERT_EQ(qel_open_stream_pr(&loopback_, 5000, &s, &o, nullptr), 0);
        const bool extended = extra == QEL_OPEN_EXTENDED_ID;
        EXPECT_EQ(o.flags, extra == QEL_OPEN_KEEP_INCOMPLETE ? 0x0Au : (0x06u | extra));
        ASSERT_NE(s->resend_hdr, nullptr);
        const uint8_t standard[6] = {0x42, 0x00, 0x00, 0x40, 0x00, 0x0C};
        const uint8_t extended_header[6] = {0x42, 0x10, 0x00, 0x40, 0x00, 0x14};
        EXPECT_EQ(std::memcmp(s->resend_hdr, extended ? extended_header : standard, 6), 0);
        for (int i = 6; i < 28; ++i) EXPECT_EQ(s->resend_hdr[i], 0) << i;
        EXPECT_EQ(s->resend_last, extended ? 0xFFFFFFFFu : 0x00FFFFFFu);
        EXPECT_EQ(adapter_.commands_with(TREL_SET_EXT_ID).back().as<WordRecord>().value,
                  extended ? 1u : 0u);
        qel_close_stream(s);
    }
}

TEST_F(OpenTest, AddressesThatNoBoardCarries) {
    enable("QEL_VERBOSE");
    const uint32_t elsewhere = address("10.99.98.97");
    qel_stream_t *s = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_open_stream(&elsewhere, 5000, &s, 0, nullptr), QEL_ENODEV);
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel__open_stream): No QEL-capable device maps to specified IP address\n\n");

    const uint32_t zero = 0;
    EXPECT_EQ(qel_open_stream(&zero, 5000, &s, 0, nullptr), QEL_ENODEV);

    // A board whose host interface is none of this host's: no interface belongs to an adapter.
    adapter_.board(0).host_mac = 0x02AB00CD00EFull;
    adapter_.board(0).nic_id = 0x02AB00CD00EFull;
    CaptureStderr();
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), QEL_ENODEV);
    EXPECT_EQ(GetCapturedStderr(), "QEL (qel__open_stream): No QEL-capable device found\n\n");
    EXPECT_EQ(s, nullptr);
}

// Busy endpoints are skipped (their handles closed); any other attach failure ends the search.
TEST_F(OpenTest, BusyEndpointsAreSkipped) {
    adapter_.on(TREL_OPEN_ENDPT, [](qel::test::Call &call) {
        const uint32_t e = call.as<OpenEndpointRecord>().endpoint;
        return e < 2 ? host_error_of_driver_code(QEL_EBUSY) : 0u;
    });
    hux_handle_t endpoint = HUX_INVALID_HANDLE;
    qel_stream_t *s = nullptr;
    ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, &endpoint), 0);
    EXPECT_EQ(s->endpt, 2u);
    EXPECT_EQ(adapter_.commands_with(TREL_ENABLE_ENDPT)[0].device, qel::test::endpoint_name(0, 2));
    EXPECT_EQ(adapter_.open_handles(), 2u) << "the busy endpoints' handles were closed";
    qel_close_stream(s);
    for (int rc : {QEL_EBUSY, QEL_EACCES}) {
        adapter_.clear_commands();
        adapter_.fail(TREL_OPEN_ENDPT, rc);
        s = nullptr;
        EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), rc);
        EXPECT_EQ(adapter_.count(TREL_OPEN_ENDPT), rc == QEL_EBUSY ? 4u : 1u);
        EXPECT_EQ(adapter_.open_handles(), 1u);
        EXPECT_EQ(s, nullptr);
    }
}

TEST_F(OpenTest, BoardWithoutEndpointsFails) {
    adapter_.on(TREL_GET_ENDPT_MAX, [](qel::test::Call &call) {
        call.word() = 0;
        return 0u;
    });
    qel_stream_t *s = nullptr;
    EXPECT_NE(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), 0);
    EXPECT_EQ(s, nullptr);
}

// Each failure after the attach leaves the endpoint free for the next open.
struct AttachFailure {
    uint32_t command;
    int expected;  // a failed mapping is reported as 22, the others pass their code
};

class FailureAfterAttachTest : public qel::test::StreamTest,
                               public testing::WithParamInterface<AttachFailure> {};

TEST_P(FailureAfterAttachTest, LeavesTheEndpointFree) {
    adapter_.fail(GetParam().command, QEL_ENXIO, 1);
    qel_stream_t *s = nullptr;
    hux_handle_t endpoint = 77;
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, &endpoint), GetParam().expected);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(endpoint, 77u) << "written only on success";
    EXPECT_EQ(adapter_.open_handles(), 1u);
    ASSERT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), 0);
    EXPECT_EQ(s->endpt, 0u);
    qel_close_stream(s);
}

INSTANTIATE_TEST_SUITE_P(Commands, FailureAfterAttachTest,
                         testing::Values(AttachFailure{TREL_ENABLE_ENDPT, QEL_ENXIO},
                                         AttachFailure{TREL_GET_ENDPT_MAPS, QEL_ENXIO},
                                         AttachFailure{TREL_MMAP, QEL_EINVAL},
                                         AttachFailure{TREL_SET_EXT_ID, QEL_ENXIO}));

TEST_F(OpenTest, RegionsTooSmallForTheRingAreRefused) {
    adapter_.on(TREL_GET_ENDPT_MAPS, [](qel::test::Call &call) {
        auto &maps = call.as<EndpointMapsRecord>();
        for (int i = 0; i < kRegionCount; ++i) {
            region_place(maps, i) = {i * qel::test::EndpointRegions::kRegionOffsetStep, 32};
        }
        return 0u;
    });
    qel_stream_t *s = nullptr;
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(adapter_.open_handles(), 1u);
}

TEST_F(OpenTest, NothingBeforeInitAndNullArguments) {
    qel::core::reset_library_state();
    qel::core::qel_verbose.store(1);
    qel_stream_t *s = nullptr;
    CaptureStderr();
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, &s, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(GetCapturedStderr(), "QEL (qel__open_stream): QEL library not initialized\n");
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    EXPECT_EQ(qel_open_stream(&loopback_, 5000, nullptr, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_open_stream(nullptr, 5000, &s, 0, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_open_stream_pr(&loopback_, 5000, &s, nullptr, nullptr), QEL_EINVAL);
    EXPECT_EQ(qel_close_stream(nullptr), QEL_EINVAL);
}

TEST_F(OpenTest, CloseSendsTheFilterDeleteAndReleasesEvenWhenItFails) {
    qel_stream_t *s = open();
    adapter_.clear_commands();
    EXPECT_EQ(qel_close_stream(s), 0);
    auto filters = adapter_.commands_with(TREL_FILTER_OP);
    ASSERT_EQ(filters.size(), 1u);
    const std::vector<uint8_t> expected = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
    EXPECT_EQ(filters[0].input, expected);
    EXPECT_EQ(adapter_.open_handles(), 1u);
    s = open();
    adapter_.fail(TREL_FILTER_OP, QEL_EBUSY);
    enable("QEL_DEBUG");
    CaptureStderr();
    EXPECT_EQ(qel_close_stream(s), QEL_EBUSY);
    const std::string err = GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("filter-del ip 0, port 0 to tag 1: FAILED with return value 16\n"));
    EXPECT_THAT(err, HasSubstr("QEL (qel_close_stream): Could not set filter\n"));
    EXPECT_EQ(adapter_.open_handles(), 1u);
}

TEST_F(OpenTest, FilterLines) {
    qel_stream_t *s = open();
    enable("QEL_DEBUG");
    CaptureStderr();
    EXPECT_EQ(qel_filter_op(s, address("192.168.1.20"), 5000, QEL_FILTER_ADD), 0);
    EXPECT_EQ(GetCapturedStderr(),
              "QEL (qel_filter_op): filter-add ip c0a80114, port 5000 to tag 1, vlan: 00000000\n");
    auto filters = adapter_.commands_with(TREL_FILTER_OP);
    ASSERT_EQ(filters.size(), 1u);
    const std::vector<uint8_t> expected = {0x14, 0x01, 0xA8, 0xC0, 0x88, 0x13, 0, 0,
                                           1,    0,    0,    0,    0,    0,    0, 0};
    EXPECT_EQ(filters[0].input, expected);

    adapter_.fail(TREL_FILTER_OP, QEL_EACCES);
    CaptureStderr();
    EXPECT_EQ(qel_filter_op(s, address("192.168.1.20"), 5000, QEL_FILTER_ADD), QEL_EACCES);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("\nfilter-add ip c0a80114, port 1388 to tag 1: FAILED with return "
                          "value 13\n"));
    qel_close_stream(s);
}

}  // namespace
