#include "recv_tool/camera_control.h"

#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include <vector>

#include "hux.h"
#include "qel.h"
#include "recv_tool/app.h"

#ifdef QEL_HAVE_CAMERA
#include "qelcamera.h"
#endif

namespace qel::recv_tool {

namespace {

[[maybe_unused]] const char *const kNotBuiltIn =
    "camera control is not built in: qel-recv was built without Aravis (Debian: libaravis-dev)";

}  // namespace

#ifdef QEL_HAVE_CAMERA

struct ControlledCamera::State {
    qelcam_camera_t *camera = nullptr;
    qelcam_info_t info{};
};

ControlledCamera::ControlledCamera() : state_(std::make_unique<State>()) {}

ControlledCamera::~ControlledCamera() {
    qelcam_close(state_->camera);
}

std::string ControlledCamera::open(const CameraControl &c) {
    const std::string which = c.which == "any" ? "" : c.which;
    if (qelcam_open(which.c_str(), &state_->camera) != QELCAM_OK) return qelcam_last_error();
    qelcam_info(state_->camera, &state_->info);
    qelcam_camera_t *camera = state_->camera;
    const bool applied =
        (c.pixel_format.empty() ||
         qelcam_set_pixel_format(camera, c.pixel_format.c_str()) == QELCAM_OK) &&
        (c.width == 0 || qelcam_set_size(camera, c.width, c.height) == QELCAM_OK) &&
        (c.frame_rate == 0 || qelcam_set_frame_rate(camera, c.frame_rate) == QELCAM_OK) &&
        qelcam_set_packet_size(camera, c.packet_size, nullptr) == QELCAM_OK;
    return applied ? std::string() : qelcam_last_error();
}

std::string ControlledCamera::address() const {
    return state_->info.address;
}

std::string ControlledCamera::interface_address() const {
    return state_->info.interface_address;
}

uint64_t ControlledCamera::payload_size() const {
    uint32_t bytes = 0;
    return qelcam_payload_size(state_->camera, &bytes) == QELCAM_OK ? bytes : 0;
}

std::string ControlledCamera::start(const std::string &local_address, uint16_t port) {
    if (qelcam_set_destination(state_->camera, local_address.c_str(), port) != QELCAM_OK ||
        qelcam_start(state_->camera) != QELCAM_OK) {
        return qelcam_last_error();
    }
    return {};
}

std::string ControlledCamera::check() const {
    return qelcam_check_control(state_->camera) == QELCAM_OK ? std::string() : qelcam_last_error();
}

std::string ControlledCamera::stop() {
    return qelcam_stop(state_->camera) == QELCAM_OK ? std::string() : qelcam_last_error();
}

int list_cameras(FILE *out, bool json) {
    std::vector<qelcam_info_t> cameras(64);
    size_t count = 0;
    if (qelcam_list(cameras.data(), cameras.size(), &count) != QELCAM_OK) {
        return complain(kExitFailed, qelcam_last_error());
    }
    cameras.resize(std::min(count, cameras.size()));
    qel_init(QEL_API_VERSION);
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const qelcam_info_t &c : cameras) {
        in_addr local{};
        unsigned char mac[6];
        const bool board = inet_pton(AF_INET, c.interface_address, &local) == 1 &&
                           hux_ifaddr_to_macaddr(local.s_addr, mac) == 0;
        if (json) {
            list.push_back({{"id", c.id},
                            {"address", c.address},
                            {"vendor", c.vendor},
                            {"model", c.model},
                            {"serial", c.serial},
                            {"interface", c.interface_name},
                            {"interface_address", c.interface_address},
                            {"adapter_board", board}});
        } else {
            std::fprintf(out, "%s  %s  %s %s  serial %s  via %s (%s)%s\n", c.id, c.address,
                         c.vendor, c.model, c.serial, c.interface_name, c.interface_address,
                         board ? "  on an adapter board" : "");
        }
    }
    if (json) {
        std::fprintf(out, "%s\n", list.dump().c_str());
    } else if (cameras.empty()) {
        std::fprintf(out, "no GigE Vision camera answered\n");
    }
    return kExitOk;
}

#else

struct ControlledCamera::State {};
ControlledCamera::ControlledCamera() = default;
ControlledCamera::~ControlledCamera() = default;
std::string ControlledCamera::open(const CameraControl &) {
    return kNotBuiltIn;
}
std::string ControlledCamera::address() const {
    return {};
}
std::string ControlledCamera::interface_address() const {
    return {};
}
uint64_t ControlledCamera::payload_size() const {
    return 0;
}
std::string ControlledCamera::start(const std::string &, uint16_t) {
    return kNotBuiltIn;
}
std::string ControlledCamera::check() const {
    return {};
}
std::string ControlledCamera::stop() {
    return {};
}
int list_cameras(FILE *, bool) {
    return complain(kExitFailed, kNotBuiltIn);
}

#endif

}  // namespace qel::recv_tool
