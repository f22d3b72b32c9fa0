// qel_poll_recv: the plain receive call.
#include "core/log.h"
#include "qel.h"
#include "recv/descriptor.h"
#include "recv/take_buffer.h"
#include "stream/stream.h"

namespace {

constexpr const char *kTag = "qel_poll_recv";

using namespace qel::recv;

}  // namespace

extern "C" QEL_EXPORT int qel_poll_recv(qel_stream_t *stream, qel_block_t *block_out,
                                        int32_t timeout) {
    if (stream == nullptr || block_out == nullptr) return QEL_EINVAL;
    qel_stats_t &stats = *stream->stats;
    DescriptorResult d;
    int rc = next_descriptor(stream, timeout, d);
    for (;;) {
        if (rc != 0) {
            qel::stream::count(stats.poll_errors);
            return rc;
        }
        const unsigned long block_id = static_cast<unsigned long>(stream->block.block_id);
        const int packet = static_cast<int>(d.packet_id);
        switch (d.status) {
            case KOB_QEL_STATUS_COMPLETE:
                if (!take_buffer(stream)) break;
                *block_out = stream->block;
                stream->block = qel_block_t{};
                qel::stream::count(stream->delivered_blocks);
                qel::stream::count(stats.blocks_complete);
                return 0;
            case KOB_QEL_STATUS_INCOMPLETE:
                // The firmware is still collecting the block: nothing moves.
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_INCOMPLETE blk=%lu, pkt=%d", block_id,
                                 packet);
                return QEL_EAGAIN;
            case KOB_QEL_STATUS_INCOMPLETE_FINAL:
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_INCOMPLETE_FINAL blk=%lu, pkt=%d", block_id,
                                 packet);
                if (!take_buffer(stream)) break;
                qel::stream::count(stats.blocks_dropped);
                qel::stream::count(stream->dropped_blocks);
                requeue(stream);
                // One call skips any number of failed blocks.
                rc = next_descriptor(stream, timeout, d);
                continue;
            case KOB_QEL_STATUS_BUFFER_OVERFLOW:
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_BUFFER_OVERFLOW blk=%lu, pkt=%d", block_id,
                                 packet);
                if (!take_buffer(stream)) break;
                qel::stream::count(stats.blocks_dropped);
                qel::stream::count(stats.poll_errors);
                qel::stream::count(stream->dropped_blocks);
                requeue(stream);
                return QEL_ENOMEM;
            case KOB_QEL_STATUS_NO_BUFFERS:
                QEL_DEBUG_TAGGED(kTag, "KOB_QEL_STATUS_NO_BUFFERS blk=%lu, pkt=%d", block_id,
                                 packet);
                qel::stream::count(stats.blocks_dropped);
                qel::stream::count(stats.poll_errors);
                qel::stream::count(stream->dropped_blocks);
                return QEL_ENOBUFS;
            default:
                break;
        }
        // A status the stream cannot pair with its state: an unknown status, or a finished
        // block while no buffer is queued. Nothing is delivered.
        QEL_DEBUG_TAGGED(kTag, "unexpected firmware status %d blk=%lu, pkt=%d", d.status, block_id,
                         packet);
        qel::stream::count(stats.poll_errors);
        return QEL_EPROTO;
    }
}
