// Opening a stream: the board that carries the local address, a free endpoint on it, its
// shared regions, and the resend socket of a zero-loss stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/driver.h"
#include "core/log.h"
#include "core/shared_memory.h"
#include "core/span.h"
#include "core/state.h"
#include "hux.h"
#include "qel.h"
#include "stream/stream.h"

namespace qel::stream {

namespace {

constexpr const char *kTag = "qel__open_stream";
constexpr uint32_t kMaxOrderMode = 4;

// The resend fields of a zero-loss stream: timeouts that can end a block, and an order mode.
bool resend_options_valid(const qel_stream_options_t &o) {
    if (o.block_timeout != 0 && o.resend_timeout != 0 && o.block_timeout < o.resend_timeout) {
        return false;
    }
    if (o.block_timeout == 0 && o.resend_timeout == 0 && o.max_requests == 0) return false;
    return o.order_mode >= 1 && o.order_mode <= kMaxOrderMode;
}

bool is_multicast(uint32_t network_order_addr) {
    return (network_order_addr & htonl(0xF0000000u)) == htonl(0xE0000000u);
}

// Attaches the first free endpoint of `board`: a busy endpoint is skipped, any other refusal
// ends the search.
int attach_endpoint(qel_stream_t *stream, uint32_t board) {
    uint32_t count = 0;
    int rc = hux_ioctl(core::qel_board_handle, driver::TREL_GET_ENDPT_MAX, &count, sizeof count);
    if (rc != 0) return rc;
    int last = 0;
    for (uint32_t e = 0; e < count; ++e) {
        hux_handle_t h = HUX_INVALID_HANDLE;
        rc = hux_open(board, e, &h, HUX_PRODUCT_CODE);
        if (rc != 0) {
            last = rc;
            continue;
        }
        driver::OpenEndpointRecord open{e, driver::kOpenEndpointMagic};
        rc = hux_ioctl(h, driver::TREL_OPEN_ENDPT, &open, sizeof open);
        if (rc == 0) {
            stream->handle = h;
            stream->board = board;
            stream->endpt = e;
            return 0;
        }
        hux_close(h);
        if (rc != QEL_EBUSY) return rc;
        last = rc;
    }
    return last;
}

// Brings every page of a region in before the first block arrives.
void touch_region(const qel_stream_region &region) {
    const volatile uint8_t *p = reinterpret_cast<const volatile uint8_t *>(region.address);
    for (uint64_t offset = 0; offset < region.length; offset += kPageBytes) (void)p[offset];
}

// The doorbell, the clock page and the progress page are read and written as aligned atomic
// words of up to 8 bytes; every region is held to that.
constexpr uint64_t kRegionAlignment = 8;

bool region_mapped(const qel_stream_region &r) {
    return r.address != 0 && r.address % kRegionAlignment == 0 &&
           r.length <= UINTPTR_MAX - r.address;
}

// The regions come from the driver, and nothing is laid over them (or touched) before each is
// known to be mapped where the library can use it: the ring must hold whole descriptors in a
// slot count the tags cannot alias, and the pages the library writes or reads must be there.
bool regions_usable(const qel_stream_region (&m)[driver::kRegionCount]) {
    for (const qel_stream_region &r : m) {
        if (!region_mapped(r)) return false;
    }
    const uint64_t slots = m[0].length / shm::kDescriptorBytes;
    return slots != 0 && m[0].length % shm::kDescriptorBytes == 0 && slots % shm::kTagCycle != 0 &&
           m[2].length >= shm::kDoorbellBytes && m[4].length >= shm::clock_page::kBytes &&
           m[5].length >= shm::progress_page::kBytes;
}

// Maps the six regions; QEL_EINVAL when one cannot be mapped or is unusable.
int map_endpoint(qel_stream_t *stream) {
    driver::EndpointMapsRecord maps{};
    int rc = hux_ioctl(stream->handle, driver::TREL_GET_ENDPT_MAPS, &maps, sizeof maps);
    if (rc != 0) return rc;
    constexpr int kFlags[driver::kRegionCount] = {1, 1, 0, 0, 1, 0};
    for (int i = 0; i < driver::kRegionCount; ++i) {
        const driver::RegionPlace place = driver::region_place(maps, i);
        void *p = hux_mmap(nullptr, place.length, stream->handle, place.offset, kFlags[i]);
        if (p == reinterpret_cast<void *>(~uintptr_t{0})) return QEL_EINVAL;
        stream->maps[i] = {reinterpret_cast<uintptr_t>(p), place.length};
    }
    if (!regions_usable(stream->maps)) return QEL_EINVAL;
    touch_region(stream->maps[0]);
    touch_region(stream->maps[1]);
    return 0;
}

int open_resend_socket(qel_stream_t *stream, const qel_stream_options_t &o) {
    QEL_DEBUG_TAGGED(kTag, "QEL_OPEN_ZEROLOSS set");
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd <= 0) {
        // A descriptor of 0 would read as "no socket" everywhere else: keep none.
        if (fd == 0) ::close(fd);
        return QEL_ENOMEM;
    }
    stream->resend.fd = fd;
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_addr.s_addr = o.camera_addr;
    camera.sin_port = htons(o.camera_port);
    int rc = ::connect(fd, reinterpret_cast<sockaddr *>(&camera), sizeof camera);
    if (rc != 0) {
        QEL_DEBUG_TAGGED(kTag, "Failed connect rc=%d", rc);
        return rc;
    }
    // Every request asks for the rest of the block: up to the largest packet id of the form.
    stream->resend.last = (o.flags & QEL_OPEN_EXTENDED_ID) ? 0xFFFFFFFFu : 0x00FFFFFFu;
    stream->resend.open = true;
    return 0;
}

void set_first_values(qel_stream_t *s, uint32_t local_addr, uint32_t dest_addr, uint16_t port) {
    s->local_addr = local_addr;
    s->dest_addr = dest_addr;
    s->port = port;
    s->filter_added = 0;
    s->cursor.ring_start = reinterpret_cast<uint8_t *>(s->maps[0].address);
    s->cursor.ring_end = s->cursor.ring_start + s->maps[0].length;
    s->cursor.read_ptr = s->cursor.ring_start;
    s->cursor.doorbell = reinterpret_cast<uint64_t *>(s->maps[2].address);
    s->clock_page = reinterpret_cast<uint8_t *>(s->maps[4].address);
    s->cursor.progress = reinterpret_cast<uint8_t *>(s->maps[5].address);
    s->cursor.expected_tag = shm::kFirstTag;
    s->cursor.consumed = 0;
    s->reserved_counter = 0;
    s->dropped_blocks = 0;
    s->delivered_blocks = 0;
    s->queue.head = nullptr;
    s->queue.tail = &s->queue.head;
    s->queue.queued_count = 0;
    s->owned = nullptr;
    // No thread exists yet: relaxed stores, published to a later worker by its creation.
    s->queue.credits.store(4, std::memory_order_relaxed);
    s->worker.state.store(QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE, std::memory_order_relaxed);
    s->worker.started.store(0, std::memory_order_relaxed);
    s->worker.mode.store(QEL_RECEIVE_STREAM_WORKER_UNBLOCKED, std::memory_order_relaxed);
    // The progress page: nothing consumed, tag 1 expected, reading at the ring's start.
    set_progress_word(s, shm::progress_page::kConsumed, 0);
    set_progress_word(s, shm::progress_page::kExpectedTag, shm::kFirstTag);
    set_progress_word(s, shm::progress_page::kReadOffset, 0);
    // What the firmware needs to know of the stream: whether a block missing packets may
    // still get them, and which sender the stream comes from.
    uint32_t stream_flags = 0;
    if (s->opts->flags & QEL_OPEN_ZEROLOSS) {
        stream_flags = shm::progress_page::kStreamResends;
        if (s->opts->flags & QEL_OPEN_RANGED_RESEND) {
            stream_flags |= shm::progress_page::kStreamGapReports;
        }
    }
    set_progress_word(s, shm::progress_page::kStreamFlags, stream_flags);
    set_progress_word(s, shm::progress_page::kCameraAddress, ntohl(s->opts->camera_addr));
    set_progress_word(s, shm::progress_page::kBlockTimeoutMs,
                      (s->opts->flags & QEL_OPEN_ZEROLOSS) ? s->opts->block_timeout : 0);
}

// The board of the interface that carries `local` (network order).
int find_board(uint32_t local, uint32_t &board) {
    hux_ifaddrs *first = nullptr;
    int count = 0;
    const int rc = hux_getifaddrs(&first, 1, &count);
    if (rc != 0) return rc;
    const std::unique_ptr<hux_ifaddrs, decltype(&hux_freeifaddrs)> list(first, hux_freeifaddrs);
    const uint8_t *octets = reinterpret_cast<const uint8_t *>(&local);
    QEL_DEBUG_TAGGED(kTag, "Open NIC interface %d.%d.%d.%d\n", octets[0], octets[1], octets[2],
                     octets[3]);
    if (count == 0 || first == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "No QEL-capable device found\n");
        return QEL_ENODEV;
    }
    const hux_ifaddrs *match = first;
    while (match != nullptr && match->ifa_addr != local) match = match->ifa_next;
    if (match == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "No QEL-capable device maps to specified IP address\n");
        return QEL_ENODEV;
    }
    board = match->ifa_board;
    return 0;
}

// A stream record that open has not handed to the application yet: every way out of open but
// success releases it, with whatever it holds by then.
struct StreamRelease {
    void operator()(qel_stream_t *stream) const noexcept { release_stream(stream); }
};
using OwnedStream = std::unique_ptr<qel_stream_t, StreamRelease>;

// A new stream record with its statistics and its own copy of the options; null when there is
// no memory for them.
OwnedStream new_stream(const qel_stream_options_t &options) {
    void *memory = std::calloc(1, sizeof(qel_stream_t));
    if (memory == nullptr) return nullptr;
    // Value-initialised: every field, the atomic ones included, starts at zero.
    OwnedStream stream(std::construct_at(static_cast<qel_stream_t *>(memory)));
    stream->handle = HUX_INVALID_HANDLE;
    stream->stats = static_cast<qel_stats_t *>(std::calloc(1, sizeof(qel_stats_t)));
    stream->opts = static_cast<qel_stream_options_t *>(std::malloc(sizeof(qel_stream_options_t)));
    if (stream->stats == nullptr || stream->opts == nullptr) return nullptr;
    *stream->opts = options;
    return stream;
}

}  // namespace

void release_stream(qel_stream_t *stream) noexcept {
    std::free(stream->stats);
    std::free(stream->opts);
    if (stream->resend.fd > 0) ::close(stream->resend.fd);
    // The regions go with the endpoint handle.
    if (stream->handle != HUX_INVALID_HANDLE) hux_close(stream->handle);
    std::destroy_at(stream);
    std::free(stream);
}

// The routine behind the three open entry points.
int open_stream(const uint32_t *local_addr, const uint32_t *group_addr, uint16_t port,
                qel_stream_t **stream_out, qel_stream_options_t *options,
                hux_handle_t *endpt_handle) noexcept {
    core::ScopedSpan span("qel__open_stream");
    if (stream_out == nullptr) QEL_SPAN_RETURN(span, QEL_EINVAL);
    if (!core::initialised()) {
        QEL_VERBOSE_TAGGED(kTag, "QEL library not initialized");
        QEL_SPAN_RETURN(span, QEL_EINVAL);
    }
    if (options == nullptr || local_addr == nullptr) QEL_SPAN_RETURN(span, QEL_EINVAL);
    if ((options->flags & QEL_OPEN_ZEROLOSS) && !resend_options_valid(*options)) {
        QEL_SPAN_RETURN(span, QEL_EINVAL);
    }
    if (options->flags & QEL_OPEN_IPV6) {
        QEL_VERBOSE_TAGGED(kTag, "No IPv6 support yet");
        QEL_SPAN_RETURN(span, QEL_ENOSYS);
    }
    if (!(options->flags & (QEL_OPEN_DROP_INCOMPLETE | QEL_OPEN_KEEP_INCOMPLETE))) {
        options->flags |= QEL_OPEN_DROP_INCOMPLETE;
    }
    const uint32_t local = *local_addr;
    if (local == 0) QEL_SPAN_RETURN(span, QEL_ENODEV);
    uint32_t dest = local;
    if (group_addr != nullptr && *group_addr != 0) {
        if (!is_multicast(*group_addr)) {
            QEL_DEBUG_TAGGED(kTag, "Invalid multicast address");
            QEL_SPAN_RETURN(span, QEL_EINVAL);
        }
        dest = *group_addr;
    }

    uint32_t board = 0;
    int rc = find_board(local, board);
    if (rc != 0) QEL_SPAN_RETURN(span, rc);

    OwnedStream stream = new_stream(*options);
    if (!stream) QEL_SPAN_RETURN(span, QEL_ENOMEM);
    QEL_DEBUG_TAGGED(kTag, "Attempting to open endpoint on board %d\n", static_cast<int>(board));
    rc = attach_endpoint(stream.get(), board);
    if (rc != 0 || stream->handle == HUX_INVALID_HANDLE) {
        QEL_DEBUG_TAGGED(kTag, "Could not open endpoint on board %d", static_cast<int>(board));
        // A board without endpoints attaches nothing: its enable would fail.
        QEL_SPAN_RETURN(span, rc != 0 ? rc : QEL_EINVAL);
    }
    rc = hux_ioctl(stream->handle, driver::TREL_ENABLE_ENDPT, nullptr, 0);
    if (rc != 0) {
        QEL_DEBUG_TAGGED(kTag, "Could not enable endpoint on board %d", static_cast<int>(board));
        QEL_SPAN_RETURN(span, rc);
    }
    rc = map_endpoint(stream.get());
    if (rc != 0) QEL_SPAN_RETURN(span, rc);
    if (options->flags & QEL_OPEN_ZEROLOSS) {
        rc = open_resend_socket(stream.get(), *options);
        if (rc != 0) QEL_SPAN_RETURN(span, rc);
    }
    uint32_t extended = (options->flags & QEL_OPEN_EXTENDED_ID) ? 1 : 0;
    rc = hux_ioctl(stream->handle, driver::TREL_SET_EXT_ID, &extended, sizeof extended);
    if (rc != 0) QEL_SPAN_RETURN(span, rc);
    set_first_values(stream.get(), local, dest, port);
    if (endpt_handle != nullptr) *endpt_handle = stream->handle;
    QEL_DEBUG_TAGGED(kTag, "opened strm, endpt:%d", static_cast<int>(stream->endpt));
    *stream_out = stream.release();
    QEL_SPAN_RETURN(span, 0);
}

}  // namespace qel::stream

extern "C" {

QEL_EXPORT int qel_open_stream(const uint32_t *local_addr, uint16_t port, qel_stream_t **stream,
                               uint32_t flags, hux_handle_t *endpt_handle) {
    qel::core::ScopedSpan span("qel_open_stream");
    qel_stream_options_t options{};
    options.flags = (flags & ~uint32_t{QEL_OPEN_ZEROLOSS}) | QEL_OPEN_DROP_INCOMPLETE;
    QEL_SPAN_RETURN(
        span, qel::stream::open_stream(local_addr, nullptr, port, stream, &options, endpt_handle));
}

QEL_EXPORT int qel_open_mcast_stream(const uint32_t *local_addr, const uint32_t *group_addr,
                                     uint16_t port, qel_stream_t **stream, uint32_t flags,
                                     hux_handle_t *endpt_handle) {
    qel::core::ScopedSpan span("qel_open_mcast_stream");
    qel_stream_options_t options{};
    options.flags = flags | QEL_OPEN_DROP_INCOMPLETE;
    QEL_SPAN_RETURN(span, qel::stream::open_stream(local_addr, group_addr, port, stream, &options,
                                                   endpt_handle));
}

QEL_EXPORT int qel_open_stream_pr(const uint32_t *local_addr, uint16_t port, qel_stream_t **stream,
                                  qel_stream_options_t *options, hux_handle_t *endpt_handle) {
    qel::core::ScopedSpan span("qel_open_stream_pr");
    QEL_SPAN_RETURN(
        span, qel::stream::open_stream(local_addr, nullptr, port, stream, options, endpt_handle));
}

}  // extern "C"
