// Packet resend: GVCP PACKETRESEND requests, and qel_poll_recv_pr, which sends them while a
// block is incomplete.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "hux.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "recv/take_buffer.h"
#include "stream/stream.h"

namespace qel::recv {

namespace {

// A request is its 8-byte GVCP header and exactly the payload length the header declares (12
// bytes with standard ids, 20 with extended ids): a camera may refuse a datagram whose size
// disagrees with its length field.
constexpr size_t kGvcpHeaderBytes = 8;
constexpr uint64_t kNanosPerMilli = 1000000;
constexpr uint64_t kStandardIdMask = 0xFFFF;
// While a block is being resent, one call gives the firmware this long beyond the longer of the
// stream's two timeouts, counted from the block's first request, to finish the block.
constexpr uint64_t kFinalStatusGraceMs = 1000;

void put_be16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void put_be32(uint8_t *p, uint32_t v) {
    put_be16(p, static_cast<uint16_t>(v >> 16));
    put_be16(p + 2, static_cast<uint16_t>(v));
}

// The monotonic clock in nanoseconds; 0 when it cannot be read.
uint64_t now_ns() {
    hux_timespec ts{};
    if (hux_clock_gettime(0, &ts) != 0) return 0;
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

// The id the next finished block should carry. Extended ids count up through 64 bits, 0
// skipped. Standard ids are the camera's 16-bit numbers, 1 to 0xFFFF and then 1 again (a camera
// never uses 0): the block after 0xFFFF is 1, and only the low 16 bits of an id, the camera's
// own, are compared (in_order).
uint64_t expected_block_id(const qel_stream_t *stream) {
    const uint64_t last = stream->last_block_id;
    if (stream->opts->flags & QEL_OPEN_EXTENDED_ID) return last + 1 != 0 ? last + 1 : 1;
    const uint64_t camera_number = last & kStandardIdMask;
    return camera_number == kStandardIdMask ? 1 : camera_number + 1;
}

bool in_order(const qel_stream_t *stream, uint64_t id, uint64_t expected) {
    if (stream->opts->flags & QEL_OPEN_EXTENDED_ID) return id == expected;
    return (id & kStandardIdMask) == expected;
}

void set_last_block_id(qel_stream_t *stream) {
    stream->last_block_id = stream->block.block_id != 0 ? stream->block.block_id : 1;
}

// Whether a finished block whose id is not the expected one is still delivered.
bool delivered_out_of_order(uint32_t order_mode, uint64_t id, uint64_t expected) {
    const uint16_t got = static_cast<uint16_t>(id);
    const uint16_t want = static_cast<uint16_t>(expected);
    switch (order_mode) {
        case 1:
            return false;
        case 3:
            return got < want;
        case 4:
            return got > want;
        default:
            return true;
    }
}

// The order check of a finished block. Returns QEL_EORDER when it was dropped, else 0.
int check_order(qel_stream_t *stream, uint64_t expected, qel_pr_status_t *pr_status,
                const char *tag) {
    const uint64_t id = stream->block.block_id;
    if (in_order(stream, id, expected)) return 0;
    QEL_DEBUG_TAGGED(tag, "Block out of order, block_id=%lu, expected=%lu",
                     static_cast<unsigned long>(id), static_cast<unsigned long>(expected));
    if (delivered_out_of_order(stream->opts->order_mode, id, expected)) return 0;
    requeue(stream);
    qel::stream::count(stream->stats->blocks_dropped);
    qel::stream::count(stream->dropped_blocks);
    if (pr_status) pr_status->status = 1;
    return QEL_EORDER;
}

void deliver(qel_stream_t *stream, qel_block_t *block_out) {
    *block_out = stream->block;
    stream->block = qel_block_t{};
}

int handle_complete(qel_stream_t *stream, qel_block_t *block_out, uint64_t expected,
                    qel_pr_status_t *pr_status) {
    if (!take_buffer(stream)) return QEL_EPROTO;
    set_last_block_id(stream);
    int rc = check_order(stream, expected, pr_status, "qel_handle_complete");
    if (rc != 0) return rc;
    qel::stream::count(stream->delivered_blocks);
    qel::stream::count(stream->stats->blocks_complete);
    if (pr_status) {
        pr_status->packet_id = 0;
        pr_status->status = 2;
    }
    deliver(stream, block_out);
    return 0;
}

// -1 when the block was dropped for being incomplete: the caller goes on with the next block.
int handle_incomplete_final(qel_stream_t *stream, qel_block_t *block_out, uint64_t expected,
                            qel_pr_status_t *pr_status) {
    if (!take_buffer(stream)) return QEL_EPROTO;
    set_last_block_id(stream);
    if (stream->opts->flags & QEL_OPEN_DROP_INCOMPLETE) {
        qel::stream::count(stream->dropped_blocks);
        qel::stream::count(stream->stats->blocks_dropped);
        requeue(stream);
        return -1;
    }
    int rc = check_order(stream, expected, pr_status, "qel_handle_incomplete_final");
    if (rc != 0) return rc;
    qel::stream::count(stream->delivered_blocks);
    qel::stream::count(stream->stats->blocks_incomplete);
    if (pr_status) pr_status->status = 3;
    deliver(stream, block_out);
    return 0;
}

}  // namespace

}  // namespace qel::recv

using namespace qel::recv;

extern "C" {

QEL_EXPORT int qel_packet_resend(qel_stream_t *stream, uint16_t req_id, uint32_t first,
                                 uint32_t last, uint64_t block_id, uint16_t channel) {
    constexpr const char *kTag = "qel_packet_resend";
    if (stream == nullptr || stream->resend_hdr == nullptr) return QEL_EINVAL;
    uint8_t *r = stream->resend_hdr;
    put_be16(r + 6, req_id);
    put_be16(r + 8, channel);
    if (stream->opts->flags & QEL_OPEN_EXTENDED_ID) {
        put_be32(r + 20, static_cast<uint32_t>(block_id >> 32));
        put_be32(r + 24, static_cast<uint32_t>(block_id));
    } else {
        put_be16(r + 10, static_cast<uint16_t>(block_id));
    }
    put_be32(r + 12, first);
    put_be32(r + 16, last);
    const size_t request_bytes = kGvcpHeaderBytes + size_t{uint16_t(r[4] << 8 | r[5])};
    qel_stats_t &stats = *stream->stats;
    qel::stream::count(stats.resend_requests);
    if (stream->resend_fd <= 0) {
        QEL_DEBUG_TAGGED(kTag, "No packet resend fd");
        qel::stream::count(stats.resend_failed);
        return QEL_EINVAL;
    }
    QEL_DEBUG_TAGGED(kTag, "packet resend: req_id:%u, first:%u, last:%u, block:%lu, channel:%u",
                     req_id, first, last, static_cast<unsigned long>(block_id), channel);
    if (::send(stream->resend_fd, r, request_bytes, MSG_NOSIGNAL) !=
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
    constexpr const char *kTag = "qel_poll_recv_pr";
    if (stream == nullptr || block_out == nullptr) return QEL_EINVAL;
    qel_stats_t &stats = *stream->stats;
    const qel_stream_options_t &opts = *stream->opts;
    const uint64_t call_bound_ms =
        uint64_t{std::max(opts.block_timeout, opts.resend_timeout)} + kFinalStatusGraceMs;
next_block:
    const uint64_t expected = expected_block_id(stream);
    uint32_t resends = 0;
    bool pending = false;
    bool gave_up = false;
    bool block_timer = false;
    uint64_t block_start = 0;
    uint64_t last_request = 0;
    for (;;) {
        if (block_timer) {
            // A firmware that never finishes the block must not hold the caller for ever. The
            // block stays given up: its later INCOMPLETE statuses send nothing, and a later
            // call handles its final status.
            const uint64_t elapsed = now_ns() - block_start;
            if (elapsed / kNanosPerMilli >= call_bound_ms) {
                QEL_DEBUG_TAGGED(kTag, "No final status after %luns",
                                 static_cast<unsigned long>(elapsed));
                if (!gave_up) qel::stream::count(stats.block_timeouts);
                stream->pr_given_up = true;
                stream->pr_given_up_block = stream->block.block_id;
                return QEL_EAGAIN;
            }
        }
        DescriptorResult d;
        int rc = next_descriptor(stream, 0, d);
        if (rc != 0) {
            if (resends == 0) {
                qel::stream::count(stats.poll_errors);
                return rc;
            }
            if (gave_up) continue;
            if (block_timer && opts.block_timeout != 0) {
                const uint64_t elapsed = now_ns() - block_start;
                if (elapsed / kNanosPerMilli >= opts.block_timeout) {
                    QEL_DEBUG_TAGGED(kTag, "Block timeout exceeded after %luns",
                                     static_cast<unsigned long>(elapsed));
                    qel::stream::count(stats.block_timeouts);
                    gave_up = true;
                }
                continue;
            }
            if (pending && opts.resend_timeout != 0) {
                const uint64_t elapsed = now_ns() - last_request;
                if (elapsed / kNanosPerMilli >= opts.resend_timeout) {
                    QEL_DEBUG_TAGGED(kTag, "Resend timeout exceeded after %luns",
                                     static_cast<unsigned long>(elapsed));
                    qel::stream::count(stats.resend_timeouts);
                    gave_up = true;
                }
            }
            continue;
        }

        pending = false;
        if (pr_status) {
            pr_status->block_id = stream->block.block_id;
            pr_status->req_id = static_cast<uint16_t>(req_id_base + resends);
            pr_status->resend_count = resends;
            pr_status->packet_id = d.packet_id;
        }
        const unsigned long block_id = static_cast<unsigned long>(stream->block.block_id);
        const int packet = static_cast<int>(d.packet_id);
        // Any descriptor but an INCOMPLETE status ends the block an earlier call gave up on.
        const bool given_up_before = d.status == KOB_QEL_STATUS_INCOMPLETE && stream->pr_given_up &&
                                     stream->pr_given_up_block == stream->block.block_id;
        if (d.status != KOB_QEL_STATUS_INCOMPLETE) stream->pr_given_up = false;
        switch (d.status) {
            case KOB_QEL_STATUS_COMPLETE:
                rc = handle_complete(stream, block_out, expected, pr_status);
                if (rc == QEL_EPROTO) break;
                return rc;
            case KOB_QEL_STATUS_INCOMPLETE: {
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_INCOMPLETE blk=%lu, pkt=%d", block_id,
                                 packet);
                if (gave_up || given_up_before) continue;
                if (opts.max_requests != 0 && resends >= opts.max_requests) {
                    QEL_DEBUG_TAGGED(kTag, "Resend retry limit exceeded");
                    qel::stream::count(stats.resend_limit_hits);
                    gave_up = true;
                    continue;
                }
                rc = qel_packet_resend(stream, static_cast<uint16_t>(req_id_base + resends),
                                       d.packet_id, stream->resend_last, stream->block.block_id,
                                       opts.channel);
                if (rc != 0) QEL_DEBUG_TAGGED(kTag, "Failed to send packet resend rc=%d", rc);
                ++resends;
                pending = true;
                const uint64_t now = now_ns();
                last_request = now;
                if (!block_timer) {
                    // The block timer starts with the block's first request, not its leader.
                    block_timer = true;
                    block_start = now;
                } else if (opts.block_timeout != 0 &&
                           (now - block_start) / kNanosPerMilli >= opts.block_timeout) {
                    QEL_DEBUG_TAGGED(kTag, "Block timeout exceeded after %luns",
                                     static_cast<unsigned long>(now - block_start));
                    qel::stream::count(stats.block_timeouts);
                    gave_up = true;
                }
                continue;
            }
            case KOB_QEL_STATUS_INCOMPLETE_FINAL: {
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_INCOMPLETE_FINAL blk=%lu, pkt=%d", block_id,
                                 packet);
                rc = handle_incomplete_final(stream, block_out, expected, pr_status);
                if (rc == -1) goto next_block;
                if (rc == QEL_EPROTO) break;
                return rc;
            }
            case KOB_QEL_STATUS_BUFFER_OVERFLOW:
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_BUFFER_OVERFLOW blk=%lu, pkt=%d", block_id,
                                 packet);
                if (!take_buffer(stream)) break;
                qel::stream::count(stream->dropped_blocks);
                qel::stream::count(stats.blocks_dropped);
                qel::stream::count(stats.poll_errors);
                requeue(stream);
                if (pr_status) pr_status->status = 0;
                return QEL_ENOMEM;
            case KOB_QEL_STATUS_NO_BUFFERS:
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_NO_BUFFERS blk=%lu, pkt=%d", block_id,
                                 packet);
                qel::stream::count(stream->dropped_blocks);
                qel::stream::count(stats.blocks_dropped);
                qel::stream::count(stats.poll_errors);
                if (pr_status) pr_status->status = 0;
                return QEL_ENOBUFS;
            default:
                break;
        }
        QEL_DEBUG_TAGGED(kTag, "unexpected firmware status %d blk=%lu, pkt=%d", d.status, block_id,
                         packet);
        qel::stream::count(stats.poll_errors);
        return QEL_EPROTO;
    }
}

}  // extern "C"
