#include "adapter_tool/board_list.h"

#include <arpa/inet.h>

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/interface_names.h"
#include "api/tools_door.h"
#include "qel.h"

namespace qel::adapter_tool {

namespace {

using namespace qel::driver;

// A control or endpoint device, closed when it goes out of scope.
class Device {
public:
    int open(uint32_t board, uint32_t endpoint) {
        return hux_open(board, endpoint, &handle_, HUX_PRODUCT_CODE);
    }
    int open_any() { return hux_open_any_board(&handle_, HUX_PRODUCT_CODE); }
    ~Device() {
        if (handle_ != HUX_INVALID_HANDLE) hux_close(handle_);
    }
    int command(uint32_t code, void *record, uint32_t length) {
        return hux_ioctl(handle_, code, record, length);
    }

private:
    hux_handle_t handle_ = HUX_INVALID_HANDLE;
};

constexpr size_t kSerialBuffer = 32;  // the driver writes at most 30 bytes
constexpr size_t kMaxSerialKeyText = 24;

uint32_t prefix_length(uint32_t netmask_network_order) {
    return static_cast<uint32_t>(std::popcount(ntohl(netmask_network_order)));
}

std::optional<std::string> stored_name(const std::string &key) {
    if (key.empty()) return std::nullopt;
    char *text = nullptr;
    if (qel_get_name(key.c_str(), &text) != 0 || text == nullptr) return std::nullopt;
    std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return std::string(text, strnlen(text, kNameBytes));
}

std::vector<uint32_t> endpoints_in_use(uint32_t board, uint32_t endpoints) {
    std::vector<uint32_t> in_use;
    for (uint32_t endpoint = 0; endpoint < endpoints; ++endpoint) {
        Device device;
        if (device.open(board, endpoint) != 0) continue;
        OpenEndpointRecord record{endpoint, kOpenEndpointMagic};
        if (device.command(TREL_OPEN_ENDPT, &record, sizeof record) == QEL_EBUSY) {
            in_use.push_back(endpoint);
        }
    }
    return in_use;
}

}  // namespace

std::string mac_key(const BoardReport &board) {
    return "M=" + board.nic_id;
}

std::string serial_key(const BoardReport &board) {
    if (board.serial.empty() || board.serial.size() > kMaxSerialKeyText) return "";
    return "S=" + board.serial;
}

BoardList collect_boards() {
    BoardList list;
    Device control;
    if (int rc = control.open_any(); rc != 0) {
        list.status = rc;
        list.failure = "no adapter board can be opened";
        return list;
    }
    WordRecord slots{};
    WordRecord endpoints{};
    if (int rc = control.command(TREL_GET_BOARD_MAX, &slots, sizeof slots); rc != 0) {
        list.status = rc;
        list.failure = "the driver does not report its boards";
        return list;
    }
    if (control.command(TREL_GET_ENDPT_MAX, &endpoints, sizeof endpoints) != 0) {
        endpoints.value = 0;
    }
    hux_ifaddrs *addresses = nullptr;
    int address_count = 0;
    if (int rc = hux_getifaddrs(&addresses, 1, &address_count); rc != 0) {
        list.status = rc;
        list.failure = "the host's interface addresses cannot be listed";
        return list;
    }
    std::unique_ptr<hux_ifaddrs, decltype(&hux_freeifaddrs)> owned(addresses, &hux_freeifaddrs);

    for (uint32_t board = 0; board < slots.value; ++board) {
        MacRecord nic{board, 0, 0};
        // An empty slot answers no NIC id: it holds no board.
        if (control.command(TREL_GET_NIC_ID, &nic, sizeof nic) != 0) continue;
        BoardReport report;
        report.board = board;
        char text[18];
        hux_nic_id_to_str(text, nic.mac, sizeof text);
        report.nic_id = text;
        WordRecord link{board};
        report.link_up =
            control.command(TREL_GET_LINK_STATE, &link, sizeof link) == 0 && (link.value & 1) != 0;
        report.endpoints = endpoints.value;
        report.endpoints_in_use = endpoints_in_use(board, endpoints.value);
        char serial[kSerialBuffer] = {};
        if (hux_get_serial_from_board(board, serial) == 0) {
            report.serial.assign(serial, strnlen(serial, sizeof serial));
        }
        for (const hux_ifaddrs *a = addresses; a != nullptr; a = a->ifa_next) {
            if (a->ifa_board != board || a->ifa_name == nullptr) continue;
            report.addresses.push_back(
                {a->ifa_name, prefix_length(a->ifa_netmask), tools::interface_name(a->ifa_name)});
        }
        report.name_by_mac = stored_name(mac_key(report));
        report.name_by_serial = stored_name(serial_key(report));
        list.boards.push_back(std::move(report));
    }
    return list;
}

}  // namespace qel::adapter_tool
