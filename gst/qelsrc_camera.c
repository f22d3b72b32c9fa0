/* qelsrc's camera control: each step one libqelcamera call, its reason kept on failure. */
#include "qelsrc_camera.h"

#ifdef QEL_HAVE_CAMERA

#include "qelcamera.h"

struct QelSrcCamera {
    qelcam_camera_t *camera;
    qelcam_info_t info;
};

static gboolean failed(gchar **error) {
    *error = g_strdup(qelcam_last_error());
    return FALSE;
}

QelSrcCamera *qelsrc_camera_open(const QelSrcCameraSettings *s, guint buffer_size, gchar **error) {
    QelSrcCamera *c = g_new0(QelSrcCamera, 1);
    uint32_t payload = 0;
    if (qelcam_open(s->which, &c->camera) != QELCAM_OK) {
        failed(error);
        g_free(c);
        return NULL;
    }
    const gboolean applied =
        qelcam_info(c->camera, &c->info) == QELCAM_OK &&
        (s->pixel_format == NULL || *s->pixel_format == '\0' ||
         qelcam_set_pixel_format(c->camera, s->pixel_format) == QELCAM_OK) &&
        ((s->width == 0 && s->height == 0) ||
         qelcam_set_size(c->camera, s->width, s->height) == QELCAM_OK) &&
        (s->frame_rate == 0 || qelcam_set_frame_rate(c->camera, s->frame_rate) == QELCAM_OK) &&
        qelcam_set_packet_size(c->camera, s->packet_size, NULL) == QELCAM_OK &&
        qelcam_payload_size(c->camera, &payload) == QELCAM_OK;
    if (!applied) {
        failed(error);
    } else if (payload > buffer_size) {
        *error = g_strdup_printf(
            "the camera's %u-byte blocks do not fit the %u-byte buffers "
            "(buffer-size)",
            payload, buffer_size);
    } else {
        return c;
    }
    qelsrc_camera_close(c);
    return NULL;
}

const gchar *qelsrc_camera_address(const QelSrcCamera *camera) {
    return camera->info.address;
}

const gchar *qelsrc_camera_interface_address(const QelSrcCamera *camera) {
    return camera->info.interface_address;
}

gboolean qelsrc_camera_start(QelSrcCamera *camera, const gchar *destination, guint port,
                             gchar **error) {
    if (qelcam_set_destination(camera->camera, destination, (uint16_t)port) != QELCAM_OK ||
        qelcam_start(camera->camera) != QELCAM_OK)
        return failed(error);
    return TRUE;
}

gboolean qelsrc_camera_check(const QelSrcCamera *camera, gchar **error) {
    return qelcam_check_control(camera->camera) == QELCAM_OK || failed(error);
}

void qelsrc_camera_close(QelSrcCamera *camera) {
    if (camera == NULL) return;
    qelcam_close(camera->camera);
    g_free(camera);
}

#else

struct QelSrcCamera {
    int unused;
};

QelSrcCamera *qelsrc_camera_open(const QelSrcCameraSettings *s, guint buffer_size, gchar **error) {
    (void)s;
    (void)buffer_size;
    *error = g_strdup(
        "camera control is not built in: qel was built without libqelcamera (it needs Aravis "
        "0.8, Debian: libaravis-dev)");
    return NULL;
}

const gchar *qelsrc_camera_address(const QelSrcCamera *camera) {
    (void)camera;
    return "";
}

const gchar *qelsrc_camera_interface_address(const QelSrcCamera *camera) {
    (void)camera;
    return "";
}

gboolean qelsrc_camera_start(QelSrcCamera *camera, const gchar *destination, guint port,
                             gchar **error) {
    (void)camera;
    (void)destination;
    (void)port;
    (void)error;
    return FALSE;
}

gboolean qelsrc_camera_check(const QelSrcCamera *camera, gchar **error) {
    (void)camera;
    (void)error;
    return TRUE;
}

void qelsrc_camera_close(QelSrcCamera *camera) {
    (void)camera;
}

#endif
