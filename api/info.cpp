// qel_info: a stream's counters, read from the stream record and the receive worker's.
#include "qel.h"
#include "stream/stream.h"

extern "C" QEL_EXPORT int qel_info(qel_stream_t *stream, qel_info_t *info) {
    if (stream == nullptr || info == nullptr) return QEL_EINVAL;
    info->reserved = stream->reserved_counter;
    // A receive worker that drops blocks counts them on its own thread.
    info->dropped = qel::stream::counter_value(stream->dropped_blocks);
    info->delivered = qel::stream::counter_value(stream->delivered_blocks);
    return 0;
}
