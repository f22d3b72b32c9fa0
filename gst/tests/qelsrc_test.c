/* qelsrc in pipelines, with qel-camsim as the camera: test_qelsrc NAME runs one test.
 * GST_PLUGIN_PATH must name the folder of the built plugin. */
#include <arpa/inet.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef QEL_HAVE_CAMERA
#include "qelcamera.h"
#endif

#define WAIT_LIMIT_US \
    (G_GINT64_CONSTANT(120) * G_USEC_PER_SEC) /* generous: the machine may be loaded */

static int failures = 0;
#define CHECK(cond, ...)                                               \
    do {                                                               \
        if (!(cond)) {                                                 \
            fprintf(stderr, "%s:%d: %s: ", __FILE__, __LINE__, #cond); \
            fprintf(stderr, __VA_ARGS__);                              \
            fprintf(stderr, "\n");                                     \
            failures++;                                                \
        }                                                              \
    } while (0)

static char scratch[] = "/tmp/qelsrc-test-XXXXXX";

static guint free_port(void) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, (struct sockaddr *)&a, sizeof a) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &len) != 0) {
        perror("free_port");
        exit(2);
    }
    close(fd);
    return ntohs(a.sin_port);
}

/* qel-camsim sending to dest:port (127.0.0.1 unless set), answering resend requests on
 * control_port. */
typedef struct Camera {
    GPid pid;
    guint port, control_port;
    const char *dest;
} Camera;

static Camera camera_new(guint port) {
    Camera c = {0, port, free_port(), "127.0.0.1"};
    return c;
}

static void spawn(Camera *cam, const char *line) {
    gchar **argv = NULL;
    GError *error = NULL;
    if (!g_shell_parse_argv(line, NULL, &argv, &error) ||
        !g_spawn_async(NULL, argv, NULL, G_SPAWN_DO_NOT_REAP_CHILD, NULL, NULL, &cam->pid,
                       &error)) {
        fprintf(stderr, "cannot start the camera: %s\n", error->message);
        exit(2);
    }
    g_strfreev(argv);
}

static void camera_start(Camera *cam, const char *options) {
    gchar *line = g_strdup_printf(
        "%s --dest %s --port %u --control-addr 127.0.0.1 "
        "--control-port %u --quiet %s",
        QEL_CAMSIM, cam->dest, cam->port, cam->control_port, options);
    spawn(cam, line);
    g_free(line);
}

static void camera_stop(Camera *c) {
    kill(c->pid, SIGTERM);
    waitpid(c->pid, NULL, 0);
    g_spawn_close_pid(c->pid);
}

/* Frame n as the camera draws it (PGM or PPM): its pixels, rows without padding. */
static guint8 *expected_frame(guint n, const char *options, gsize *size) {
    gchar *line = g_strdup_printf("%s --write-frame %u %s", QEL_CAMSIM, n, options);
    gchar *out = NULL;
    gsize length = 0;
    gint status = 0;
    gchar **argv = NULL;
    if (!g_shell_parse_argv(line, NULL, &argv, NULL) ||
        !g_spawn_sync(NULL, argv, NULL, G_SPAWN_DEFAULT, NULL, NULL, &out, NULL, &status, NULL)) {
        fprintf(stderr, "cannot run %s\n", line);
        exit(2);
    }
    unsigned w = 0, h = 0, max = 0;
    int header = 0;
    char magic[3] = {0};
    if (sscanf(out, "%2s %u %u %u%n", magic, &w, &h, &max, &header) != 4) {
        fprintf(stderr, "not a PNM frame\n");
        exit(2);
    }
    length = (gsize)w * h * (strcmp(magic, "P6") == 0 ? 3 : 1);
    guint8 *pixels = g_memdup2(out + header + 1, length);
    *size = length;
    g_strfreev(argv);
    g_free(line);
    g_free(out);
    return pixels;
}

typedef struct Run {
    GstElement *pipeline, *source;
    GMutex lock;
    GArray *offsets; /* GST_BUFFER_OFFSET (the block id) of each buffer reaching the sink */
    GArray *pts, *host_times; /* its PTS and its host time (0: none) */
    GHashTable *places;       /* where the buffers' bytes lie */
    GArray *corrupted;        /* the block ids of the buffers flagged corrupted */
    GstBuffer *kept;          /* a buffer held past the pipeline's end, when asked for */
    gboolean keep_one;
    guint8 *pixels; /* the last buffer's pixels, rows without padding */
    gsize pixel_bytes;
} Run;

static void on_handoff(GstElement *sink, GstBuffer *buffer, GstPad *pad, gpointer data) {
    Run *run = data;
    (void)sink;
    g_mutex_lock(&run->lock);
    guint64 offset = GST_BUFFER_OFFSET(buffer);
    g_array_append_val(run->offsets, offset);
    guint64 pts = GST_BUFFER_PTS(buffer), host = 0;
    static GstStaticCaps unix_time = GST_STATIC_CAPS("timestamp/x-unix");
    GstCaps *reference = gst_static_caps_get(&unix_time);
    GstReferenceTimestampMeta *meta = gst_buffer_get_reference_timestamp_meta(buffer, reference);
    gst_caps_unref(reference);
    if (meta) host = meta->timestamp;
    g_array_append_val(run->pts, pts);
    g_array_append_val(run->host_times, host);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED))
        g_array_append_val(run->corrupted, offset);
    GstMapInfo map;
    if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
        g_hash_table_add(run->places, map.data);
        gst_buffer_unmap(buffer, &map);
    }
    if (run->keep_one && run->kept == NULL) run->kept = gst_buffer_ref(buffer);
    GstCaps *caps = gst_pad_get_current_caps(pad);
    GstVideoInfo info;
    GstVideoFrame frame;
    if (caps && gst_video_info_from_caps(&info, caps) &&
        gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        const gsize row =
            (gsize)GST_VIDEO_INFO_WIDTH(&info) * GST_VIDEO_INFO_COMP_PSTRIDE(&info, 0);
        const gsize rows = GST_VIDEO_INFO_HEIGHT(&info);
        g_free(run->pixels);
        run->pixels = g_malloc(row * rows);
        run->pixel_bytes = row * rows;
        for (gsize y = 0; y < rows; ++y) {
            memcpy(run->pixels + y * row,
                   (guint8 *)GST_VIDEO_FRAME_PLANE_DATA(&frame, 0) +
                       y * GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0),
                   row);
        }
        gst_video_frame_unmap(&frame);
    }
    if (caps) gst_caps_unref(caps);
    g_mutex_unlock(&run->lock);
}

static Run *run_new(const char *description) {
    Run *run = g_new0(Run, 1);
    GError *error = NULL;
    run->pipeline = gst_parse_launch(description, &error);
    if (run->pipeline == NULL) {
        fprintf(stderr, "%s: %s\n", description, error->message);
        exit(2);
    }
    g_mutex_init(&run->lock);
    run->offsets = g_array_new(FALSE, FALSE, sizeof(guint64));
    run->pts = g_array_new(FALSE, FALSE, sizeof(guint64));
    run->host_times = g_array_new(FALSE, FALSE, sizeof(guint64));
    run->places = g_hash_table_new(NULL, NULL);
    run->corrupted = g_array_new(FALSE, FALSE, sizeof(guint64));
    run->source = gst_bin_get_by_name(GST_BIN(run->pipeline), "src");
    GstElement *sink = gst_bin_get_by_name(GST_BIN(run->pipeline), "sink");
    if (sink) {
        g_object_set(sink, "signal-handoffs", TRUE, NULL);
        g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), run);
        gst_object_unref(sink);
    }
    return run;
}

static guint frames_seen(Run *run) {
    g_mutex_lock(&run->lock);
    guint n = run->offsets->len;
    g_mutex_unlock(&run->lock);
    return n;
}

/* Waits for EOS (TRUE) or an error; fails the test on an error. */
static gboolean wait_eos(Run *run) {
    GstBus *bus = gst_element_get_bus(run->pipeline);
    GstMessage *m =
        gst_bus_timed_pop_filtered(bus, WAIT_LIMIT_US * 1000, GST_MESSAGE_EOS | GST_MESSAGE_ERROR);
    gboolean eos = m && GST_MESSAGE_TYPE(m) == GST_MESSAGE_EOS;
    if (m && !eos) {
        GError *error = NULL;
        gst_message_parse_error(m, &error, NULL);
        CHECK(FALSE, "pipeline error: %s", error->message);
        g_error_free(error);
    }
    CHECK(m != NULL, "no end of stream in time");
    if (m) gst_message_unref(m);
    gst_object_unref(bus);
    return eos;
}

/* Waits until `count` frames reached the sink, failing on a pipeline error. */
static gboolean wait_frames(Run *run, guint count) {
    GstBus *bus = gst_element_get_bus(run->pipeline);
    const gint64 end = g_get_monotonic_time() + WAIT_LIMIT_US;
    gboolean ok = FALSE;
    while (!(ok = frames_seen(run) >= count) && g_get_monotonic_time() < end) {
        GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
        if (m) {
            GError *error = NULL;
            gst_message_parse_error(m, &error, NULL);
            CHECK(FALSE, "pipeline error: %s", error->message);
            g_error_free(error);
            gst_message_unref(m);
            break;
        }
        g_usleep(1000);
    }
    gst_object_unref(bus);
    CHECK(ok, "%u frames of %u", frames_seen(run), count);
    return ok;
}

static void play(Run *run) {
    CHECK(gst_element_set_state(run->pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE,
          "cannot play");
    /* A live source opens its stream on the way to PAUSED: wait for that before the camera
     * (the pipeline as a whole waits for a first frame to reach the sink). */
    GstElement *first = run->source ? run->source : run->pipeline;
    GstState state = GST_STATE_NULL;
    const gint64 end = g_get_monotonic_time() + WAIT_LIMIT_US;
    while (g_get_monotonic_time() < end) {
        gst_element_get_state(first, &state, NULL, 0);
        if (state >= GST_STATE_PAUSED) break;
        g_usleep(1000);
    }
    CHECK(state >= GST_STATE_PAUSED, "the source did not start");
}

static void run_free(Run *run) {
    gst_element_set_state(run->pipeline, GST_STATE_NULL);
    if (run->source) gst_object_unref(run->source);
    gst_object_unref(run->pipeline);
    if (run->kept) gst_buffer_unref(run->kept);
    g_array_free(run->offsets, TRUE);
    g_array_free(run->pts, TRUE);
    g_array_free(run->host_times, TRUE);
    g_hash_table_destroy(run->places);
    g_array_free(run->corrupted, TRUE);
    g_free(run->pixels);
    g_mutex_clear(&run->lock);
    g_free(run);
}

static guint64 stat_of(Run *run, const char *name) {
    GstStructure *stats = NULL;
    guint64 value = 0;
    g_object_get(run->source, "stats", &stats, NULL);
    if (stats == NULL || !gst_structure_get_uint64(stats, name, &value)) {
        CHECK(FALSE, "no counter %s", name);
    }
    if (stats) gst_structure_free(stats);
    return value;
}

#define SMALL "--width 62 --height 40"

/* Every frame of 40 arrives, in order, through 1% packet loss: on the poll path and with the
 * worker thread. */
static void lossless_with_resend(void) {
    const guint frames = 40;
    for (int worker = 0; worker < 2; ++worker) {
        Camera cam = camera_new(free_port());
        /* Enough buffers for a loaded machine, where blocks waiting for resent packets hold
         * theirs a while. */
        gchar *pipeline = g_strdup_printf(
            "qelsrc name=src port=%u camera-address=127.0.0.1 camera-port=%u worker=%d "
            "buffers=32 buffer-size=65536 num-buffers=%u ! fakesink name=sink",
            cam.port, cam.control_port, worker, frames);
        Run *run = run_new(pipeline);
        play(run);
        gchar *options =
            g_strdup_printf(SMALL " --frames %u --fps 50 --loss 10 --linger 30", frames);
        camera_start(&cam, options);
        const gboolean ended = wait_eos(run);
        if (!ended) {
            GstStructure *stats = NULL;
            g_object_get(run->source, "stats", &stats, NULL);
            gchar *text = stats ? gst_structure_to_string(stats) : g_strdup("no stats");
            fprintf(stderr, "worker %d: %u frames; %s\n", worker, frames_seen(run), text);
            g_free(text);
            if (stats) gst_structure_free(stats);
        } else {
            CHECK(run->offsets->len == frames, "worker %d: %u frames", worker, run->offsets->len);
            for (guint i = 0; i < run->offsets->len; ++i) {
                CHECK(g_array_index(run->offsets, guint64, i) == i + 1, "frame %u is block %lu", i,
                      (unsigned long)g_array_index(run->offsets, guint64, i));
            }
            CHECK(stat_of(run, "resend-requests") > 0, "no resend requests at 1%% loss");
            CHECK(stat_of(run, "lost") == 0, "frames lost");
        }
        run_free(run);
        camera_stop(&cam);
        g_free(options);
        g_free(pipeline);
    }
}

/* The PNG that qelsrc ! videoconvert ! pngenc writes holds the camera's frame, pixel for pixel,
 * for a grey and a colour format whose rows GStreamer would otherwise pad (62 pixels). */
static void pixels_equal_the_camera(void) {
    static const struct {
        const char *camera_format, *gst_format;
    } cases[] = {{"Mono8", "GRAY8"}, {"RGB8", "RGB"}};
    for (guint i = 0; i < G_N_ELEMENTS(cases); ++i) {
        Camera cam = camera_new(free_port());
        gchar *png = g_strdup_printf("%s/frame-%u.png", scratch, i);
        gchar *pipeline = g_strdup_printf(
            "qelsrc name=src port=%u camera-address=127.0.0.1 camera-port=%u buffers=4 "
            "buffer-size=65536 num-buffers=1 ! videoconvert ! pngenc ! filesink location=%s",
            cam.port, cam.control_port, png);
        Run *run = run_new(pipeline);
        play(run);
        gchar *drawn = g_strdup_printf(SMALL " --pixel-format %s", cases[i].camera_format);
        gchar *options = g_strdup_printf("%s --fps 50 --linger 30", drawn);
        camera_start(&cam, options);
        wait_eos(run);
        run_free(run);
        camera_stop(&cam);

        gchar *decode = g_strdup_printf(
            "filesrc location=%s ! pngdec ! videoconvert ! "
            "video/x-raw,format=%s ! fakesink name=sink",
            png, cases[i].gst_format);
        Run *check = run_new(decode);
        play(check);
        if (wait_eos(check)) {
            gsize size = 0;
            guint8 *want = expected_frame(0, drawn, &size); /* block 1 is frame 0 */
            CHECK(check->pixel_bytes == size && memcmp(check->pixels, want, size) == 0,
                  "%s: the PNG differs from the camera's frame", cases[i].camera_format);
            g_free(want);
        }
        run_free(check);
        g_free(decode);
        g_free(options);
        g_free(drawn);
        g_free(pipeline);
        g_free(png);
    }
}

/* A camera that changes its format and size mid-stream: the caps follow and the pixels of the
 * last frame are those of the new format. */
static void caps_follow_the_camera(void) {
    const guint port = free_port();
    gchar *pipeline = g_strdup_printf(
        "qelsrc name=src port=%u buffers=4 buffer-size=65536 ! fakesink name=sink", port);
    Run *run = run_new(pipeline);
    play(run);
    /* The second run of the simulator is the same camera: it sends from the same port and goes
     * on with the block ids where the first stopped. */
    const guint source_port = free_port();
    static const char *const drawn[] = {"--width 64 --height 48 --pixel-format Mono8",
                                        "--width 62 --height 40 --pixel-format RGB8"};
    static const char *const first_id[] = {"1", "4"};
    for (guint i = 0; i < G_N_ELEMENTS(drawn); ++i) {
        Camera cam = camera_new(port);
        gchar *options = g_strdup_printf(
            "%s --frames 3 --fps 50 --no-control --first-block-id %s "
            "--source-port %u",
            drawn[i], first_id[i], source_port);
        camera_start(&cam, options);
        wait_frames(run, 3 * (i + 1));
        camera_stop(&cam);
        g_free(options);
    }
    g_mutex_lock(&run->lock);
    if (run->offsets->len >= 6) {
        const guint64 last = g_array_index(run->offsets, guint64, run->offsets->len - 1);
        gsize size = 0;
        guint8 *want = expected_frame((guint)(last - 4), drawn[1], &size); /* its frame 2 */
        CHECK(run->pixel_bytes == size && memcmp(run->pixels, want, size) == 0,
              "the last frame is not the RGB camera's (%zu bytes)", run->pixel_bytes);
        g_free(want);
    }
    g_mutex_unlock(&run->lock);
    run_free(run);
    g_free(pipeline);
}

/* Pause and play mid-stream, then stop with a frame still held downstream: the frame's memory
 * stays the frame's, the stream is closed (a new source takes the same port), and a later
 * source ends cleanly on EOS. */
static void state_changes_mid_stream(void) {
    Camera cam = camera_new(free_port());
    gchar *pipeline = g_strdup_printf(
        "qelsrc name=src port=%u camera-address=127.0.0.1 camera-port=%u buffers=4 "
        "buffer-size=65536 ! fakesink name=sink",
        cam.port, cam.control_port);
    Run *run = run_new(pipeline);
    run->keep_one = TRUE;
    play(run);
    camera_start(&cam, SMALL " --fps 100 --linger 30");
    wait_frames(run, 5);
    guint held = 0;
    g_object_get(run->source, "buffers-downstream", &held, NULL);
    CHECK(held >= 1, "the kept frame is not counted downstream");
    gst_element_set_state(run->pipeline, GST_STATE_PAUSED);
    gst_element_get_state(run->pipeline, NULL, NULL, GST_CLOCK_TIME_NONE);
    const guint paused_at = frames_seen(run);
    play(run);
    wait_frames(run, paused_at + 5);
    gst_element_set_state(run->pipeline, GST_STATE_NULL);
    GstBuffer *kept = run->kept;
    run->kept = NULL;
    if (kept != NULL) {
        gsize size = 0;
        guint8 *want = expected_frame((guint)GST_BUFFER_OFFSET(kept) - 1, SMALL, &size);
        GstMapInfo map;
        CHECK(gst_buffer_map(kept, &map, GST_MAP_READ), "cannot map the kept frame");
        CHECK(map.size == size && memcmp(map.data, want, size) == 0,
              "the kept frame changed after the stop");
        gst_buffer_unmap(kept, &map);
        gst_buffer_unref(kept); /* gives its memory back to a closed stream: freed */
        g_free(want);
    }
    run_free(run);

    Run *again = run_new(pipeline);
    play(again);
    wait_frames(again, 3);
    gst_element_send_event(again->pipeline, gst_event_new_eos());
    wait_eos(again);
    run_free(again);
    camera_stop(&cam);
    g_free(pipeline);
}

/* Blocks 1 to `count` reached the sink, each once, in order. */
static void check_in_order(Run *run, guint count, const char *what) {
    CHECK(run->offsets->len == count, "%s: %u frames of %u", what, run->offsets->len, count);
    for (guint i = 0; i < run->offsets->len; ++i) {
        CHECK(g_array_index(run->offsets, guint64, i) == i + 1, "%s: frame %u is block %lu", what,
              i, (unsigned long)g_array_index(run->offsets, guint64, i));
    }
}

/* Each buffer is stamped with the moment its block arrived (its host time, also attached as a
 * reference timestamp), not with the moment the element handed it on: with a downstream that
 * takes half a second per frame, frames sent 10 ms apart keep timestamps about 10 ms apart. */
static void timestamps_are_arrival_times(void) {
    const guint frames = 6;
    const GstClockTimeDiff slow = 500 * GST_MSECOND;
    Camera cam = camera_new(free_port());
    gchar *pipeline = g_strdup_printf(
        "qelsrc name=src port=%u buffers=%u buffer-size=65536 num-buffers=%u ! "
        "identity sleep-time=%" G_GINT64_FORMAT " ! fakesink name=sink",
        cam.port, frames + 2, frames, slow / GST_USECOND);
    Run *run = run_new(pipeline);
    play(run);
    camera_start(&cam, SMALL " --frames 6 --fps 100 --no-control");
    if (wait_eos(run)) {
        check_in_order(run, frames, "timestamps");
        for (guint i = 0; i < run->pts->len; ++i) {
            const guint64 host = g_array_index(run->host_times, guint64, i);
            const guint64 pts = g_array_index(run->pts, guint64, i);
            CHECK(host != 0 && GST_CLOCK_TIME_IS_VALID(pts),
                  "frame %u: host time %" G_GUINT64_FORMAT ", pts %" G_GUINT64_FORMAT, i, host,
                  pts);
            if (i == 0 || host == 0) continue;
            const GstClockTimeDiff pts_step =
                GST_CLOCK_DIFF(g_array_index(run->pts, guint64, i - 1), pts);
            const GstClockTimeDiff host_step =
                GST_CLOCK_DIFF(g_array_index(run->host_times, guint64, i - 1), host);
            /* Half the downstream's pace: wide enough for a loaded machine's clock readings. */
            CHECK(pts_step >= 0 && ABS(pts_step - host_step) < slow / 2,
                  "frame %u: %" G_GINT64_FORMAT
                  " ns after the one before, its block %" G_GINT64_FORMAT " ns after",
                  i, pts_step, host_step);
        }
    }
    run_free(run);
    camera_stop(&cam);
    g_free(pipeline);
}

/* Frames 2 and 5 lose a packet that the camera does not resend: with drop-incomplete they are
 * left out, without it they come flagged corrupted (blocks 3 and 6), the others unflagged. */
static void incomplete_frames_dropped_or_flagged(void) {
    static const struct {
        gboolean drop;
        guint64 blocks[8], corrupted[2];
        guint corrupted_count;
    } cases[] = {{TRUE, {1, 2, 4, 5, 7, 8, 9, 10}, {0, 0}, 0},
                 {FALSE, {1, 2, 3, 4, 5, 6, 7, 8}, {3, 6}, 2}};
    for (guint c = 0; c < G_N_ELEMENTS(cases); ++c) {
        Camera cam = camera_new(free_port());
        /* A buffer for every frame: the frames after a lost packet wait in theirs until the
         * block is given up (after a second). */
        gchar *pipeline = g_strdup_printf(
            "qelsrc name=src port=%u camera-address=127.0.0.1 camera-port=%u buffers=16 "
            "buffer-size=65536 num-buffers=8 drop-incomplete=%d ! fakesink name=sink",
            cam.port, cam.control_port, cases[c].drop);
        Run *run = run_new(pipeline);
        play(run);
        camera_start(&cam, SMALL
                     " --frames 12 --fps 50 --ignore-resend --linger 30 "
                     "--drop 2:1 --drop 5:1");
        if (wait_eos(run)) {
            CHECK(run->offsets->len == 8, "drop %d: %u frames", cases[c].drop, run->offsets->len);
            for (guint i = 0; i < run->offsets->len && i < 8; ++i) {
                CHECK(g_array_index(run->offsets, guint64, i) == cases[c].blocks[i],
                      "drop %d: frame %u is block %lu", cases[c].drop, i,
                      (unsigned long)g_array_index(run->offsets, guint64, i));
            }
            CHECK(run->corrupted->len == cases[c].corrupted_count, "drop %d: %u flagged",
                  cases[c].drop, run->corrupted->len);
            for (guint i = 0; i < run->corrupted->len && i < cases[c].corrupted_count; ++i) {
                CHECK(g_array_index(run->corrupted, guint64, i) == cases[c].corrupted[i],
                      "drop %d: block %lu flagged", cases[c].drop,
                      (unsigned long)g_array_index(run->corrupted, guint64, i));
            }
            CHECK(stat_of(run, "incomplete") == cases[c].corrupted_count,
                  "drop %d: incomplete counted wrong", cases[c].drop);
        }
        run_free(run);
        camera_stop(&cam);
        g_free(pipeline);
    }
}

/* A stream from a multicast group on loopback: every frame, in order, and never copied: ten
 * frames reach the sink in the four qel buffers the adapter reassembled them into. */
static void multicast_group(void) {
    const guint frames = 10;
    Camera cam = camera_new(free_port());
    /* Organisation-local scope, named after the free port so that runs side by side do not
     * mix. */
    gchar *group = g_strdup_printf("239.255.%u.%u", cam.port >> 8, cam.port & 0xFF);
    cam.dest = group;
    gchar *pipeline = g_strdup_printf(
        "qelsrc name=src multicast-group=%s port=%u buffers=4 buffer-size=65536 num-buffers=%u ! "
        "fakesink name=sink",
        group, cam.port, frames);
    Run *run = run_new(pipeline);
    play(run);
    camera_start(&cam, SMALL " --frames 10 --fps 50 --no-control --mcast-if 127.0.0.1");
    if (wait_eos(run)) {
        check_in_order(run, frames, "multicast");
        CHECK(g_hash_table_size(run->places) <= 4, "frames in %u places",
              g_hash_table_size(run->places));
    }
    run_free(run);
    camera_stop(&cam);
    g_free(pipeline);
    g_free(group);
}

#ifdef QEL_HAVE_CAMERA
#define DEVICE "127.0.0.2"

/* The first message of `type` on the pipeline's bus within the wait limit, or null. */
static GstMessage *wait_message(Run *run, GstMessageType type) {
    GstBus *bus = gst_element_get_bus(run->pipeline);
    GstMessage *m = gst_bus_timed_pop_filtered(bus, WAIT_LIMIT_US * 1000, type);
    gst_object_unref(bus);
    return m;
}

/* qelsrc controlling qel-camsim as a GigE Vision device: it configures the camera, points it
 * at the stream and starts it; every frame comes complete through 2% loss (lost packets asked
 * of the controlled camera), equal to the simulator's; stopping the pipeline gives control
 * back. A camera that another client holds fails the start, saying so. */
static void camera_control(void) {
    Camera device = {0, 0, 0, DEVICE};
    gchar *line =
        g_strdup_printf("%s --device --control-addr " DEVICE " --quiet --loss 20", QEL_CAMSIM);
    spawn(&device, line);
    g_free(line);
    /* Its first answer takes a moment: wait until control can be taken and given back. */
    qelcam_camera_t *held = NULL;
    const gint64 end = g_get_monotonic_time() + WAIT_LIMIT_US;
    gboolean ended = FALSE; /* its port taken, say: whatever answers there is not it */
    while (qelcam_open(DEVICE, &held) != QELCAM_OK && g_get_monotonic_time() < end &&
           !(ended = waitpid(device.pid, NULL, WNOHANG) == device.pid)) {
        g_usleep(100000);
    }
    if (ended) {
        CHECK(FALSE, "the device ended");
        qelcam_close(held);
        return;
    }
    CHECK(held != NULL, "the device did not answer: %s", qelcam_last_error());
    if (held == NULL) {
        camera_stop(&device);
        return;
    }

    const guint frames = 6;
    const char *drawn = "--width 62 --height 40 --pixel-format RGB8";
    gchar *pipeline = g_strdup_printf(
        "qelsrc name=src control-camera=" DEVICE
        " pixel-format=RGB8 width=62 height=40 "
        "frame-rate=50 packet-size=1400 port=%u buffers=8 buffer-size=65536 num-buffers=%u ! "
        "fakesink name=sink",
        free_port(), frames);
    /* Held by another: the start fails with the camera's reason. */
    Run *refused = run_new(pipeline);
    CHECK(gst_element_set_state(refused->pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE,
          "started with a camera another client controls");
    GstMessage *m = wait_message(refused, GST_MESSAGE_ERROR);
    if (m) {
        GError *error = NULL;
        gst_message_parse_error(m, &error, NULL);
        CHECK(strstr(error->message, "controlled by another client") != NULL, "error: %s",
              error->message);
        g_error_free(error);
        gst_message_unref(m);
    }
    CHECK(m != NULL, "no error for a camera another client controls");
    run_free(refused);
    qelcam_close(held);
    held = NULL;

    Run *run = run_new(pipeline);
    play(run);
    if (wait_eos(run)) {
        check_in_order(run, frames, "controlled camera"); /* each acquisition starts at 1 */
        CHECK(stat_of(run, "resend-requests") > 0, "no resend requests at 2%% loss");
        CHECK(stat_of(run, "incomplete") == 0 && stat_of(run, "lost") == 0,
              "frames incomplete or lost");
        gsize size = 0;
        guint8 *want = expected_frame(frames - 1, drawn, &size);
        CHECK(run->pixel_bytes == size && memcmp(run->pixels, want, size) == 0,
              "the last frame is not the camera's");
        g_free(want);
    }
    run_free(run);
    /* Stopped, the element gave control back. */
    CHECK(qelcam_open(DEVICE, &held) == QELCAM_OK, "control not given back: %s",
          qelcam_last_error());
    qelcam_close(held);
    camera_stop(&device);
    g_free(pipeline);
}
#endif

int main(int argc, char **argv) {
    if (argc != 2 || g_mkdtemp(scratch) == NULL) {
        fprintf(stderr, "usage: test_qelsrc NAME\n");
        return 2;
    }
    /* The adapter on loopback alone, with run and state folders of this run. */
    gchar *run_dir = g_strdup_printf("%s/run", scratch),
          *state = g_strdup_printf("%s/state", scratch);
    g_setenv("QEL_ADAPTER_IFACES", "lo", TRUE);
    g_setenv("QEL_ADAPTER_RUN_DIR", run_dir, TRUE);
    g_setenv("QEL_ADAPTER_STATE_DIR", state, TRUE);
    gst_init(NULL, NULL);
    static const struct {
        const char *name;
        void (*run)(void);
    } tests[] = {
        {"lossless_with_resend", lossless_with_resend},
        {"pixels_equal_the_camera", pixels_equal_the_camera},
        {"caps_follow_the_camera", caps_follow_the_camera},
        {"state_changes_mid_stream", state_changes_mid_stream},
        {"timestamps_are_arrival_times", timestamps_are_arrival_times},
        {"multicast_group", multicast_group},
        {"incomplete_frames_dropped_or_flagged", incomplete_frames_dropped_or_flagged},
#ifdef QEL_HAVE_CAMERA
        {"camera_control", camera_control},
#endif
    };
    gboolean found = FALSE;
    for (guint i = 0; i < G_N_ELEMENTS(tests); ++i) {
        if (strcmp(argv[1], tests[i].name) == 0) {
            tests[i].run();
            found = TRUE;
        }
    }
    gchar *remove = g_strdup_printf("rm -rf %s", scratch);
    if (system(remove) != 0) fprintf(stderr, "cannot remove %s\n", scratch);
    g_free(remove);
    g_free(run_dir);
    g_free(state);
    if (!found) {
        fprintf(stderr, "no test %s\n", argv[1]);
        return 2;
    }
    printf("%s: %d failures\n", argv[1], failures);
    return failures == 0 ? 0 : 1;
}
