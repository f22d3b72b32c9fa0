// Small status and control operations on a stream's board.
#include <cstring>

#include "core/driver.h"
#include "core/log.h"
#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"

namespace {

constexpr uint32_t kNoTimeSource = UINT32_MAX;

// The board's raw time-source state, grouped; kNoTimeSource for a state it should not report.
uint32_t reported_time_source(uint32_t raw) {
    switch (raw) {
        case 0:
        case 1:
            return 0;
        case 2:
        case 3:
        case 4:
            return 1;
        case 5:
            return 2;
        case 6:
            return 3;
        default:
            return kNoTimeSource;
    }
}

}  // namespace

extern "C" {

QEL_EXPORT int qel_get_link_state(qel_stream_t *stream, uint32_t *state) {
    if (stream == nullptr || state == nullptr) return QEL_EINVAL;
    uint32_t word = stream->board;
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_GET_LINK_STATE, &word, sizeof word);
    if (rc != 0) return rc;
    *state = word & 1;
    return 0;
}

QEL_EXPORT int qel_get_timesource_state(qel_stream_t *stream, uint32_t *state) {
    if (stream == nullptr || state == nullptr) return QEL_EINVAL;
    uint32_t word = stream->board;
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_GET_TIMESOURCE, &word, sizeof word);
    if (rc != 0) return rc;
    const uint32_t reported = reported_time_source(word);
    if (reported == kNoTimeSource) return QEL_ENODEV;
    *state = reported;
    return 0;
}

QEL_EXPORT int qel_get_camera_id_stream(qel_stream_t *stream, uint64_t *camera_id) {
    if (stream == nullptr || camera_id == nullptr) return QEL_EINVAL;
    *camera_id = stream->opts->camera_id;
    return 0;
}

QEL_EXPORT int qel_drop_packet(qel_stream_t *stream, uint32_t block, uint32_t packet) {
    constexpr const char *kTag = "qel_drop_packet";
    if (!qel::core::initialised()) {
        QEL_VERBOSE_TAGGED(kTag, "QEL library not initialized");
        return QEL_EINVAL;
    }
    if (stream == nullptr) return QEL_EINVAL;
    qel::driver::DropPacketRecord record{block, packet};
    int result = 0;
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_DROP_PACKET, &record, sizeof record);
    if (rc != 0) {
        QEL_VERBOSE_TAGGED(kTag, "Could not request drop: %s", qel_strerror(rc));
        result = QEL_EINVAL;
    }
    QEL_DEBUG_TAGGED(kTag, "force drop block %u packet %u stream %d", block, packet,
                     static_cast<int>(stream->endpt));
    return result;
}

}  // extern "C"
