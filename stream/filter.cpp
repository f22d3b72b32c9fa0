// The receive filter: which UDP packets the adapter steers to the stream's endpoint.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "core/driver.h"
#include "core/log.h"
#include "qel.h"
#include "stream/stream.h"

extern "C" QEL_EXPORT int qel_filter_op(qel_stream_t *stream, uint32_t addr, uint16_t port,
                                        qel_filter_operation_t operation) {
    if (stream == nullptr) return QEL_EINVAL;
    // Anything but the two operations is refused before the driver hears of it: read as a
    // delete, a stray value would silently take the stream's filter away. A C caller may pass
    // any int, which is no value of this enum in C++: its bytes are read as the integer.
    uint32_t value = 0;
    static_assert(sizeof operation == sizeof value);
    std::memcpy(&value, &operation, sizeof value);
    if (value != QEL_FILTER_ADD && value != QEL_FILTER_DELETE) return QEL_EINVAL;
    const bool add = operation == QEL_FILTER_ADD;
    const char *what = add ? "filter-add" : "filter-del";
    qel::driver::FilterRecord record{};
    record.address = add ? ntohl(addr) : 0;  // first octet most significant
    record.port = add ? port : 0;
    record.vlan = 0;
    record.tag = 1;
    record.operation = add ? qel::driver::kFilterAdd : qel::driver::kFilterDelete;
    QEL_DEBUG_TAGGED("qel_filter_op", "%s ip %x, port %d to tag %d, vlan: %08x", what,
                     record.address, record.port, record.tag, record.vlan);
    std::fflush(stdout);
    int rc = hux_ioctl(stream->handle, qel::driver::TREL_FILTER_OP, &record, sizeof record);
    if (rc != 0) {
        std::fprintf(stderr, "%s ip %x, port %x to tag %d: FAILED with return value %d\n", what,
                     record.address, record.port, record.tag, rc);
        std::fflush(stdout);
        return rc;
    }
    return 0;
}
