// Packet resend: GVCP PACKETRESEND requests, and qel_poll_recv_pr, which sends them while a
// block is incomplete.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/byte_order.h"
#include "core/log.h"
#include "hux.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "recv/resend.h"
#include "recv/settle.h"
#include "stream/stream.h"

namespace qel::recv {

namespace {

// The request's fields: a GVCP command header, then its payload. Multi-byte fields are
// big-endian.
namespace request {
constexpr size_t kKey = 0;  // 0x42
constexpr size_t kFlags = 1;
constexpr size_t kCommand = 2;
constexpr size_t kLength = 4;  // payload bytes after the header
constexpr size_t kReqId = 6;
constexpr size_t kChannel = 8;
constexpr size_t kBlockId16 = 10;  // standard ids only
constexpr size_t kFirst = 12;
constexpr size_t kLast = 16;
constexpr size_t kBlockId64 = 20;  // extended ids only
constexpr size_t kHeaderBytes = 8;
constexpr uint8_t kKeyValue = 0x42;
constexpr uint8_t kExtendedIdFlag = 0x10;
constexpr uint16_t kPacketResend = 0x0040;
constexpr uint16_t kStandardLength = 12;
constexpr uint16_t kExtendedLength = 20;
static_assert(kHeaderBytes + kExtendedLength == kResendRequestMaxBytes);
}  // namespace request

constexpr uint64_t kNanosPerMilli = 1000000;
// While a block is being resent, one call gives the firmware this long beyond the longer of the
// stream's two timeouts, counted from the block's first request, to finish the block.
constexpr uint64_t kFinalStatusGraceMs = 1000;

// The monotonic clock in nanoseconds; 0 when it cannot be read.
uint64_t now_ns() {
    hux_timespec ts{};
    if (hux_clock_gettime(0, &ts) != 0) return 0;
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// One block's watch in a qel_poll_recv_pr call: its resend series and the timers that end it.
struct BlockWatch {
    ResendSeries series;
    bool pending = false;  // a request went out and no descriptor came since
    bool gave_up = false;
    bool block_timer = false;
    uint64_t block_start = 0;
    uint64_t last_request = 0;
};

constexpr const char *kPollTag = "qel_poll_recv_pr";

// Gives the block up once `limit_ms` (0: no limit) has passed from `since` to `now`, counting
// the timeout in `counter`.
void give_up_after(BlockWatch &w, uint64_t since, uint64_t now, uint32_t limit_ms,
                   uint64_t &counter, const char *which) {
    const uint64_t elapsed = now - since;
    if (limit_ms == 0 || elapsed / kNanosPerMilli < limit_ms) return;
    QEL_DEBUG_TAGGED(kPollTag, "%s timeout exceeded after %luns", which,
                     static_cast<unsigned long>(elapsed));
    qel::stream::count(counter);
    w.gave_up = true;
}

// Nothing came while a series is under way: a timeout may give the block up. The block timer
// runs from the first request on, so it is the one that counts when the stream has it.
void check_timeouts(qel_stream_t *stream, BlockWatch &w) {
    const qel_stream_options_t &opts = *stream->opts;
    qel_stats_t &stats = *stream->stats;
    if (w.gave_up) return;
    if (w.block_timer && opts.block_timeout != 0) {
        give_up_after(w, w.block_start, now_ns(), opts.block_timeout, stats.block_timeouts,
                      "Block");
    } else if (w.pending) {
        give_up_after(w, w.last_request, now_ns(), opts.resend_timeout, stats.resend_timeouts,
                      "Resend");
    }
}

// An INCOMPLETE status of a block still watched: the next request of its series, unless the
// series has used its rounds and the status begins another.
void request_more(qel_stream_t *stream, BlockWatch &w, const DescriptorResult &d) {
    const qel_stream_options_t &opts = *stream->opts;
    qel_stats_t &stats = *stream->stats;
    if (opts.max_requests != 0 && w.series.rounds >= opts.max_requests &&
        w.series.opens_round(stream, d.gap)) {
        QEL_DEBUG_TAGGED(kPollTag, "Resend retry limit exceeded");
        qel::stream::count(stats.resend_limit_hits);
        w.gave_up = true;
        return;
    }
    const int rc = w.series.request(stream, d.packet_id, d.gap, stream->block.block_id);
    if (rc != 0) QEL_DEBUG_TAGGED(kPollTag, "Failed to send packet resend rc=%d", rc);
    w.pending = true;
    const uint64_t now = now_ns();
    w.last_request = now;
    if (!w.block_timer) {
        // The block timer starts with the block's first request, not its leader.
        w.block_timer = true;
        w.block_start = now;
    } else {
        give_up_after(w, w.block_start, now, opts.block_timeout, stats.block_timeouts, "Block");
    }
}

// How long the call may wait in the driver for the block's next descriptor once a request is
// out: until the first moment a timeout could end the block, at least the driver's 1 ms. A
// caller that spun here instead would take the processor from the firmware's thread, which
// has to receive the very packets it waits for.
int32_t wait_budget_ms(const qel_stream_options_t &opts, const BlockWatch &w,
                       uint64_t call_bound_ms) {
    const uint64_t now = now_ns();
    uint64_t until = w.block_start + call_bound_ms * kNanosPerMilli;
    if (w.block_timer && opts.block_timeout != 0) {
        until = std::min(until, w.block_start + uint64_t{opts.block_timeout} * kNanosPerMilli);
    } else if (w.pending && opts.resend_timeout != 0) {
        until = std::min(until, w.last_request + uint64_t{opts.resend_timeout} * kNanosPerMilli);
    }
    if (until <= now) return 1;
    const uint64_t ms = (until - now + kNanosPerMilli - 1) / kNanosPerMilli;
    return static_cast<int32_t>(std::min<uint64_t>(ms, INT32_MAX));
}

// What the resending call reports of a settled block besides its result.
void report(qel_pr_status_t *pr_status, const Outcome &outcome) {
    if (pr_status == nullptr) return;
    if (outcome.action == Settled::kDeliver) {
        if (outcome.code == KOB_QEL_STATUS_COMPLETE) {
            pr_status->packet_id = 0;
            pr_status->status = 2;
        } else {
            pr_status->status = 3;
        }
    } else if (outcome.action == Settled::kFail) {
        if (outcome.code == QEL_EORDER) pr_status->status = 1;
        if (outcome.code == QEL_ENOMEM || outcome.code == QEL_ENOBUFS) pr_status->status = 0;
    }
}

// Reads one block to its end, asking for its missing packets while it is incomplete.
Outcome watch_block(qel_stream_t *stream, qel_block_t *block_out, uint16_t req_id_base,
                    qel_pr_status_t *pr_status) {
    qel_stats_t &stats = *stream->stats;
    const qel_stream_options_t &opts = *stream->opts;
    const SettleRules rules{kPollTag, (opts.flags & QEL_OPEN_DROP_INCOMPLETE) == 0, true};
    const uint64_t call_bound_ms =
        uint64_t{std::max(opts.block_timeout, opts.resend_timeout)} + kFinalStatusGraceMs;
    BlockWatch w;
    w.series.first_req_id = req_id_base;
    for (;;) {
        if (w.block_timer) {
            // A firmware that never finishes the block must not hold the caller for ever. The
            // block stays given up: its later INCOMPLETE statuses send nothing, and a later
            // call handles its final status.
            const uint64_t elapsed = now_ns() - w.block_start;
            if (elapsed / kNanosPerMilli >= call_bound_ms) {
                QEL_DEBUG_TAGGED(kPollTag, "No final status after %luns",
                                 static_cast<unsigned long>(elapsed));
                if (!w.gave_up) qel::stream::count(stats.block_timeouts);
                stream->resend.pr_given_up.mark(stream->block.block_id);
                return {Settled::kFail, QEL_EAGAIN};
            }
        }
        DescriptorResult d;
        const int32_t wait = w.series.sent == 0 ? 0 : wait_budget_ms(opts, w, call_bound_ms);
        if (const int rc = next_descriptor(stream, wait, d); rc != 0) {
            if (w.series.sent == 0) {
                qel::stream::count(stats.poll_errors);
                return {Settled::kFail, rc};
            }
            check_timeouts(stream, w);
            continue;
        }
        w.pending = false;
        if (pr_status) {
            pr_status->block_id = stream->block.block_id;
            pr_status->req_id = w.series.next_req_id();
            pr_status->resend_count = w.series.sent;
            pr_status->packet_id = d.packet_id;
        }
        // Any descriptor but an INCOMPLETE status ends the block an earlier call gave up on.
        const bool given_up_before = d.status == KOB_QEL_STATUS_INCOMPLETE &&
                                     stream->resend.pr_given_up.holds(stream->block.block_id);
        if (d.status != KOB_QEL_STATUS_INCOMPLETE) stream->resend.pr_given_up.clear();
        const Outcome outcome = settle(stream, d, block_out, rules);
        if (outcome.action != Settled::kGoesOn) {
            report(pr_status, outcome);
            return outcome;
        }
        if (!w.gave_up && !given_up_before) request_more(stream, w, d);
    }
}

}  // namespace

size_t encode_resend_request(const ResendRequest &r,
                             std::span<uint8_t, kResendRequestMaxBytes> out) {
    std::fill(out.begin(), out.end(), uint8_t{0});
    uint8_t *p = out.data();
    const uint16_t length = r.extended ? request::kExtendedLength : request::kStandardLength;
    p[request::kKey] = request::kKeyValue;
    p[request::kFlags] = r.extended ? request::kExtendedIdFlag : 0;
    store_be16(p + request::kCommand, request::kPacketResend);
    store_be16(p + request::kLength, length);
    store_be16(p + request::kReqId, r.req_id);
    store_be16(p + request::kChannel, r.channel);
    if (r.extended) {
        store_be64(p + request::kBlockId64, r.block_id);
    } else {
        store_be16(p + request::kBlockId16, static_cast<uint16_t>(r.block_id));
    }
    store_be32(p + request::kFirst, r.first);
    store_be32(p + request::kLast, r.last);
    return request::kHeaderBytes + length;
}

namespace {

bool asks_for_gaps(const qel_stream_t *stream) {
    return (stream->opts->flags & QEL_OPEN_RANGED_RESEND) != 0;
}

}  // namespace

bool ResendSeries::opens_round(const qel_stream_t *stream, const GapReport &gap) const {
    return rounds == 0 || !asks_for_gaps(stream) || !gap.marked || gap.opens_report;
}

int ResendSeries::request(qel_stream_t *stream, uint32_t first_packet, const GapReport &gap,
                          uint64_t block_id) {
    const uint32_t block_end = stream->resend.last;
    // An end before the gap's start or beyond the highest packet id is no end: the rest of the
    // block is asked for, as of a firmware that names none.
    const bool to_gap_end =
        asks_for_gaps(stream) && gap.end_known && gap.last >= first_packet && gap.last <= block_end;
    if (opens_round(stream, gap)) ++rounds;
    const int rc =
        qel_packet_resend(stream, next_req_id(), first_packet, to_gap_end ? gap.last : block_end,
                          block_id, stream->opts->channel);
    ++sent;
    return rc;
}

}  // namespace qel::recv

using namespace qel::recv;

extern "C" {

QEL_EXPORT int qel_packet_resend(qel_stream_t *stream, uint16_t req_id, uint32_t first,
                                 uint32_t last, uint64_t block_id, uint16_t channel) {
    constexpr const char *kTag = "qel_packet_resend";
    if (stream == nullptr || !stream->resend.open) return QEL_EINVAL;
    const ResendRequest request{req_id, channel, block_id,
                                first,  last,    (stream->opts->flags & QEL_OPEN_EXTENDED_ID) != 0};
    uint8_t datagram[kResendRequestMaxBytes];
    const size_t request_bytes = encode_resend_request(request, datagram);
    qel_stats_t &stats = *stream->stats;
    qel::stream::count(stats.resend_requests);
    if (stream->resend.fd <= 0) {
        QEL_DEBUG_TAGGED(kTag, "No packet resend fd");
        qel::stream::count(stats.resend_failed);
        return QEL_EINVAL;
    }
    QEL_DEBUG_TAGGED(kTag, "packet resend: req_id:%u, first:%u, last:%u, block:%lu, channel:%u",
                     req_id, first, last, static_cast<unsigned long>(block_id), channel);
    if (::send(stream->resend.fd, datagram, request_bytes, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request_bytes)) {
        const int error = errno != 0 ? errno : EIO;
        QEL_DEBUG_TAGGED(kTag, "packet resend failed send");
        qel::stream::count(stats.resend_failed);
        return error;
    }
    qel::stream::count(stats.resend_sent);
    return 0;
}

QEL_EXPORT int qel_poll_recv_pr(qel_stream_t *stream, qel_block_t *block_out, uint16_t req_id_base,
                                qel_pr_status_t *pr_status) {
    if (stream == nullptr || block_out == nullptr) return QEL_EINVAL;
    // A block dropped for lacking packets is followed by the next one within the same call.
    for (;;) {
        const Outcome outcome = watch_block(stream, block_out, req_id_base, pr_status);
        if (outcome.action == Settled::kDeliver) return 0;
        if (outcome.action != Settled::kSkip) return outcome.code;
    }
}

}  // extern "C"
