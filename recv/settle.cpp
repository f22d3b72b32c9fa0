#include "recv/settle.h"

#include "core/log.h"
#include "recv/take_buffer.h"
#include "stream/stream.h"

namespace qel::recv {

namespace {

constexpr uint64_t kStandardIdMask = 0xFFFF;

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

void set_last_block_id(qel_stream_t *stream) {
    stream->last_block_id = stream->block.block_id != 0 ? stream->block.block_id : 1;
}

// The order check of a finished block, which records its id as the last one. False when the
// block is to be dropped.
bool passes_order(qel_stream_t *stream, const char *tag) {
    const uint64_t expected = expected_block_id(stream);
    set_last_block_id(stream);
    const uint64_t id = stream->block.block_id;
    if (in_order(stream, id, expected)) return true;
    QEL_DEBUG_TAGGED(tag, "Block out of order, block_id=%lu, expected=%lu",
                     static_cast<unsigned long>(id), static_cast<unsigned long>(expected));
    return delivered_out_of_order(stream->opts->order_mode, id, expected);
}

void count_drop(qel_stream_t *stream) {
    stream::count(stream->stats->blocks_dropped);
    stream::count(stream->dropped_blocks);
}

// A finished block in its buffer: delivered, or dropped by the order check.
Outcome finish(qel_stream_t *stream, int status, qel_block_t *block_out, const SettleRules &rules,
               uint64_t &delivered_counter) {
    if (rules.check_order) {
        const char *tag = status == KOB_QEL_STATUS_COMPLETE ? "qel_handle_complete"
                                                            : "qel_handle_incomplete_final";
        if (!passes_order(stream, tag)) {
            requeue(stream);
            count_drop(stream);
            return {Settled::kFail, QEL_EORDER};
        }
    }
    stream::count(stream->delivered_blocks);
    stream::count(delivered_counter);
    *block_out = stream->block;
    stream->block = qel_block_t{};
    return {Settled::kDeliver, status};
}

}  // namespace

Outcome settle(qel_stream_t *stream, const DescriptorResult &d, qel_block_t *block_out,
               const SettleRules &rules) {
    qel_stats_t &stats = *stream->stats;
    const unsigned long block_id = static_cast<unsigned long>(stream->block.block_id);
    const int packet = static_cast<int>(d.packet_id);
    switch (d.status) {
        case KOB_QEL_STATUS_COMPLETE:
            break;
        case KOB_QEL_STATUS_INCOMPLETE:
            QEL_DEBUG_TAGGED(rules.tag, "KOB_QEL_STATUS_INCOMPLETE blk=%lu, pkt=%d", block_id,
                             packet);
            return {Settled::kGoesOn, QEL_EAGAIN};
        case KOB_QEL_STATUS_INCOMPLETE_FINAL:
            QEL_DEBUG_TAGGED(rules.tag, "KOB_QEL_STATUS_INCOMPLETE_FINAL blk=%lu, pkt=%d", block_id,
                             packet);
            break;
        case KOB_QEL_STATUS_BUFFER_OVERFLOW:
            QEL_DEBUG_TAGGED(rules.tag, "KOB_QEL_STATUS_BUFFER_OVERFLOW blk=%lu, pkt=%d", block_id,
                             packet);
            break;
        case KOB_QEL_STATUS_NO_BUFFERS:
            QEL_DEBUG_TAGGED(rules.tag, "KOB_QEL_STATUS_NO_BUFFERS blk=%lu, pkt=%d", block_id,
                             packet);
            count_drop(stream);
            stream::count(stats.poll_errors);
            return {Settled::kFail, QEL_ENOBUFS};
        default:
            break;
    }
    // A status the stream cannot pair with its state: an unknown status, or a finished block
    // while no buffer is queued. Nothing is delivered.
    if (!finishes_in_buffer(d.status) || !take_buffer(stream)) {
        QEL_DEBUG_TAGGED(rules.tag, "unexpected firmware status %d blk=%lu, pkt=%d", d.status,
                         block_id, packet);
        stream::count(stats.poll_errors);
        return {Settled::kFail, QEL_EPROTO};
    }
    switch (d.status) {
        case KOB_QEL_STATUS_COMPLETE:
            return finish(stream, d.status, block_out, rules, stats.blocks_complete);
        case KOB_QEL_STATUS_INCOMPLETE_FINAL:
            if (rules.keep_incomplete) {
                return finish(stream, d.status, block_out, rules, stats.blocks_incomplete);
            }
            if (rules.check_order) set_last_block_id(stream);
            count_drop(stream);
            requeue(stream);
            return {Settled::kSkip, 0};
        default:  // KOB_QEL_STATUS_BUFFER_OVERFLOW
            count_drop(stream);
            stream::count(stats.poll_errors);
            requeue(stream);
            return {Settled::kFail, QEL_ENOMEM};
    }
}

}  // namespace qel::recv
