/* Camera control for qelsrc, over libqelcamera where qel was built with it; without it every
 * opening fails, saying so. */
#ifndef QELSRC_CAMERA_H
#define QELSRC_CAMERA_H

#include <glib.h>

G_BEGIN_DECLS

/* What the element asks of the camera; zero or null leaves the camera's own setting. */
typedef struct QelSrcCameraSettings {
    const gchar *which; /* address, serial, user id or id; "" for the first that answers */
    const gchar *pixel_format;
    guint width, height;
    gdouble frame_rate;
    guint packet_size; /* 0: the largest the path passes */
} QelSrcCameraSettings;

typedef struct QelSrcCamera QelSrcCamera;

/* Takes control of the camera and applies the settings; the camera's blocks must fit in
 * `buffer_size` bytes. NULL and *error (to be freed) on failure, control given back. */
QelSrcCamera *qelsrc_camera_open(const QelSrcCameraSettings *settings, guint buffer_size,
                                 gchar **error);
/* The camera's IPv4 address, and that of the local interface that reaches it. */
const gchar *qelsrc_camera_address(const QelSrcCamera *camera);
const gchar *qelsrc_camera_interface_address(const QelSrcCamera *camera);
/* Points the camera's stream at `destination`:`port` and starts acquisition. */
gboolean qelsrc_camera_start(QelSrcCamera *camera, const gchar *destination, guint port,
                             gchar **error);
/* FALSE (and *error) once the camera stopped answering. */
gboolean qelsrc_camera_check(const QelSrcCamera *camera, gchar **error);
/* Stops acquisition when it runs and gives control back. NULL is accepted. */
void qelsrc_camera_close(QelSrcCamera *camera);

G_END_DECLS

#endif
