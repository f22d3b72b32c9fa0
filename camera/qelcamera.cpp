// Camera control through Aravis: its GigE Vision device keeps the control channel and its
// heartbeat; this file turns each step qel needs into one call with a result and a reason.
#include "qelcamera.h"

#include <arpa/inet.h>
#include <arv.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// GigE Vision bootstrap registers of stream channel 0.
constexpr guint64 kStreamChannelPort = 0x0D00;     // host port in the low 16 bits
constexpr guint64 kStreamChannelAddress = 0x0D18;  // destination IPv4 address
// Control channel privilege: its low two bits (exclusive, control) say whether any client
// holds control.
constexpr guint64 kControlChannelPrivilege = 0x0A00;
constexpr guint32 kPrivilegeHeld = 0x3;
// The bootstrap strings a device is named by (what discovery answers carry).
constexpr guint64 kManufacturerName = 0x0048;
constexpr guint64 kModelName = 0x0068;
constexpr guint64 kSerialNumber = 0x00D8;
constexpr uint16_t kControlPort = 3956;

thread_local std::string last_error;

int fail(int code, const std::string &reason) {
    last_error = reason;
    return code;
}

// The GError's message after `what`, and the error freed.
int fail(int code, const std::string &what, GError *error) {
    std::string reason = what;
    if (error != nullptr) {
        reason += ": ";
        reason += error->message;
        g_error_free(error);
    }
    return fail(code, reason);
}

void copy(char *to, size_t size, const char *from) {
    std::snprintf(to, size, "%s", from != nullptr ? from : "");
}

// The local interface (name and address) the kernel would use to reach `address`.
void route_to(const char *address, qelcam_info_t &info) {
    sockaddr_in camera{};
    camera.sin_family = AF_INET;
    camera.sin_port = htons(kControlPort);
    if (inet_pton(AF_INET, address, &camera.sin_addr) != 1) return;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_in local{};
    socklen_t size = sizeof local;
    // Connecting a datagram socket sends nothing: it only chooses the route.
    const bool routed =
        connect(fd, reinterpret_cast<const sockaddr *>(&camera), sizeof camera) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&local), &size) == 0;
    close(fd);
    if (!routed) return;
    inet_ntop(AF_INET, &local.sin_addr, info.interface_address, sizeof info.interface_address);
    ifaddrs *all = nullptr;
    if (getifaddrs(&all) != 0) return;
    for (const ifaddrs *i = all; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        const auto *a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
        if (a->sin_addr.s_addr == local.sin_addr.s_addr) {
            copy(info.interface_name, sizeof info.interface_name, i->ifa_name);
            break;
        }
    }
    freeifaddrs(all);
}

qelcam_info_t listed(unsigned index) {
    qelcam_info_t info{};
    copy(info.id, sizeof info.id, arv_get_device_id(index));
    copy(info.address, sizeof info.address, arv_get_device_address(index));
    copy(info.vendor, sizeof info.vendor, arv_get_device_vendor(index));
    copy(info.model, sizeof info.model, arv_get_device_model(index));
    copy(info.serial, sizeof info.serial, arv_get_device_serial_nbr(index));
    route_to(info.address, info);
    return info;
}

// A bootstrap string of `size` bytes (at most 32) at `address`; empty when it cannot be read.
std::string bootstrap_string(ArvDevice *device, guint64 address, guint32 size) {
    char text[33] = {};
    GError *error = nullptr;
    if (!arv_device_read_memory(device, address, size, text, &error)) {
        if (error != nullptr) g_error_free(error);
        return {};
    }
    return std::string(text, strnlen(text, size));
}

// The IPv4 address, dotted, a device answers on.
std::string device_address(ArvGvDevice *device) {
    std::string address;
    GSocketAddress *where = arv_gv_device_get_device_address(device);
    if (where == nullptr) return address;
    gchar *text =
        g_inet_address_to_string(g_inet_socket_address_get_address(G_INET_SOCKET_ADDRESS(where)));
    address = text;
    g_free(text);
    return address;
}

// The description of a camera opened by its address, read from the camera itself: named as
// discovery would name it (vendor, model and serial number).
qelcam_info_t described(ArvGvDevice *device, const char *address) {
    qelcam_info_t info{};
    ArvDevice *d = ARV_DEVICE(device);
    const std::string vendor = bootstrap_string(d, kManufacturerName, 32);
    const std::string model = bootstrap_string(d, kModelName, 32);
    const std::string serial = bootstrap_string(d, kSerialNumber, 16);
    copy(info.vendor, sizeof info.vendor, vendor.c_str());
    copy(info.model, sizeof info.model, model.c_str());
    copy(info.serial, sizeof info.serial, serial.c_str());
    const std::string id = vendor.empty() ? address : vendor + "-" + model + "-" + serial;
    copy(info.id, sizeof info.id, id.c_str());
    copy(info.address, sizeof info.address, address);
    route_to(address, info);
    return info;
}

bool is_gige(unsigned index) {
    const char *protocol = arv_get_device_protocol(index);
    return protocol != nullptr && std::strcmp(protocol, "GigEVision") == 0;
}

}  // namespace

struct qelcam_camera {
    ArvCamera *camera = nullptr;
    ArvGvDevice *device = nullptr;  // the camera's, not referenced separately
    qelcam_info_t info{};
    bool acquiring = false;
    // Set by Aravis's heartbeat thread when the camera no longer answers it.
    std::atomic<bool> lost{false};
};

namespace {

void on_control_lost(ArvDevice *, gpointer data) {
    static_cast<qelcam_camera *>(data)->lost.store(true, std::memory_order_relaxed);
}

bool matches(const qelcam_info_t &info, const char *which) {
    for (const char *name : {info.id, info.address, info.serial}) {
        if (std::strcmp(name, which) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" {

const char *qelcam_last_error(void) {
    return last_error.c_str();
}

int qelcam_list(qelcam_info_t *out, size_t capacity, size_t *count) {
    if (count == nullptr || (out == nullptr && capacity != 0)) {
        return fail(QELCAM_EINVAL, "no place for the list");
    }
    arv_update_device_list();
    size_t found = 0;
    for (unsigned i = 0; i < arv_get_n_devices(); ++i) {
        if (!is_gige(i)) continue;
        if (found < capacity) out[found] = listed(i);
        ++found;
    }
    *count = found;
    return QELCAM_OK;
}

int qelcam_open(const char *which, qelcam_camera_t **out) {
    if (out == nullptr) return fail(QELCAM_EINVAL, "no place for the camera");
    *out = nullptr;
    const bool first = which == nullptr || *which == 0;
    // A camera named by its address is asked directly: nothing is broadcast on the other
    // networks, and no discovery round is waited for.
    in_addr parsed{};
    const bool by_address = !first && inet_pton(AF_INET, which, &parsed) == 1;
    std::string id = by_address ? which : "";
    qelcam_info_t info{};
    if (!by_address) {
        arv_update_device_list();
        for (unsigned i = 0; i < arv_get_n_devices() && id.empty(); ++i) {
            if (!is_gige(i)) continue;
            const qelcam_info_t candidate = listed(i);
            if (first || matches(candidate, which)) {
                info = candidate;
                id = candidate.id;
            }
        }
    }
    if (id.empty()) {
        if (first) return fail(QELCAM_ENOTFOUND, "no GigE Vision camera answered");
        // Not among those that answered discovery (another subnet, or a user id): Aravis may
        // still reach it by that name.
        id = which;
    }
    GError *error = nullptr;
    ArvCamera *camera = arv_camera_new(id.c_str(), &error);
    if (camera == nullptr) {
        if (error != nullptr) g_error_free(error);
        return fail(QELCAM_ENOTFOUND, "no GigE Vision camera answered as " + id);
    }
    if (!arv_camera_is_gv_device(camera)) {
        g_object_unref(camera);
        return fail(QELCAM_EINVAL, id + " is not a GigE Vision camera");
    }
    auto *device = ARV_GV_DEVICE(arv_camera_get_device(camera));
    // Not listed by discovery: described by the camera itself, at the address it answered on.
    if (info.address[0] == 0) info = described(device, device_address(device).c_str());
    // The device asks for control as it is made; it keeps the heartbeat from then on.
    if (!arv_gv_device_is_controller(device)) {
        // Held by another client, or refused although nobody holds it (a camera locked to
        // another host, say): the privilege register, readable by anyone, tells which. Free
        // control may also be the other client's just lapsed: asked once more, a camera that
        // still says no refuses.
        guint32 privilege = 0;
        const bool known = arv_device_read_register(ARV_DEVICE(device), kControlChannelPrivilege,
                                                    &privilege, &error);
        g_clear_error(&error);
        const bool unheld = known && (privilege & kPrivilegeHeld) == 0;
        const bool taken = unheld && arv_gv_device_take_control(device, &error);
        g_clear_error(&error);
        if (!taken) {
            g_object_unref(camera);
            if (unheld) {
                return fail(QELCAM_EIO, std::string("camera ") + info.id + " refused control");
            }
            return fail(QELCAM_EBUSY,
                        std::string("camera ") + info.id + " is controlled by another client");
        }
    }
    auto *c = new qelcam_camera;
    c->camera = camera;
    c->device = device;
    c->info = info;
    g_signal_connect(device, "control-lost", G_CALLBACK(on_control_lost), c);
    *out = c;
    return QELCAM_OK;
}

int qelcam_info(const qelcam_camera_t *camera, qelcam_info_t *out) {
    if (camera == nullptr || out == nullptr) return fail(QELCAM_EINVAL, "no camera");
    *out = camera->info;
    return QELCAM_OK;
}

int qelcam_set_destination(qelcam_camera_t *camera, const char *address, uint16_t port) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    in_addr a{};
    if (address == nullptr || inet_pton(AF_INET, address, &a) != 1 || port == 0) {
        return fail(QELCAM_EINVAL, "the stream destination is not an IPv4 address and port");
    }
    GError *error = nullptr;
    ArvDevice *device = ARV_DEVICE(camera->device);
    if (!arv_device_write_register(device, kStreamChannelAddress, ntohl(a.s_addr), &error) ||
        !arv_device_write_register(device, kStreamChannelPort, port, &error)) {
        return fail(QELCAM_EIO, "the camera did not take the stream destination", error);
    }
    return QELCAM_OK;
}

int qelcam_set_packet_size(qelcam_camera_t *camera, uint32_t size, uint32_t *chosen) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    if (size == 0) {
        // A camera that cannot send test packets keeps its size: not a failure.
        arv_gv_device_auto_packet_size(camera->device, &error);
        if (error != nullptr) g_error_free(error);
        error = nullptr;
    } else {
        arv_gv_device_set_packet_size(camera->device, static_cast<gint>(size), &error);
        if (error != nullptr) {
            return fail(QELCAM_EINVAL,
                        "the camera did not take the packet size " + std::to_string(size), error);
        }
    }
    const guint now = arv_gv_device_get_packet_size(camera->device, &error);
    if (error != nullptr) return fail(QELCAM_EIO, "the camera's packet size is unknown", error);
    if (size != 0 && now != size) {
        return fail(QELCAM_EINVAL, "the camera set the packet size " + std::to_string(now) +
                                       " instead of " + std::to_string(size));
    }
    if (chosen != nullptr) *chosen = now;
    return QELCAM_OK;
}

int qelcam_set_pixel_format(qelcam_camera_t *camera, const char *name) {
    if (camera == nullptr || name == nullptr) return fail(QELCAM_EINVAL, "no camera or format");
    GError *error = nullptr;
    arv_camera_set_pixel_format_from_string(camera->camera, name, &error);
    if (error != nullptr) {
        return fail(QELCAM_EINVAL, std::string("the camera did not take pixel format ") + name,
                    error);
    }
    return QELCAM_OK;
}

int qelcam_set_size(qelcam_camera_t *camera, uint32_t width, uint32_t height) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    arv_camera_set_integer(camera->camera, "Width", width, &error);
    if (error == nullptr) arv_camera_set_integer(camera->camera, "Height", height, &error);
    if (error != nullptr) {
        return fail(QELCAM_EINVAL,
                    "the camera did not take the size " + std::to_string(width) + "x" +
                        std::to_string(height),
                    error);
    }
    return QELCAM_OK;
}

int qelcam_set_frame_rate(qelcam_camera_t *camera, double frames_per_second) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    arv_camera_set_frame_rate(camera->camera, frames_per_second, &error);
    if (error != nullptr) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", frames_per_second);
        return fail(QELCAM_EINVAL, std::string("the camera did not take the frame rate ") + text,
                    error);
    }
    return QELCAM_OK;
}

int qelcam_payload_size(qelcam_camera_t *camera, uint32_t *bytes) {
    if (camera == nullptr || bytes == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    const guint payload = arv_camera_get_payload(camera->camera, &error);
    if (error != nullptr) return fail(QELCAM_EIO, "the camera's payload size is unknown", error);
    *bytes = payload;
    return QELCAM_OK;
}

int qelcam_start(qelcam_camera_t *camera) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    arv_camera_start_acquisition(camera->camera, &error);
    if (error != nullptr) return fail(QELCAM_EIO, "the camera did not start", error);
    camera->acquiring = true;
    return QELCAM_OK;
}

int qelcam_stop(qelcam_camera_t *camera) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    GError *error = nullptr;
    arv_camera_stop_acquisition(camera->camera, &error);
    if (error != nullptr) return fail(QELCAM_EIO, "the camera did not stop", error);
    camera->acquiring = false;
    return QELCAM_OK;
}

int qelcam_check_control(const qelcam_camera_t *camera) {
    if (camera == nullptr) return fail(QELCAM_EINVAL, "no camera");
    if (camera->lost.load(std::memory_order_relaxed)) {
        return fail(QELCAM_ELOST, std::string("lost control of camera ") + camera->info.id +
                                      ": it stopped answering");
    }
    return QELCAM_OK;
}

void qelcam_close(qelcam_camera_t *camera) {
    if (camera == nullptr) return;
    // Best effort on the way out: a camera that is gone answers neither.
    if (camera->acquiring) (void)qelcam_stop(camera);
    g_signal_handlers_disconnect_by_data(camera->device, camera);
    GError *error = nullptr;
    arv_gv_device_leave_control(camera->device, &error);
    if (error != nullptr) g_error_free(error);
    g_object_unref(camera->camera);
    delete camera;
}

}  // extern "C"
