/* aravis_recv: receives a GigE Vision camera's stream with Aravis's own stream receiver, the
 * reference qel is measured against (scripts/aravis-bench). It sets the camera up as qel-recv
 * --control-camera would, queues its buffers, starts acquisition, counts what the stream hands
 * back until the frames asked for came or the time is up, and prints one JSON line: frames
 * complete and failed, bytes, seconds, and every counter of Aravis's stream.
 *
 *   aravis_recv ADDRESS [--width W] [--height H] [--pixel-format NAME] [--frame-rate F]
 *               [--packet-size BYTES] [--frames N] [--seconds S] [--buffers N]
 *               [--no-resend] [--udp-socket]
 */
#include <arv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

struct options {
    const char *address;
    long width, height, packet_size, frames, buffers;
    double frame_rate, seconds;
    const char *pixel_format;
    int resend, udp_socket;
};

static double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int usage(void) {
    fprintf(stderr,
            "usage: aravis_recv ADDRESS [--width W] [--height H] [--pixel-format NAME]\n"
            "       [--frame-rate F] [--packet-size BYTES] [--frames N] [--seconds S]\n"
            "       [--buffers N] [--no-resend] [--udp-socket]\n");
    return 2;
}

/* Reads the options; 0 when they are usable. */
static int parse(int argc, char **argv, struct options *o) {
    memset(o, 0, sizeof *o);
    o->frames = 0;
    o->seconds = 10;
    o->buffers = 64;
    o->resend = 1;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : NULL;
        if (strcmp(a, "--no-resend") == 0) {
            o->resend = 0;
        } else if (strcmp(a, "--udp-socket") == 0) {
            o->udp_socket = 1;
        } else if (a[0] == '-' && value == NULL) {
            return -1;
        } else if (strcmp(a, "--width") == 0) {
            o->width = atol(argv[++i]);
        } else if (strcmp(a, "--height") == 0) {
            o->height = atol(argv[++i]);
        } else if (strcmp(a, "--pixel-format") == 0) {
            o->pixel_format = argv[++i];
        } else if (strcmp(a, "--frame-rate") == 0) {
            o->frame_rate = atof(argv[++i]);
        } else if (strcmp(a, "--packet-size") == 0) {
            o->packet_size = atol(argv[++i]);
        } else if (strcmp(a, "--frames") == 0) {
            o->frames = atol(argv[++i]);
        } else if (strcmp(a, "--seconds") == 0) {
            o->seconds = atof(argv[++i]);
        } else if (strcmp(a, "--buffers") == 0) {
            o->buffers = atol(argv[++i]);
        } else if (a[0] != '-' && o->address == NULL) {
            o->address = a;
        } else {
            return -1;
        }
    }
    return o->address != NULL && o->buffers > 0 && o->seconds > 0 ? 0 : -1;
}

/* Reports `what` and the error, frees it; returns the exit status 1. */
static int failed(const char *what, GError *error) {
    fprintf(stderr, "aravis_recv: %s: %s\n", what, error != NULL ? error->message : "failed");
    if (error != NULL) g_error_free(error);
    return 1;
}

/* Applies the settings asked for; 0 on success. */
static int configure(ArvCamera *camera, const struct options *o) {
    GError *error = NULL;
    if (o->pixel_format != NULL) {
        arv_camera_set_pixel_format_from_string(camera, o->pixel_format, &error);
        if (error != NULL) return failed("pixel format", error);
    }
    if (o->width > 0) {
        arv_camera_set_integer(camera, "Width", o->width, &error);
        if (error == NULL) arv_camera_set_integer(camera, "Height", o->height, &error);
        if (error != NULL) return failed("image size", error);
    }
    if (o->frame_rate > 0) {
        arv_camera_set_frame_rate(camera, o->frame_rate, &error);
        if (error != NULL) return failed("frame rate", error);
    }
    if (o->packet_size > 0) {
        arv_camera_gv_set_packet_size(camera, (gint)o->packet_size, &error);
        if (error != NULL) return failed("packet size", error);
    }
    return 0;
}

/* Every unsigned counter the stream keeps, as JSON members. */
static void print_stream_counters(ArvStream *stream) {
    const guint n = arv_stream_get_n_infos(stream);
    for (guint i = 0; i < n; ++i) {
        if (arv_stream_get_info_type(stream, i) != G_TYPE_UINT64) continue;
        const char *name = arv_stream_get_info_name(stream, i);
        printf(",\"%s\":%llu", name,
               (unsigned long long)arv_stream_get_info_uint64_by_name(stream, name));
    }
}

int main(int argc, char **argv) {
    struct options o;
    if (parse(argc, argv, &o) != 0) return usage();

    GError *error = NULL;
    ArvCamera *camera = arv_camera_new(o.address, &error);
    if (camera == NULL) return failed(o.address, error);
    if (!arv_camera_is_gv_device(camera)) {
        fprintf(stderr, "aravis_recv: %s is not a GigE Vision camera\n", o.address);
        g_object_unref(camera);
        return 1;
    }
    int status = configure(camera, &o);
    if (status != 0) {
        g_object_unref(camera);
        return status;
    }
    if (o.udp_socket) {
        arv_gv_device_set_stream_options(ARV_GV_DEVICE(arv_camera_get_device(camera)),
                                         ARV_GV_STREAM_OPTION_PACKET_SOCKET_DISABLED);
    }
    const guint payload = arv_camera_get_payload(camera, &error);
    if (error != NULL) {
        g_object_unref(camera);
        return failed("payload size", error);
    }
    ArvStream *stream = arv_camera_create_stream(camera, NULL, NULL, &error);
    if (stream == NULL) {
        g_object_unref(camera);
        return failed("stream", error);
    }
    g_object_set(stream, "packet-resend",
                 o.resend ? ARV_GV_STREAM_PACKET_RESEND_ALWAYS : ARV_GV_STREAM_PACKET_RESEND_NEVER,
                 NULL);
    for (long i = 0; i < o.buffers; ++i)
        arv_stream_push_buffer(stream, arv_buffer_new(payload, NULL));

    unsigned long long complete = 0, failures = 0, bytes = 0;
    arv_camera_start_acquisition(camera, &error);
    if (error != NULL) {
        g_object_unref(stream);
        g_object_unref(camera);
        return failed("start", error);
    }
    const double start = now_seconds();
    double first = 0, last = 0;
    while (now_seconds() - start < o.seconds && (o.frames == 0 || (long)complete < o.frames)) {
        ArvBuffer *buffer = arv_stream_timeout_pop_buffer(stream, 100000);
        if (buffer == NULL) continue;
        const double at = now_seconds();
        if (first == 0) first = at;
        last = at;
        if (arv_buffer_get_status(buffer) == ARV_BUFFER_STATUS_SUCCESS) {
            size_t size = 0;
            arv_buffer_get_data(buffer, &size);
            bytes += size;
            ++complete;
        } else {
            ++failures;
        }
        arv_stream_push_buffer(stream, buffer);
    }
    arv_camera_stop_acquisition(camera, &error);
    if (error != NULL) g_clear_error(&error);

    printf("{\"frames_complete\":%llu,\"frames_failed\":%llu,\"bytes\":%llu,\"seconds\":%.6f",
           complete, failures, bytes, last > first ? last - first : 0.0);
    print_stream_counters(stream);
    printf("}\n");
    g_object_unref(stream);
    g_object_unref(camera);
    arv_shutdown();
    return 0;
}
