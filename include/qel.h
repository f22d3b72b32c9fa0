/*
 * qel: receive GigE Vision streams through an adapter whose firmware reassembles each block
 * straight into an application buffer.
 *
 * The one API header of the library. Usable from C and C++. All functions return 0 on
 * success or one of the QEL_E* result codes below unless their comment says otherwise.
 */
#ifndef QEL_H
#define QEL_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include "hux.h"

#ifdef __cplusplus
extern "C" {
#endif

/* API version: major number in the high byte, minor number in the low byte. An application
 * passes the version it was compiled against to qel_init. */
#define QEL_API_VERSION 0x0102
#define QEL_RELEASE "2.0.1.0"

/* Result codes. These numbers are the library's own on every host; they are not the host's
 * errno values (on Linux 40, 110 and 138 mean other things). qel_strerror gives the text. */
#define QEL_OK 0
#define QEL_ENOENT 2      /* no such entry, or no such name stored */
#define QEL_EORDER 5      /* block dropped because it arrived out of order */
#define QEL_ENXIO 6       /* driver speaks another API, or no such device or address */
#define QEL_EAGAIN 11     /* nothing yet: no block within the timeout */
#define QEL_ENOMEM 12     /* out of memory, or a block too large for its buffer */
#define QEL_EACCES 13     /* access refused */
#define QEL_EBUSY 16      /* busy: the device or endpoint is in use */
#define QEL_ENODEV 19     /* no such device */
#define QEL_EINVAL 22     /* invalid argument or state */
#define QEL_ENOSYS 40     /* not implemented */
#define QEL_ENOADDR 110   /* no adapter interface carries the address */
#define QEL_ENOBUFS 10055 /* no buffer was queued for a block */
#define QEL_EPROTO                                                                               \
    71                         /* the firmware reported a status the stream cannot pair with its \
                                * state (unknown status, or a finished block with no buffer queued) */
#define QEL_ENOBUFINVOLVED 119 /* used inside: a status that involved no buffer */
#define QEL_ETIMEDOUT 138      /* a driver wait whose time passed: no block within the timeout */

/* Text of a result code: the library's own text for its codes, the C library's for others.
 * Never null. */
QEL_EXPORT const char *qel_strerror(int code);

/* The stream record. Applications hold a pointer to it as the stream handle. */
typedef struct qel_stream qel_stream_t;

/* Counters of a stream, filled by qel_info. */
typedef struct qel_info {
    uint64_t reserved;  /* always 0 */
    uint64_t dropped;   /* blocks dropped instead of delivered */
    uint64_t delivered; /* blocks delivered to the application */
} qel_info_t;

/* Initialises the library. Call once, before anything else, with QEL_API_VERSION. A repeated
 * call with the same version is a cheap success; another version gives QEL_EINVAL. Safe to
 * call from several threads at once: one initialises, the others see its result. */
QEL_EXPORT int qel_init(uint16_t api_version);

/* Copies the stream's counters into *info. QEL_EINVAL when either pointer is null. */
QEL_EXPORT int qel_info(qel_stream_t *stream, qel_info_t *info);

/* Trace spans around the library's entry points. They do nothing (and return 0) unless the
 * telemetry add-on is loaded. */
QEL_EXPORT int qel_span_begin(void **span, const char *name);
QEL_EXPORT int qel_span_end(void *span, const char *name, int line);

/* ---- Streams ---- */

/* Open flags. */
#define QEL_OPEN_IPV6 0x01            /* IPv6 addresses: not supported (QEL_ENOSYS) */
#define QEL_OPEN_ZEROLOSS 0x02        /* resend lost packets: a socket to the camera is connected */
#define QEL_OPEN_DROP_INCOMPLETE 0x04 /* incomplete blocks are dropped (the default) */
#define QEL_OPEN_KEEP_INCOMPLETE 0x08 /* incomplete blocks are delivered */
#define QEL_OPEN_EXTENDED_ID 0x10     /* the camera uses 64-bit block ids, 32-bit packet ids */
/* With QEL_OPEN_ZEROLOSS: resend requests ask for the lost packets only. The firmware then
 * reports each run of missing packets (a gap) with its first and last packet id, and each
 * request asks for one gap, first..last, instead of everything from the first missing packet
 * to the end of the block. A status that names no gap end (packets missing after the last one
 * received while the trailer has not come, or a firmware that does not report gaps) is asked
 * for to the end of the block, as without the flag.
 * Limits: one report of the firmware's, however many gaps it names, is one round, and
 * max_requests counts rounds (every gap is asked for at most max_requests times); request ids
 * still count up by one per request. resend_timeout runs from the latest request sent, and
 * the block timer from the block's first request, as without the flag. */
#define QEL_OPEN_RANGED_RESEND 0x20

/* Open options of qel_open_stream_pr. */
typedef struct qel_stream_options {
    uint32_t flags;          /* QEL_OPEN_* */
    uint32_t block_timeout;  /* ms a block may take to complete while resending; 0: no limit */
    uint32_t resend_timeout; /* ms a resend request may take to be answered; 0: no limit */
    uint32_t max_requests;   /* limit of resend requests per block (with QEL_OPEN_RANGED_RESEND,
                              * of rounds: see there); 0: no limit */
    uint32_t order_mode;     /* 1 to 4: how blocks that arrive out of order are treated */
    uint64_t camera_id;      /* the application's identifier of the camera */
    uint32_t camera_addr;    /* camera IPv4 address (network order): where resend requests go */
    uint16_t camera_port;    /* camera UDP port for resend requests (host order) */
    uint16_t channel;        /* stream channel index carried by resend requests */
} qel_stream_options_t;

/* Opens a unicast stream for packets sent to *local_addr (IPv4, network order) and `port`
 * (host order). QEL_OPEN_ZEROLOSS is ignored here (use qel_open_stream_pr). On success the
 * stream is stored in *stream and, when endpt_handle is not null, its endpoint handle there. */
QEL_EXPORT int qel_open_stream(const uint32_t *local_addr, uint16_t port, qel_stream_t **stream,
                               uint32_t flags, hux_handle_t *endpt_handle);
/* Opens a stream for the multicast group *group_addr received on the interface with
 * *local_addr; a null group pointer or group 0 opens a unicast stream. */
QEL_EXPORT int qel_open_mcast_stream(const uint32_t *local_addr, const uint32_t *group_addr,
                                     uint16_t port, qel_stream_t **stream, uint32_t flags,
                                     hux_handle_t *endpt_handle);
/* Opens a stream with the application's options. When neither incomplete-block flag is set,
 * QEL_OPEN_DROP_INCOMPLETE is written into *options. */
QEL_EXPORT int qel_open_stream_pr(const uint32_t *local_addr, uint16_t port, qel_stream_t **stream,
                                  qel_stream_options_t *options, hux_handle_t *endpt_handle);
/* Closes the stream: its receive worker, its filter, its endpoint. Returns the result of the
 * filter delete; the stream is released in every case. Buffers of the stream not yet freed,
 * queued or not, are detached from it: qel_free then only releases their memory, and they can
 * no longer be queued. */
QEL_EXPORT int qel_close_stream(qel_stream_t *stream);

typedef enum qel_filter_operation {
    QEL_FILTER_ADD = 0,
    QEL_FILTER_DELETE = 1
} qel_filter_operation_t;
/* Adds or deletes the stream's receive filter: `addr` IPv4 in network order, `port` in host
 * order (both ignored for delete). QEL_EINVAL, with nothing sent, for any other operation. */
QEL_EXPORT int qel_filter_op(qel_stream_t *stream, uint32_t addr, uint16_t port,
                             qel_filter_operation_t operation);

/* ---- Stream status and control ---- */

/* 1 when the board's link is up, else 0. */
QEL_EXPORT int qel_get_link_state(qel_stream_t *stream, uint32_t *state);
/* The board's time source, 0 to 3; QEL_ENODEV for a state the board should not report. */
QEL_EXPORT int qel_get_timesource_state(qel_stream_t *stream, uint32_t *state);
QEL_EXPORT int qel_get_camera_id_stream(qel_stream_t *stream, uint64_t *camera_id);
/* Test aid: the firmware drops that packet of that block once. QEL_EINVAL when refused. */
QEL_EXPORT int qel_drop_packet(qel_stream_t *stream, uint32_t block, uint32_t packet);

/* Adapter names, kept by the driver per adapter and surviving the process. A key is either
 * "M=" and a MAC address (19 characters, twelve hex digits, ':' '=' 'M' as separators) or
 * "S=" and a serial number (at most 26 characters). Names are shorter than 256 characters. */
QEL_EXPORT int qel_set_name(const char *key, const char *name);
/* Stores in *name a new 256-byte buffer holding the name; release it with free(). */
QEL_EXPORT int qel_get_name(const char *key, char **name);
QEL_EXPORT int qel_reset_name(const char *key);
QEL_EXPORT int qel_reset_all_name(void);

/* ---- Buffers ---- */

/* A buffer handle: receive memory pinned with the stream's endpoint. */
typedef struct qel_buffer qel_buffer_t;

/* Allocates a buffer of `size` bytes (page-aligned data area) and pins it. Pinning faults its
 * memory in, so the time that takes is spent here and not while blocks are received into it. */
QEL_EXPORT int qel_alloc(qel_stream_t *stream, size_t size, qel_buffer_t **buffer_out);
/* Unpins and releases a buffer. QEL_EBUSY while the buffer is queued: the firmware may still
 * write into it; a buffer that a blocked receive worker is handing back to the firmware counts
 * as queued (qel_free may be called on another thread meanwhile). The driver's code when the
 * unpin fails (the call may be repeated). */
QEL_EXPORT int qel_free(qel_buffer_t *buffer);
/* Queues a buffer for the next block. QEL_EBUSY when it is already queued. The first queueing
 * of a stream adds its receive filter; when that fails the buffer is unpinned and released
 * (QEL_EBUSY when another stream receives on that address and port, else QEL_EINVAL), or,
 * should the unpin fail too, it stays queued and its handle valid (QEL_EAGAIN); the next
 * queueing tries the filter again. */
QEL_EXPORT int qel_queue_buffer(qel_buffer_t *buffer);

/* ---- Blocks ---- */

/* The record of one received block. */
typedef struct qel_block {
    uint16_t payload_type;   /* GVSP payload type: the leader's, replaced by the trailer's */
    uint32_t payload_length; /* bytes of payload, from the trailer (see qel_poll_recv_pr for an
                              * incomplete block) */
    void *data;              /* page-aligned start of the block in its buffer */
    qel_buffer_t *buffer;    /* the buffer holding the block: queue it again when done */
    uint16_t status;         /* GVSP status word of the last leader or trailer */
    uint64_t block_id;
    uint64_t timestamp;         /* camera timestamp from the leader */
    uint64_t host_time;         /* host time of the trailer; 0 when the adapter gave none */
    uint32_t chunk_data_length; /* extended chunk mode (0x4001, 0x4002, 0x4003, 0x4008) */
    uint32_t chunk_layout_id;
    union {
        struct { /* image: 1, 0x4001 */
            uint32_t pixel_format;
            uint32_t size_x;
            uint32_t size_y;
            uint32_t offset_x;
            uint32_t offset_y;
            uint32_t padding_x;
            uint32_t padding_y;
            uint32_t final_size_y; /* size y as finally received, from the trailer */
        } image;
        struct { /* raw data: 2, 0x4002 */
            uint64_t payload_size;
        } raw;
        struct { /* file: 3, 0x4003 */
            uint64_t payload_size;
            char file_name[32]; /* the first 24 bytes of the name, then zeros */
        } file;
        struct { /* chunk data: 4 */
            uint64_t chunk_payload_length;
        } chunk;
        struct { /* extended chunk data: 5 */
            uint8_t leader_flag;
            uint32_t pixel_format;
            uint32_t size_x;
            uint32_t size_y;
            uint32_t offset_x;
            uint32_t offset_y;
            uint32_t padding_x;
            uint32_t padding_y;
            uint32_t trailer_word1;
            uint64_t trailer_word0;
            uint32_t trailer_word2;
        } ext_chunk;
    } u;
} qel_block_t;

/* ---- Receiving ---- */

/* Waits up to `timeout` ms (negative: as long as the driver allows; 0: not at all) for the next
 * complete block and copies its record into *block_out. QEL_ETIMEDOUT: the driver wait's time
 * passed with no block; QEL_EAGAIN: a block is still incomplete (or, with a worker, none yet);
 * QEL_ENOMEM: a block did not fit its buffer (queued again); QEL_ENOBUFS: a block came while no
 * buffer was queued; QEL_EPROTO: the firmware reported a status the stream cannot pair with
 * its state; otherwise the driver wait's code. Incomplete blocks are dropped and their buffers
 * queued again. With a receive worker attached, descriptors come from the worker, the call
 * never waits (the timeout is not used; a sleeping worker's is, see QEL_RECV_WORKER_SLEEP), and
 * it finds nothing (QEL_EAGAIN) while the worker is blocked. */
QEL_EXPORT int qel_poll_recv(qel_stream_t *stream, qel_block_t *block_out, int32_t timeout);

/* What qel_poll_recv_pr did with the last block. */
typedef struct qel_pr_status {
    uint32_t status; /* 2 complete delivered, 3 incomplete delivered, 1 dropped for its order,
                      * 0 lost (overflow or no buffer) */
    uint64_t block_id;
    uint32_t packet_id;    /* packet id of the last status; 0 after a complete block */
    uint32_t resend_count; /* requests sent for the block (one per gap with
                            * QEL_OPEN_RANGED_RESEND) */
    uint16_t req_id;       /* request id of the next request */
} qel_pr_status_t;

/* Receives with packet resend on a zero-loss stream: does not wait for a descriptor to come
 * (QEL_EAGAIN when none is there); while a block is incomplete it asks the camera again
 * (request ids from req_id_base), within the stream's limits, until the firmware finishes the
 * block. Results as qel_poll_recv, plus QEL_EORDER: a block dropped for its id. pr_status may
 * be null.
 * Bound: once a block's first resend request is out, the call waits for that block (in the
 * driver, so that the firmware's thread has the processor to receive the answer) at most
 * max(block_timeout, resend_timeout) + 1000 ms from that request. When the firmware has not
 * finished the block by then, the call returns QEL_EAGAIN and the block is given up (counted
 * in block_timeouts unless a limit had given it up already): its later INCOMPLETE statuses send
 * no request, and a later call handles its final status.
 * An incomplete block that is delivered (status 3) has as payload_length the bytes the firmware
 * received (the block may have holes); pr_status->packet_id is that of its final status.
 * Block order (order_mode): extended ids are expected to count up by one; standard ids as a
 * camera numbers them, 1 to 0xFFFF and then 1 again, comparing their low 16 bits. */
QEL_EXPORT int qel_poll_recv_pr(qel_stream_t *stream, qel_block_t *block_out, uint16_t req_id_base,
                                qel_pr_status_t *pr_status);

/* Sends one GVCP packet-resend request for packets first..last of a block to the camera. */
QEL_EXPORT int qel_packet_resend(qel_stream_t *stream, uint16_t req_id, uint32_t first,
                                 uint32_t last, uint64_t block_id, uint16_t channel);

/* ---- Statistics ---- */

typedef struct qel_stats {
    uint64_t blocks_dropped;
    uint64_t blocks_dropped_by_watchdog;
    uint64_t blocks_complete;
    uint64_t blocks_incomplete;
    uint64_t poll_errors;
    uint64_t resend_requests;
    uint64_t resend_sent;
    uint64_t resend_failed;
    uint64_t block_timeouts;
    uint64_t resend_timeouts;
    uint64_t resend_limit_hits;
    uint64_t buffers_allocated;
    uint64_t buffers_freed;
    uint64_t buffers_queued;
    uint64_t worker_stops;
    uint64_t worker_starts;
    uint64_t worker_blocks;
    uint64_t worker_unblocks;
    uint64_t worker_resend_series;
} qel_stats_t;

/* Copies the stream's counters. QEL_EINVAL for a null stream or record, or while an enabled
 * metrics context is attached to the stream. */
QEL_EXPORT int qel_get_stats(qel_stream_t *stream, qel_stats_t *stats_out);
/* Clears every counter but buffers_allocated and buffers_freed. */
QEL_EXPORT int qel_clear_stats(qel_stream_t *stream);

/* ---- Metrics and traces ----
 *
 * Metrics and traces are produced by the optional telemetry add-on, libqeltelemetry.so, which
 * qel_init loads from the library's own folder or, failing that, from the system's library
 * path. An application creates a metrics context, a trace context or both, attaches streams,
 * enables the context and starts its worker thread, which asks the add-on to export about
 * every five seconds. Every function of this family returns 0 on success and -1 on failure
 * (create, start, add and remove may pass on another non-zero code, as said at each); all
 * return -1 while the add-on is not in use. One caller per context at a time. Remove a stream
 * from its contexts before closing it (closing an attached stream detaches it first). */

/* Worker commands in thread_cmd. */
#define QEL_WORKER_CMD_NONE 0
#define QEL_WORKER_CMD_UPDATE 1
#define QEL_WORKER_CMD_STOP 2

/* A metrics or trace context. Its layout is shared with the add-on, which receives the
 * record's address when the context is created and may read it. The flags are written by the
 * library and its worker thread only. */
typedef struct qel_metrics_trace {
    uint32_t addon_param32;      /* given to create, for the add-on */
    uint16_t addon_param16;      /* given to create, for the add-on */
    uint32_t enab;               /* 1 enabled, 0 disabled */
    char **serial_numbers;       /* 32 entries, one per adapter index: "S=<serial>" or null */
    uint32_t num_streams;        /* streams in streamList */
    uint32_t max_streams;        /* capacity of streamList */
    qel_stream_t **streamList;   /* max_streams entries: the attached streams first, then nulls */
    uint32_t active;             /* 1 while the worker is in its export loop */
    uint32_t thread_started;     /* 1 while a worker thread exists */
    uint32_t in_wait_state;      /* 1 while the worker is parked */
    qel_stream_t **pending_list; /* a new stream list waiting for the worker */
    uint32_t thread_cmd;         /* QEL_WORKER_CMD_* */
    pthread_mutex_t lock;        /* recursive; taken around the worker's hand-overs and exports */
    hux_thread_t thread;         /* the worker thread */
    void *wake_event;            /* auto-reset event the parked worker waits on */
    uint32_t is_metrics;         /* 1 metrics context, 0 trace context */
    uint32_t timeout_s;          /* bound of every hand-over wait, in seconds */
    uint32_t adapter_period;     /* metrics: given to create, for the add-on */
    uint32_t stream_period;      /* metrics: given to create, for the add-on */
} qel_metrics_trace_t;

/* Creates a context and hands it to the add-on's init; *out receives it once allocated, also
 * when the add-on's init then fails with its own non-zero result (destroy it then). Create
 * may also return the driver's code of reading the endpoint count. */
QEL_EXPORT int qel_create_metrics(qel_metrics_trace_t **out, uint32_t adapter_period,
                                  uint32_t stream_period, uint32_t addon_param32,
                                  uint16_t addon_param16);
QEL_EXPORT int qel_create_trace(qel_metrics_trace_t **out, uint32_t addon_param32,
                                uint16_t addon_param16);
/* Releases a context: refused while its worker runs or a stream is attached. The add-on serves
 * the newest context of each kind; when that one is released, the add-on's init runs again for
 * the newest one still open, which goes on exporting and carrying spans. */
QEL_EXPORT int qel_destroy_metrics(qel_metrics_trace_t *ctx);
QEL_EXPORT int qel_destroy_trace(qel_metrics_trace_t *ctx);
/* Enable wakes a parked worker and waits (up to timeout_s) until it exports; disable waits
 * until the worker parks, which may take longer than timeout_s (then -1; it parks later). */
QEL_EXPORT int qel_enable_metrics(qel_metrics_trace_t *ctx);
QEL_EXPORT int qel_enable_trace(qel_metrics_trace_t *ctx);
QEL_EXPORT int qel_disable_metrics(qel_metrics_trace_t *ctx);
QEL_EXPORT int qel_disable_trace(qel_metrics_trace_t *ctx);
/* Attaches a stream (one context of each kind per stream) or detaches it from its context. */
QEL_EXPORT int qel_add_metrics(qel_metrics_trace_t *ctx, qel_stream_t *stream);
QEL_EXPORT int qel_add_trace(qel_metrics_trace_t *ctx, qel_stream_t *stream);
QEL_EXPORT int qel_remove_metrics(qel_stream_t *stream);
QEL_EXPORT int qel_remove_trace(qel_stream_t *stream);
/* Starts the context's worker thread, pinned to the processors of cpu_mask folded to 32 bits
 * (bit i selects processor i mod 32); may return the host's thread-creation code. Stop hands
 * the worker its stop command and waits for it to end (up to one export pass). */
QEL_EXPORT int qel_start_metrics(qel_metrics_trace_t *ctx, uint64_t cpu_mask);
QEL_EXPORT int qel_start_trace(qel_metrics_trace_t *ctx, uint64_t cpu_mask);
QEL_EXPORT int qel_stop_metrics(qel_metrics_trace_t *ctx);
QEL_EXPORT int qel_stop_trace(qel_metrics_trace_t *ctx);

/* ---- The telemetry add-on's side ----
 *
 * What the add-on gets from the library besides the context record: a statistics reader of
 * qel_get_stats's signature, registered with it once per load (unlike qel_get_stats it also
 * reads streams whose metrics context is enabled), and the identity at the head of every
 * stream record of a context's streamList, which it labels the stream's metrics by. */
typedef int (*qel_get_stats_fn)(qel_stream_t *stream, qel_stats_t *stats_out);

/* The first fields of every stream record, in this layout; fixed from open to close. */
typedef struct qel_stream_identity {
    hux_handle_t endpoint_handle; /* the endpoint device */
    uint32_t local_addr;          /* IPv4, network order */
    uint32_t dest_addr;           /* the multicast group, else local_addr; network order */
    uint32_t board;               /* adapter index */
    uint16_t port;                /* UDP port, host order */
    uint16_t reserved;
    uint32_t endpoint; /* endpoint number on the board */
} qel_stream_identity_t;

/* ---- Receive workers ----
 *
 * A receive worker is a thread of the library's own that takes a stream's block descriptors
 * off the adapter as soon as they are posted, asks the camera to resend missing packets on a
 * zero-loss stream, and hands the descriptors to qel_poll_recv, which the application still
 * calls. At most one worker exists in the process. By default it busy-polls and can be
 * pinned to one processor. It can be started and stopped, and blocked: while blocked it drops
 * every block that arrives and queues its buffer again, so that the stream keeps flowing while
 * the application wants no blocks. While blocked (and started) the application must neither
 * poll nor queue buffers on the stream. Create, destroy and the four controls are called from
 * the application's thread that works on the stream, never from the resend callback. */

/* worker states, as qel_get_status_recv_worker reports them */
#define QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_NONE 0      /* no worker */
#define QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_CREATED 1   /* thread created, not running yet */
#define QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_RUNNING 2   /* thread in its loop */
#define QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_DESTROYED 3 /* destroy asked; thread leaving */
#define QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_EXITED 4    /* thread has left its loop */

/* worker modes */
#define QEL_RECEIVE_STREAM_WORKER_BLOCKED 0   /* blocks are dropped, buffers queued again */
#define QEL_RECEIVE_STREAM_WORKER_UNBLOCKED 1 /* blocks go to qel_poll_recv */

typedef struct qel_recv_worker_status {
    uint32_t state;   /* QEL_RECEIVE_STREAM_WORKER_THREAD_STATE_* */
    uint32_t started; /* 1 started, 0 stopped */
    uint32_t mode;    /* QEL_RECEIVE_STREAM_WORKER_BLOCKED or _UNBLOCKED */
} qel_recv_worker_status_t;

/* Called on the worker thread when a block of a zero-loss stream first misses packets: stores
 * in *req_id the request id of the series' first resend request and in *max_requests how many
 * requests the series may use (the stream's max_requests option when that is larger; an option
 * above 65535 counts as 65535, the most a series of 16-bit request ids can number; with
 * QEL_OPEN_RANGED_RESEND it counts rounds, as max_requests does). Both start at 0. The result
 * is ignored. It must not wait for the application's thread. */
typedef int (*qel_resend_cb_t)(qel_stream_t *stream, uint16_t *req_id, uint16_t *max_requests);

/* Or'ed into the `cpu` argument of qel_create_recv_worker (extension): the worker sleeps while
 * the stream is idle instead of busy-polling. It waits in the driver for the next descriptor,
 * waking at least every QEL_RECV_WORKER_WAKE_MS to look at its controls, so that a control or
 * a destroy takes effect within that time without traffic; while stopped it sleeps until a
 * control or destroy wakes it. qel_poll_recv with a timeout other than 0 then waits, up to the
 * timeout, for the worker to hand a block over (and still answers QEL_EAGAIN when none came).
 * A block costs a wake-up of the worker and of the polling thread: more latency than the
 * busy-polling default, which keeps a processor busy even when no camera sends. */
#define QEL_RECV_WORKER_SLEEP 0x80000000u
#define QEL_RECV_WORKER_WAKE_MS 50

/* Attaches a receive worker to the stream, stopped and with the stream's mode (unblocked after
 * open). `cpu` (without QEL_RECV_WORKER_SLEEP) 0: not pinned; otherwise the worker is pinned
 * to processor cpu mod 32, so processor 0 is chosen with 32. `resend_cb` may be null unless
 * the stream is zero-loss. 0 also when the stream has its worker already (nothing changes);
 * QEL_ENOENT for a null stream; QEL_EINVAL when the callback is missing, another stream has
 * the process's worker, memory runs out, the thread cannot be started or pinned. */
QEL_EXPORT int qel_create_recv_worker(qel_stream_t *stream, uint32_t cpu,
                                      qel_resend_cb_t resend_cb);
/* Ends the stream's worker and waits for its thread. Blocks the worker had taken but
 * qel_poll_recv had not are dropped: their buffers are queued again, in order; a block whose
 * rest has not come yet keeps its leader, and qel_poll_recv delivers it whole. Nothing is done
 * without a worker. Returns 0 unless the telemetry add-on reports a failure of the trace span
 * (then its result). qel_close_stream calls it. */
QEL_EXPORT int qel_destroy_recv_worker(qel_stream_t *stream);
/* The controls: start or stop taking descriptors, block (drop) or unblock (deliver). Each
 * returns once the worker thread acts on the new setting. QEL_EINVAL when the stream is null or
 * has no running worker; a setting that is already in force changes and counts nothing. */
QEL_EXPORT int qel_start_recv_worker(qel_stream_t *stream);
QEL_EXPORT int qel_stop_recv_worker(qel_stream_t *stream);
QEL_EXPORT int qel_block_recv_worker(qel_stream_t *stream);
QEL_EXPORT int qel_unblock_recv_worker(qel_stream_t *stream);
/* Copies the worker's state, started flag and mode. QEL_EINVAL for a null pointer. */
QEL_EXPORT int qel_get_status_recv_worker(qel_stream_t *stream, qel_recv_worker_status_t *status);

#ifdef __cplusplus
}
#endif

#endif /* QEL_H */
