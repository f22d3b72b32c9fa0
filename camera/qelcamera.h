/* libqelcamera: finds GigE Vision cameras and controls one for a qel stream. It holds the
 * camera's control channel (and keeps it alive) from open to close, points stream channel 0 at
 * a local address and port, sets the packet size and, when asked, the pixel format, image size
 * and frame rate, and starts and stops acquisition. libqel does not need it; it needs Aravis.
 *
 * Every call returns a QELCAM_* result; qelcam_last_error gives the reason of the calling
 * thread's last failure as one line. Closing stops acquisition when it was started and gives
 * control back. */
#ifndef QEL_QELCAMERA_H
#define QEL_QELCAMERA_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What libqelcamera.so exports: the functions below and nothing else. */
#if defined(QELCAM_BUILDING_LIBRARY)
#define QELCAM_EXPORT __attribute__((visibility("default")))
#else
#define QELCAM_EXPORT
#endif

#define QELCAM_OK 0
#define QELCAM_ENOTFOUND 1 /* no camera answered, or none matched */
#define QELCAM_EBUSY 2     /* another client controls the camera */
#define QELCAM_EINVAL 3    /* a value the camera or this library does not take */
#define QELCAM_EIO 4       /* the camera refused or did not answer a command */
#define QELCAM_ELOST 5     /* control was lost (the camera stopped answering the heartbeat) */

/* One camera found on the network. */
typedef struct qelcam_info {
    char id[128];     /* the camera's name for opening it */
    char address[16]; /* its IPv4 address, dotted */
    char vendor[64];
    char model[64];
    char serial[64];
    char interface_name[32];    /* the local network interface that reaches it */
    char interface_address[16]; /* that interface's IPv4 address */
} qelcam_info_t;

typedef struct qelcam_camera qelcam_camera_t;

/* The reason of the calling thread's last failure. Never null. */
QELCAM_EXPORT const char *qelcam_last_error(void);

/* Asks every interface which cameras answer, and fills up to `capacity` entries of `out`;
 * `*count` receives how many were found (possibly more than `capacity`). */
QELCAM_EXPORT int qelcam_list(qelcam_info_t *out, size_t capacity, size_t *count);

/* Opens a camera and takes control of it: `which` is its IPv4 address, its serial number,
 * user id or id as listed, or null or "" for the first camera that answers (an address is
 * asked directly; any other name is looked for among the cameras that answer a broadcast).
 * QELCAM_EBUSY when another client holds its control channel, QELCAM_EIO when the camera
 * refuses control that nobody holds. */
QELCAM_EXPORT int qelcam_open(const char *which, qelcam_camera_t **out);

/* What was opened: the camera's description (as listed). */
QELCAM_EXPORT int qelcam_info(const qelcam_camera_t *camera, qelcam_info_t *out);

/* Points stream channel 0 at `address` (IPv4, dotted) and `port`. */
QELCAM_EXPORT int qelcam_set_destination(qelcam_camera_t *camera, const char *address,
                                         uint16_t port);

/* Sets the stream's packet size (IP packet bytes): 0 asks the camera to find the largest that
 * passes the path (keeping its current size when it cannot test). *chosen, when not null,
 * receives the size in force. */
QELCAM_EXPORT int qelcam_set_packet_size(qelcam_camera_t *camera, uint32_t size, uint32_t *chosen);

/* Optional settings: a pixel format by its GenICam name ("Mono8"), the image size, the frame
 * rate in frames per second. */
QELCAM_EXPORT int qelcam_set_pixel_format(qelcam_camera_t *camera, const char *name);
QELCAM_EXPORT int qelcam_set_size(qelcam_camera_t *camera, uint32_t width, uint32_t height);
QELCAM_EXPORT int qelcam_set_frame_rate(qelcam_camera_t *camera, double frames_per_second);

/* The bytes of one block's payload with the settings in force: the buffer size to queue. */
QELCAM_EXPORT int qelcam_payload_size(qelcam_camera_t *camera, uint32_t *bytes);

QELCAM_EXPORT int qelcam_start(qelcam_camera_t *camera);
QELCAM_EXPORT int qelcam_stop(qelcam_camera_t *camera);

/* QELCAM_OK while this client controls the camera, QELCAM_ELOST once it lost control. */
QELCAM_EXPORT int qelcam_check_control(const qelcam_camera_t *camera);

/* Stops acquisition if it runs, gives control back and frees the camera. Null is accepted. */
QELCAM_EXPORT void qelcam_close(qelcam_camera_t *camera);

#ifdef __cplusplus
}
#endif

#endif
