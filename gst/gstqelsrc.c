/* qelsrc: a live GStreamer source of GigE Vision frames received by the qel adapter.
 *
 * Each frame is pushed downstream in the qel buffer it was reassembled into: the GstMemory wraps
 * the block's data, and when GStreamer frees the memory the qel buffer is handed back and queued
 * for a later block. Buffers are queued from the streaming thread only: memory freed on other
 * threads puts its qel buffer on a return list, which the streaming thread queues again before
 * each poll. A buffer still downstream when the element stops is freed once it comes back. */

#include <arpa/inet.h>
#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <string.h>
#include <time.h>

#include "qel.h"
#include "qelsrc_camera.h"

GST_DEBUG_CATEGORY_STATIC(qel_src_debug);
#define GST_CAT_DEFAULT qel_src_debug

#define GVCP_PORT 3956
#define POLL_SLICE_MS 10  /* longest wait in the driver, so that unlock and returns are seen */
#define IDLE_PAUSE_US 200 /* between polls of the calls that never wait */

/* A qel buffer of the stream and whether GStreamer holds it. */
typedef struct QelSlot {
    qel_buffer_t *buffer;
    gboolean lent;
} QelSlot;

/* What a stream shares with the memories it lent out; freed by the last of them. */
typedef struct QelShared {
    gint refs;
    GMutex lock;
    gboolean open; /* the stream is open: returned buffers are queued again */
    qel_stream_t *stream;
    QelSlot *slots;
    guint slot_count;
    GArray *returned; /* indices of slots given back by GStreamer, not yet queued */
    guint lent;       /* slots downstream */
} QelShared;

static QelShared *shared_new(guint slots) {
    QelShared *s = g_new0(QelShared, 1);
    s->refs = 1;
    g_mutex_init(&s->lock);
    s->slots = g_new0(QelSlot, slots);
    s->returned = g_array_sized_new(FALSE, FALSE, sizeof(guint), slots);
    return s;
}

static void shared_unref(QelShared *s) {
    if (!g_atomic_int_dec_and_test(&s->refs)) return;
    g_array_free(s->returned, TRUE);
    g_free(s->slots);
    g_mutex_clear(&s->lock);
    g_free(s);
}

/* One block lent downstream. */
typedef struct QelLoan {
    QelShared *shared;
    guint slot;
} QelLoan;

/* GStreamer frees the memory: the buffer goes back to the stream, or, once the stream is
 * closed, is released (the close detached it, so only its memory remains to free). */
static void loan_return(gpointer data) {
    QelLoan *loan = data;
    QelShared *s = loan->shared;
    g_mutex_lock(&s->lock);
    s->lent--;
    s->slots[loan->slot].lent = FALSE;
    if (s->open) {
        g_array_append_val(s->returned, loan->slot);
    } else {
        qel_free(s->slots[loan->slot].buffer);
        s->slots[loan->slot].buffer = NULL;
    }
    g_mutex_unlock(&s->lock);
    shared_unref(s);
    g_free(loan);
}

#define GST_TYPE_QEL_SRC (gst_qel_src_get_type())
G_DECLARE_FINAL_TYPE(GstQelSrc, gst_qel_src, GST, QEL_SRC, GstPushSrc)

struct _GstQelSrc {
    GstPushSrc parent;
    /* properties */
    gchar *local_address;
    guint port;
    gchar *multicast_group;
    gchar *camera_address;
    guint camera_port;
    guint buffers;
    guint buffer_size;
    gboolean worker;
    guint cpu;
    gboolean drop_incomplete;
    gchar *control_camera; /* camera control: null for none */
    gchar *camera_pixel_format;
    guint camera_width, camera_height, camera_packet_size;
    gdouble camera_frame_rate;
    /* the running stream */
    QelSrcCamera *camera; /* the camera controlled, from start to stop */
    QelShared *shared;
    gboolean resend;
    guint16 req_id;
    gint flushing;
    guint32 pixel_format, width, height; /* of the caps set last */
    guint format_index;                  /* in pixel_formats */
    guint64 delivered, lost, incomplete;
};

G_DEFINE_TYPE(GstQelSrc, gst_qel_src, GST_TYPE_PUSH_SRC)

enum {
    PROP_0,
    PROP_LOCAL_ADDRESS,
    PROP_PORT,
    PROP_MULTICAST_GROUP,
    PROP_CAMERA_ADDRESS,
    PROP_CAMERA_PORT,
    PROP_BUFFERS,
    PROP_BUFFER_SIZE,
    PROP_WORKER,
    PROP_CPU,
    PROP_DROP_INCOMPLETE,
    PROP_CONTROL_CAMERA,
    PROP_PIXEL_FORMAT,
    PROP_WIDTH,
    PROP_HEIGHT,
    PROP_FRAME_RATE,
    PROP_PACKET_SIZE,
    PROP_STATS,
    PROP_BUFFERS_DOWNSTREAM,
};

static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS,
    GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE(
        "{ GRAY8, GRAY16_LE, RGB, BGR }") ";"
                                          "video/x-bayer, format = (string) { bggr, gbrg, grbg, "
                                          "rggb, bggr10le, gbrg10le, grbg10le, rggb10le, "
                                          "bggr12le, gbrg12le, grbg12le, rggb12le, bggr16le, "
                                          "gbrg16le, grbg16le, rggb16le }, "
                                          "width = " GST_VIDEO_SIZE_RANGE
                                          ", height = " GST_VIDEO_SIZE_RANGE
                                          ", framerate = " GST_VIDEO_FPS_RANGE));

/* GigE Vision pixel formats the element streams: code, caps media type and format, bytes per
 * pixel. */
static const struct {
    guint32 code;
    const char *media;
    const char *format;
    GstVideoFormat video; /* for the video meta; unknown for Bayer */
    guint bytes;
} pixel_formats[] = {
    {0x01080001, "video/x-raw", "GRAY8", GST_VIDEO_FORMAT_GRAY8, 1},
    {0x01100007, "video/x-raw", "GRAY16_LE", GST_VIDEO_FORMAT_GRAY16_LE, 2},
    {0x02180014, "video/x-raw", "RGB", GST_VIDEO_FORMAT_RGB, 3},
    {0x02180015, "video/x-raw", "BGR", GST_VIDEO_FORMAT_BGR, 3},
    {0x01080008, "video/x-bayer", "grbg", GST_VIDEO_FORMAT_UNKNOWN, 1},
    {0x01080009, "video/x-bayer", "rggb", GST_VIDEO_FORMAT_UNKNOWN, 1},
    {0x0108000A, "video/x-bayer", "gbrg", GST_VIDEO_FORMAT_UNKNOWN, 1},
    {0x0108000B, "video/x-bayer", "bggr", GST_VIDEO_FORMAT_UNKNOWN, 1},
    /* 10, 12 and 16 bits in little-endian 16-bit words (the fewer bits in the low ones): named
     * as GStreamer's Bayer elements name them (the bayer plugin of GStreamer 1.24 converts
     * them; older ones only pass them on). */
    {0x0110000C, "video/x-bayer", "grbg10le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x0110000D, "video/x-bayer", "rggb10le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x0110000E, "video/x-bayer", "gbrg10le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x0110000F, "video/x-bayer", "bggr10le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100010, "video/x-bayer", "grbg12le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100011, "video/x-bayer", "rggb12le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100012, "video/x-bayer", "gbrg12le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100013, "video/x-bayer", "bggr12le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x0110002E, "video/x-bayer", "grbg16le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x0110002F, "video/x-bayer", "rggb16le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100030, "video/x-bayer", "gbrg16le", GST_VIDEO_FORMAT_UNKNOWN, 2},
    {0x01100031, "video/x-bayer", "bggr16le", GST_VIDEO_FORMAT_UNKNOWN, 2},
};

static gboolean parse_ipv4(GstQelSrc *self, const char *what, const char *text, uint32_t *out) {
    struct in_addr a;
    if (text == NULL || inet_pton(AF_INET, text, &a) != 1) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("%s '%s' is not an IPv4 address", what, text ? text : "(none)"), (NULL));
        return FALSE;
    }
    *out = a.s_addr;
    return TRUE;
}

/* The worker's resend series: request ids of their own for each. Runs on the worker thread. */
static int on_resend_series(qel_stream_t *stream, uint16_t *req_id, uint16_t *max_requests) {
    static gint next = 1;
    (void)stream;
    gint id = g_atomic_int_add(&next, 16);
    *req_id = (uint16_t)((id % 0xFFF0) + 1);
    *max_requests = 16;
    return 0;
}

/* Closes the stream and releases every buffer GStreamer does not hold; those it holds are
 * released when it gives them back. */
static gboolean qel_src_stop(GstBaseSrc *base) {
    GstQelSrc *self = GST_QEL_SRC(base);
    QelShared *s = self->shared;
    /* The camera first: it stops sending before the stream goes. */
    qelsrc_camera_close(self->camera);
    self->camera = NULL;
    if (s == NULL) return TRUE;
    g_mutex_lock(&s->lock);
    s->open = FALSE;
    int rc = s->stream ? qel_close_stream(s->stream) : 0;
    s->stream = NULL;
    for (guint i = 0; i < s->slot_count; ++i) {
        if (s->slots[i].buffer != NULL && !s->slots[i].lent) {
            qel_free(s->slots[i].buffer);
            s->slots[i].buffer = NULL;
        }
    }
    g_array_set_size(s->returned, 0);
    g_mutex_unlock(&s->lock);
    if (rc != 0) GST_WARNING_OBJECT(self, "closing the stream: %s (%d)", qel_strerror(rc), rc);
    GST_OBJECT_LOCK(self);
    self->shared = NULL;
    GST_OBJECT_UNLOCK(self);
    shared_unref(s);
    self->pixel_format = 0;
    return TRUE;
}

static gboolean qel_src_fail(GstQelSrc *self, const char *call, int rc) {
    GST_ELEMENT_ERROR(
        self, RESOURCE, OPEN_READ, ("%s: %s (%d)", call, qel_strerror(rc), rc),
        ("local %s port %u", self->local_address ? self->local_address : "(default)", self->port));
    return FALSE;
}

static gboolean camera_fail(GstQelSrc *self, gchar *error) {
    GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS, ("camera %s: %s", self->control_camera, error),
                      (NULL));
    g_free(error);
    return FALSE;
}

/* Takes control of the camera named by control-camera and configures it. The stream's local
 * address is then, unless given, the interface that reaches the camera, and lost packets are
 * asked of the camera itself unless another camera-address is given. */
static gboolean open_camera(GstQelSrc *self, const char **local, const char **resend_to) {
    if (self->control_camera == NULL) return TRUE;
    const QelSrcCameraSettings settings = {self->control_camera,    self->camera_pixel_format,
                                           self->camera_width,      self->camera_height,
                                           self->camera_frame_rate, self->camera_packet_size};
    gchar *error = NULL;
    self->camera = qelsrc_camera_open(&settings, self->buffer_size, &error);
    if (self->camera == NULL) return camera_fail(self, error);
    if (*local == NULL) *local = qelsrc_camera_interface_address(self->camera);
    if (*resend_to == NULL && self->multicast_group == NULL)
        *resend_to = qelsrc_camera_address(self->camera);
    return TRUE;
}

/* Opens the stream, allocates and queues its buffers, starts the worker when asked. */
static gboolean qel_src_start(GstBaseSrc *base) {
    GstQelSrc *self = GST_QEL_SRC(base);
    uint32_t local = 0, group = 0, camera = 0;
    const char *local_text = self->local_address;
    const char *resend_to = self->camera_address;
    if (!open_camera(self, &local_text, &resend_to)) return FALSE;
    if (local_text == NULL) local_text = "127.0.0.1";
    gboolean ok = parse_ipv4(self, "local-address", local_text, &local) &&
                  (self->multicast_group == NULL ||
                   parse_ipv4(self, "multicast-group", self->multicast_group, &group));
    self->resend = resend_to != NULL && *resend_to != '\0';
    ok = ok && (!self->resend || parse_ipv4(self, "camera-address", resend_to, &camera));
    if (ok && self->resend && group != 0) {
        GST_ELEMENT_ERROR(self, RESOURCE, SETTINGS,
                          ("a multicast stream cannot ask for packets again"), (NULL));
        ok = FALSE;
    }
    int rc = ok ? qel_init(QEL_API_VERSION) : 0;
    if (ok && rc != 0) ok = qel_src_fail(self, "qel_init", rc);
    if (!ok) {
        qel_src_stop(base);
        return FALSE;
    }

    const uint32_t flags =
        self->drop_incomplete ? QEL_OPEN_DROP_INCOMPLETE : QEL_OPEN_KEEP_INCOMPLETE;
    qel_stream_t *stream = NULL;
    const char *call;
    if (self->resend) {
        qel_stream_options_t options = {0};
        options.flags = flags | QEL_OPEN_ZEROLOSS;
        options.block_timeout = 1000;
        options.resend_timeout = 50;
        options.max_requests = 16;
        options.order_mode = 2;
        options.camera_addr = camera;
        options.camera_port = (uint16_t)self->camera_port;
        call = "qel_open_stream_pr";
        rc = qel_open_stream_pr(&local, (uint16_t)self->port, &stream, &options, NULL);
    } else {
        call = "qel_open_mcast_stream";
        rc = qel_open_mcast_stream(&local, &group, (uint16_t)self->port, &stream, flags, NULL);
    }
    if (rc != 0) {
        qel_src_fail(self, call, rc);
        qel_src_stop(base);
        return FALSE;
    }

    QelShared *s = shared_new(self->buffers);
    s->stream = stream;
    s->open = TRUE;
    GST_OBJECT_LOCK(self);
    self->shared = s;
    GST_OBJECT_UNLOCK(self);
    self->req_id = 1;
    self->delivered = self->lost = self->incomplete = 0;
    g_atomic_int_set(&self->flushing, 0);
    for (guint i = 0; i < self->buffers; ++i) {
        qel_buffer_t *b = NULL;
        rc = qel_alloc(stream, self->buffer_size, &b);
        if (rc != 0) call = "qel_alloc";
        if (rc == 0) {
            s->slots[s->slot_count++].buffer = b;
            rc = qel_queue_buffer(b);
            /* A failed first queueing released the buffer, unless it said it kept it queued. */
            if (rc != 0 && rc != QEL_EAGAIN) s->slots[--s->slot_count].buffer = NULL;
            if (rc != 0) call = "qel_queue_buffer";
        }
        if (rc != 0) break;
    }
    if (rc == 0 && self->worker) {
        call = "qel_create_recv_worker";
        rc = qel_create_recv_worker(stream, self->cpu, self->resend ? on_resend_series : NULL);
        if (rc == 0) {
            call = "qel_start_recv_worker";
            rc = qel_start_recv_worker(stream);
        }
    }
    if (rc != 0) {
        qel_src_fail(self, call, rc);
        qel_src_stop(base);
        return FALSE;
    }
    /* Every buffer is queued: the camera may send. */
    gchar *error = NULL;
    if (self->camera != NULL &&
        !qelsrc_camera_start(self->camera,
                             self->multicast_group ? self->multicast_group : local_text, self->port,
                             &error)) {
        camera_fail(self, error);
        qel_src_stop(base);
        return FALSE;
    }
    return TRUE;
}

static gboolean qel_src_unlock(GstBaseSrc *base) {
    g_atomic_int_set(&GST_QEL_SRC(base)->flushing, 1);
    return TRUE;
}

static gboolean qel_src_unlock_stop(GstBaseSrc *base) {
    g_atomic_int_set(&GST_QEL_SRC(base)->flushing, 0);
    return TRUE;
}

/* Caps are set from the first block and again whenever the camera's format or size changes. */
static gboolean qel_src_negotiate(GstBaseSrc *base) {
    (void)base;
    return TRUE;
}

/* Sets caps for the block's image; FALSE (and an error posted) for a payload the element
 * cannot describe. */
static gboolean update_caps(GstQelSrc *self, const qel_block_t *block, guint *bytes) {
    const uint32_t format = block->u.image.pixel_format;
    guint i = 0;
    while (i < G_N_ELEMENTS(pixel_formats) && pixel_formats[i].code != format) ++i;
    if (block->payload_type != 1 && block->payload_type != 0x4001) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("block %" G_GUINT64_FORMAT " is no image "
                           "(payload type %#x)",
                           (guint64)block->block_id, block->payload_type),
                          (NULL));
        return FALSE;
    }
    if (i == G_N_ELEMENTS(pixel_formats) || block->u.image.size_x == 0 ||
        block->u.image.size_y == 0 || block->u.image.size_x > G_MAXINT ||
        block->u.image.size_y > G_MAXINT) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("pixel format %#x of %ux%u is not one qelsrc "
                           "streams",
                           format, block->u.image.size_x, block->u.image.size_y),
                          (NULL));
        return FALSE;
    }
    *bytes = pixel_formats[i].bytes;
    if (format == self->pixel_format && block->u.image.size_x == self->width &&
        block->u.image.size_y == self->height)
        return TRUE;
    GstCaps *caps = gst_caps_new_simple(
        pixel_formats[i].media, "format", G_TYPE_STRING, pixel_formats[i].format, "width",
        G_TYPE_INT, (gint)block->u.image.size_x, "height", G_TYPE_INT, (gint)block->u.image.size_y,
        "framerate", GST_TYPE_FRACTION, 0, 1, NULL);
    GST_INFO_OBJECT(self, "caps %" GST_PTR_FORMAT, caps);
    const gboolean ok = gst_base_src_set_caps(GST_BASE_SRC(self), caps);
    gst_caps_unref(caps);
    if (!ok) {
        GST_ELEMENT_ERROR(
            self, CORE, NEGOTIATION,
            ("downstream refuses %s %s", pixel_formats[i].media, pixel_formats[i].format), (NULL));
        return FALSE;
    }
    self->pixel_format = format;
    self->format_index = i;
    self->width = block->u.image.size_x;
    self->height = block->u.image.size_y;
    return TRUE;
}

/* Queues again the buffers GStreamer gave back; on the streaming thread only. */
static int requeue_returned(QelShared *s) {
    int rc = 0;
    g_mutex_lock(&s->lock);
    for (guint i = 0; i < s->returned->len && rc == 0; ++i) {
        rc = qel_queue_buffer(s->slots[g_array_index(s->returned, guint, i)].buffer);
    }
    g_array_set_size(s->returned, 0);
    g_mutex_unlock(&s->lock);
    return rc;
}

/* The moment the block's trailer arrived, as the pipeline's running time: the adapter's host
 * time is real time (nanoseconds since 1970), carried over to the pipeline clock through one
 * reading of both. A block without a host time gets the running time now. */
static GstClockTime running_time_of(GstQelSrc *self, guint64 host_time) {
    GstClock *clock = gst_element_get_clock(GST_ELEMENT(self));
    if (clock == NULL) return GST_CLOCK_TIME_NONE;
    const GstClockTime base = gst_element_get_base_time(GST_ELEMENT(self));
    struct timespec real;
    clock_gettime(CLOCK_REALTIME, &real);
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const guint64 real_now = (guint64)real.tv_sec * GST_SECOND + (guint64)real.tv_nsec;
    /* A host time ahead of now (the clocks read apart) counts as now. */
    const guint64 age = host_time != 0 && host_time < real_now ? real_now - host_time : 0;
    return now > base + age ? now - base - age : 0;
}

static guint slot_of(QelShared *s, const qel_buffer_t *buffer) {
    for (guint i = 0; i < s->slot_count; ++i) {
        if (s->slots[i].buffer == buffer) return i;
    }
    return G_MAXUINT;
}

static GstFlowReturn qel_src_create(GstPushSrc *push, GstBuffer **out) {
    GstQelSrc *self = GST_QEL_SRC(push);
    QelShared *s = self->shared;
    qel_block_t block;
    qel_pr_status_t pr = {0};
    for (;;) {
        if (g_atomic_int_get(&self->flushing)) return GST_FLOW_FLUSHING;
        gchar *error = NULL;
        if (self->camera != NULL && !qelsrc_camera_check(self->camera, &error)) {
            camera_fail(self, error);
            return GST_FLOW_ERROR;
        }
        int rc = requeue_returned(s);
        if (rc != 0) {
            qel_src_fail(self, "qel_queue_buffer", rc);
            return GST_FLOW_ERROR;
        }
        gboolean waits = FALSE;
        if (self->worker) {
            rc = qel_poll_recv(s->stream, &block, 0);
        } else if (self->resend) {
            rc = qel_poll_recv_pr(s->stream, &block, self->req_id, &pr);
            self->req_id = pr.req_id ? pr.req_id : 1;
        } else {
            rc = qel_poll_recv(s->stream, &block, POLL_SLICE_MS);
            waits = TRUE;
        }
        if (rc == 0) break;
        if (rc == QEL_ENOMEM || rc == QEL_ENOBUFS || rc == QEL_EORDER) {
            self->lost++;
            GST_DEBUG_OBJECT(self, "a block was lost: %s", qel_strerror(rc));
            continue;
        }
        if (rc != QEL_EAGAIN && rc != QEL_ETIMEDOUT) {
            qel_src_fail(self, "qel_poll_recv", rc);
            return GST_FLOW_ERROR;
        }
        if (!waits) g_usleep(IDLE_PAUSE_US);
    }

    const guint slot = slot_of(s, block.buffer);
    guint bytes = 0;
    if (slot == G_MAXUINT || !update_caps(self, &block, &bytes)) {
        if (slot == G_MAXUINT)
            qel_src_fail(self, "qel_poll_recv", QEL_EPROTO);
        else
            qel_queue_buffer(block.buffer);
        return GST_FLOW_ERROR;
    }
    /* The frame's extent from the leader, checked against what the buffer holds. */
    const guint64 row = (guint64)block.u.image.size_x * bytes + block.u.image.padding_x;
    const gboolean fits = block.u.image.size_y <= self->buffer_size / row;
    const guint64 size = fits ? row * block.u.image.size_y : 0;
    const guint64 received = MIN(block.payload_length, self->buffer_size);
    gboolean complete = self->resend ? pr.status != 3 : TRUE;
    if (!fits) {
        GST_ELEMENT_ERROR(self, STREAM, FORMAT,
                          ("a %ux%u frame is larger than the %u-byte "
                           "buffers",
                           self->width, self->height, self->buffer_size),
                          (NULL));
        qel_queue_buffer(block.buffer);
        return GST_FLOW_ERROR;
    }
    if (received < size - block.u.image.padding_x) complete = FALSE; /* last row's padding */

    QelLoan *loan = g_new(QelLoan, 1);
    loan->shared = s;
    loan->slot = slot;
    g_atomic_int_inc(&s->refs);
    g_mutex_lock(&s->lock);
    s->slots[slot].lent = TRUE;
    s->lent++;
    g_mutex_unlock(&s->lock);
    GstBuffer *buffer = gst_buffer_new();
    gst_buffer_append_memory(
        buffer, gst_memory_new_wrapped(GST_MEMORY_FLAG_READONLY, block.data, self->buffer_size, 0,
                                       size, loan, loan_return));
    if (pixel_formats[self->format_index].video != GST_VIDEO_FORMAT_UNKNOWN) {
        /* The rows as the camera sends them (no rounding up, padding kept): downstream takes the
         * stride from the meta. */
        gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
        gint strides[GST_VIDEO_MAX_PLANES] = {(gint)row};
        gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE,
                                       pixel_formats[self->format_index].video, self->width,
                                       self->height, 1, offsets, strides);
    }
    GST_BUFFER_OFFSET(buffer) = block.block_id;
    GST_BUFFER_PTS(buffer) = running_time_of(self, block.host_time);
    if (block.host_time != 0) {
        /* The host time itself, for those who match frames across pipelines or hosts. */
        static GstStaticCaps unix_time = GST_STATIC_CAPS("timestamp/x-unix");
        GstCaps *reference = gst_static_caps_get(&unix_time);
        gst_buffer_add_reference_timestamp_meta(buffer, reference, block.host_time,
                                                GST_CLOCK_TIME_NONE);
        gst_caps_unref(reference);
    }
    if (!complete) {
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
        self->incomplete++;
    }
    self->delivered++;
    *out = buffer;
    return GST_FLOW_OK;
}

/* The counters: the element's own and, while streaming, the library's. */
static GstStructure *stats_of(GstQelSrc *self) {
    GstStructure *st = gst_structure_new("qelsrc-stats", "delivered", G_TYPE_UINT64,
                                         self->delivered, "lost", G_TYPE_UINT64, self->lost,
                                         "incomplete", G_TYPE_UINT64, self->incomplete, NULL);
    GST_OBJECT_LOCK(self);
    QelShared *s = self->shared;
    qel_stats_t stats;
    if (s != NULL && qel_get_stats(s->stream, &stats) == 0) {
        gst_structure_set(st, "blocks-complete", G_TYPE_UINT64, stats.blocks_complete,
                          "blocks-incomplete", G_TYPE_UINT64, stats.blocks_incomplete,
                          "blocks-dropped", G_TYPE_UINT64, stats.blocks_dropped, "resend-requests",
                          G_TYPE_UINT64, stats.resend_requests, "block-timeouts", G_TYPE_UINT64,
                          stats.block_timeouts, NULL);
    }
    GST_OBJECT_UNLOCK(self);
    return st;
}

static guint buffers_downstream(GstQelSrc *self) {
    guint n = 0;
    GST_OBJECT_LOCK(self);
    if (self->shared != NULL) {
        g_mutex_lock(&self->shared->lock);
        n = self->shared->lent;
        g_mutex_unlock(&self->shared->lock);
    }
    GST_OBJECT_UNLOCK(self);
    return n;
}

static void set_string(gchar **field, const GValue *value) {
    g_free(*field);
    *field = g_value_dup_string(value);
}

static void qel_src_set_property(GObject *object, guint id, const GValue *value,
                                 GParamSpec *pspec) {
    GstQelSrc *self = GST_QEL_SRC(object);
    switch (id) {
        case PROP_LOCAL_ADDRESS:
            set_string(&self->local_address, value);
            break;
        case PROP_PORT:
            self->port = g_value_get_uint(value);
            break;
        case PROP_MULTICAST_GROUP:
            set_string(&self->multicast_group, value);
            break;
        case PROP_CAMERA_ADDRESS:
            set_string(&self->camera_address, value);
            break;
        case PROP_CAMERA_PORT:
            self->camera_port = g_value_get_uint(value);
            break;
        case PROP_BUFFERS:
            self->buffers = g_value_get_uint(value);
            break;
        case PROP_BUFFER_SIZE:
            self->buffer_size = g_value_get_uint(value);
            break;
        case PROP_WORKER:
            self->worker = g_value_get_boolean(value);
            break;
        case PROP_CPU:
            self->cpu = g_value_get_uint(value);
            break;
        case PROP_DROP_INCOMPLETE:
            self->drop_incomplete = g_value_get_boolean(value);
            break;
        case PROP_CONTROL_CAMERA:
            set_string(&self->control_camera, value);
            break;
        case PROP_PIXEL_FORMAT:
            set_string(&self->camera_pixel_format, value);
            break;
        case PROP_WIDTH:
            self->camera_width = g_value_get_uint(value);
            break;
        case PROP_HEIGHT:
            self->camera_height = g_value_get_uint(value);
            break;
        case PROP_FRAME_RATE:
            self->camera_frame_rate = g_value_get_double(value);
            break;
        case PROP_PACKET_SIZE:
            self->camera_packet_size = g_value_get_uint(value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void qel_src_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec) {
    GstQelSrc *self = GST_QEL_SRC(object);
    switch (id) {
        case PROP_LOCAL_ADDRESS:
            g_value_set_string(value, self->local_address);
            break;
        case PROP_PORT:
            g_value_set_uint(value, self->port);
            break;
        case PROP_MULTICAST_GROUP:
            g_value_set_string(value, self->multicast_group);
            break;
        case PROP_CAMERA_ADDRESS:
            g_value_set_string(value, self->camera_address);
            break;
        case PROP_CAMERA_PORT:
            g_value_set_uint(value, self->camera_port);
            break;
        case PROP_BUFFERS:
            g_value_set_uint(value, self->buffers);
            break;
        case PROP_BUFFER_SIZE:
            g_value_set_uint(value, self->buffer_size);
            break;
        case PROP_WORKER:
            g_value_set_boolean(value, self->worker);
            break;
        case PROP_CPU:
            g_value_set_uint(value, self->cpu);
            break;
        case PROP_DROP_INCOMPLETE:
            g_value_set_boolean(value, self->drop_incomplete);
            break;
        case PROP_CONTROL_CAMERA:
            g_value_set_string(value, self->control_camera);
            break;
        case PROP_PIXEL_FORMAT:
            g_value_set_string(value, self->camera_pixel_format);
            break;
        case PROP_WIDTH:
            g_value_set_uint(value, self->camera_width);
            break;
        case PROP_HEIGHT:
            g_value_set_uint(value, self->camera_height);
            break;
        case PROP_FRAME_RATE:
            g_value_set_double(value, self->camera_frame_rate);
            break;
        case PROP_PACKET_SIZE:
            g_value_set_uint(value, self->camera_packet_size);
            break;
        case PROP_STATS:
            g_value_take_boxed(value, stats_of(self));
            break;
        case PROP_BUFFERS_DOWNSTREAM:
            g_value_set_uint(value, buffers_downstream(self));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
            break;
    }
}

static void qel_src_finalize(GObject *object) {
    GstQelSrc *self = GST_QEL_SRC(object);
    g_free(self->local_address);
    g_free(self->multicast_group);
    g_free(self->camera_address);
    g_free(self->control_camera);
    g_free(self->camera_pixel_format);
    G_OBJECT_CLASS(gst_qel_src_parent_class)->finalize(object);
}

static void gst_qel_src_init(GstQelSrc *self) {
    self->port = 50000;
    self->camera_port = GVCP_PORT;
    self->buffers = 16;
    self->buffer_size = 16u << 20;
    self->drop_incomplete = TRUE;
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    /* Each buffer carries the running time at which its block arrived (create sets it). */
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), FALSE);
}

static void gst_qel_src_class_init(GstQelSrcClass *klass) {
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base_class = GST_BASE_SRC_CLASS(klass);
    object_class->set_property = qel_src_set_property;
    object_class->get_property = qel_src_get_property;
    object_class->finalize = qel_src_finalize;
    const GParamFlags rw = G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS | GST_PARAM_MUTABLE_READY;
    const GParamFlags ro = G_PARAM_READABLE | G_PARAM_STATIC_STRINGS;
    g_object_class_install_property(
        object_class, PROP_LOCAL_ADDRESS,
        g_param_spec_string("local-address", "Local address",
                            "IPv4 address of the adapter interface the camera sends to (none: "
                            "the interface that reaches the controlled camera, else 127.0.0.1)",
                            NULL, rw));
    g_object_class_install_property(
        object_class, PROP_PORT,
        g_param_spec_uint("port", "Port", "UDP port the camera sends to", 1, 65535, 50000, rw));
    g_object_class_install_property(
        object_class, PROP_MULTICAST_GROUP,
        g_param_spec_string("multicast-group", "Multicast group",
                            "IPv4 multicast group to receive (none: unicast)", NULL, rw));
    g_object_class_install_property(
        object_class, PROP_CAMERA_ADDRESS,
        g_param_spec_string("camera-address", "Camera address",
                            "IPv4 address of the camera: lost packets are asked for again "
                            "(none: the controlled camera's, else no packet resend)",
                            NULL, rw));
    g_object_class_install_property(
        object_class, PROP_CAMERA_PORT,
        g_param_spec_uint("camera-port", "Camera port", "UDP port of the camera's GVCP", 1, 65535,
                          GVCP_PORT, rw));
    g_object_class_install_property(
        object_class, PROP_BUFFERS,
        g_param_spec_uint("buffers", "Buffers", "Frame buffers queued with the adapter", 1, 1024,
                          16, rw));
    g_object_class_install_property(
        object_class, PROP_BUFFER_SIZE,
        g_param_spec_uint("buffer-size", "Buffer size", "Bytes of each frame buffer", 4096,
                          G_MAXUINT32, 16u << 20, rw));
    g_object_class_install_property(
        object_class, PROP_WORKER,
        g_param_spec_boolean("worker", "Worker",
                             "Take blocks off the adapter on the library's receive worker thread",
                             FALSE, rw));
    g_object_class_install_property(
        object_class, PROP_CPU,
        g_param_spec_uint("cpu", "CPU", "Processor the worker is pinned to (0: not pinned)", 0,
                          G_MAXUINT32, 0, rw));
    g_object_class_install_property(
        object_class, PROP_DROP_INCOMPLETE,
        g_param_spec_boolean("drop-incomplete", "Drop incomplete",
                             "Drop incomplete frames (else push them flagged corrupted; "
                             "without camera-address the library always drops them)",
                             TRUE, rw));
    g_object_class_install_property(
        object_class, PROP_CONTROL_CAMERA,
        g_param_spec_string("control-camera", "Control camera",
                            "Camera to control (its address, serial number, user id or id; \"\": "
                            "the first that answers): configured and pointed at this stream on "
                            "start, acquiring until stop, then released (none: not controlled)",
                            NULL, rw));
    g_object_class_install_property(
        object_class, PROP_PIXEL_FORMAT,
        g_param_spec_string("pixel-format", "Pixel format",
                            "GenICam pixel format the controlled camera is set to, e.g. Mono8 "
                            "(none: the camera's)",
                            NULL, rw));
    g_object_class_install_property(
        object_class, PROP_WIDTH,
        g_param_spec_uint("width", "Width",
                          "Image width the controlled camera is set to, with height (0: the "
                          "camera's)",
                          0, G_MAXUINT32, 0, rw));
    g_object_class_install_property(
        object_class, PROP_HEIGHT,
        g_param_spec_uint("height", "Height",
                          "Image height the controlled camera is set to, with width (0: the "
                          "camera's)",
                          0, G_MAXUINT32, 0, rw));
    g_object_class_install_property(
        object_class, PROP_FRAME_RATE,
        g_param_spec_double("frame-rate", "Frame rate",
                            "Frames per second the controlled camera is set to (0: the "
                            "camera's)",
                            0, G_MAXDOUBLE, 0, rw));
    g_object_class_install_property(
        object_class, PROP_PACKET_SIZE,
        g_param_spec_uint("packet-size", "Packet size",
                          "Stream packet size (IP bytes) the controlled camera is set to (0: "
                          "the largest the path passes)",
                          0, 65535, 0, rw));
    g_object_class_install_property(
        object_class, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics", "Counters of the element and the stream",
                           GST_TYPE_STRUCTURE, ro));
    g_object_class_install_property(
        object_class, PROP_BUFFERS_DOWNSTREAM,
        g_param_spec_uint("buffers-downstream", "Buffers downstream",
                          "Frame buffers held downstream, not yet given back", 0, G_MAXUINT, 0,
                          ro));

    gst_element_class_add_static_pad_template(element_class, &src_template);
    gst_element_class_set_static_metadata(
        element_class, "qel source", "Source/Video/Network",
        "Receives GigE Vision frames through the qel adapter, without copying them",
        "qel developers");
    base_class->start = qel_src_start;
    base_class->stop = qel_src_stop;
    base_class->unlock = qel_src_unlock;
    base_class->unlock_stop = qel_src_unlock_stop;
    base_class->negotiate = qel_src_negotiate;
    GST_PUSH_SRC_CLASS(klass)->create = qel_src_create;
    GST_DEBUG_CATEGORY_INIT(qel_src_debug, "qelsrc", 0, "qel source");
}

static gboolean plugin_init(GstPlugin *plugin) {
    return gst_element_register(plugin, "qelsrc", GST_RANK_NONE, GST_TYPE_QEL_SRC);
}

#define PACKAGE "qel"
GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, qel,
                  "GigE Vision frames received by the qel adapter", plugin_init, QEL_RELEASE,
                  "Proprietary", "qel", "qel")
