// Device access: opening the adapter's device files, driver commands, region mapping.
#include <atomic>
#include <cerrno>
#include <cstdio>

#include "core/driver.h"
#include "hux.h"
#include "hux/device_host.h"
#include "qel.h"

namespace qel::hux {

namespace {

// Release pairs with the acquire in device_host(): a thread that sees the new host also sees
// it fully built.
std::atomic<DeviceHost *> installed_host{nullptr};

constexpr uint32_t kBoardScanLimit = 32;

}  // namespace

DeviceHost &device_host() noexcept {
    DeviceHost *host = installed_host.load(std::memory_order_acquire);
    return host ? *host : default_device_host();
}

void set_device_host(DeviceHost *host) {
    installed_host.store(host, std::memory_order_release);
}

int map_host_error(uint32_t host_error) {
    if (host_error & driver::kHostDriverCodeBit) return static_cast<int>(host_error & ~(7u << 29));
    if (host_error == driver::kHostPathNotFound) return QEL_ENODEV;
    return QEL_EINVAL;
}

namespace {

int open_name(const char *name, hux_handle_t *h) {
    uint64_t handle = HUX_INVALID_HANDLE;
    uint32_t host_error = device_host().open(name, &handle);
    if (host_error == 0) {
        *h = handle;
        return 0;
    }
    *h = HUX_INVALID_HANDLE;
    int code = map_host_error(host_error);
    errno = code;
    return code;
}

}  // namespace

}  // namespace qel::hux

using qel::hux::device_host;

extern "C" {

QEL_EXPORT int hux_open(uint32_t board, uint32_t endpoint, hux_handle_t *h, uint8_t product) {
    hux_init();
    if (product != HUX_PRODUCT_CODE || h == nullptr) return QEL_EINVAL;
    char name[64];
    if (endpoint == HUX_CONTROL_DEVICE) {
        std::snprintf(name, sizeof name, "\\\\.\\trel%u\\p", board);
        if (qel::hux::open_name(name, h) == 0) return 0;
        // Older drivers name the control device without its suffix; only this second
        // attempt's failure is reported.
        std::snprintf(name, sizeof name, "\\\\.\\trel%u", board);
    } else if (endpoint == HUX_RAW_DEVICE) {
        std::snprintf(name, sizeof name, "\\\\.\\trel%u\\r", board);
    } else {
        std::snprintf(name, sizeof name, "\\\\.\\trel%u\\e%u", board, endpoint);
    }
    return qel::hux::open_name(name, h);
}

QEL_EXPORT int hux_open_any_board(hux_handle_t *h, uint8_t product) {
    bool refused = false;
    bool busy = false;  // a refusal other than a permission refusal
    for (uint32_t board = 0; board < qel::hux::kBoardScanLimit; ++board) {
        int rc = hux_open(board, HUX_CONTROL_DEVICE, h, product);
        if (rc == 0) return 0;
        if (rc == QEL_ENOENT || rc == QEL_ENXIO || rc == QEL_ENODEV) {
            // Boards are numbered from 0 without gaps: the first absent board ends the scan.
            if (rc == QEL_ENOENT && !refused) return QEL_ENOENT;
            break;
        }
        refused = true;
        if (rc != 1 && rc != QEL_EACCES) busy = true;
    }
    if (refused) return busy ? QEL_EBUSY : QEL_EACCES;
    return QEL_ENODEV;
}

QEL_EXPORT int hux_close(hux_handle_t h) {
    device_host().close(h);
    return 0;
}

QEL_EXPORT int hux_ioctl(hux_handle_t h, uint32_t code, void *record, uint32_t length) {
    errno = 0;
    uint32_t host_error = device_host().control(h, code, record, length);
    if (host_error == 0) return 0;
    int rc = qel::hux::map_host_error(host_error);
    errno = rc;
    return rc;
}

QEL_EXPORT void *hux_mmap(void *addr, uint32_t length, hux_handle_t h, uint32_t offset,
                          int /*flag: nothing to choose on this host*/) {
    qel::driver::MmapRecord record{};
    record.offset = offset;
    record.length = length;
    record.address = reinterpret_cast<uintptr_t>(addr);
    record.all_ones = 0xFFFFFFFFu;
    if (hux_ioctl(h, qel::driver::TREL_MMAP, &record, sizeof record) != 0) {
        return reinterpret_cast<void *>(~uintptr_t{0});
    }
    return reinterpret_cast<void *>(static_cast<uintptr_t>(record.address));
}

QEL_EXPORT int hux_munmap(void * /*addr*/, uint32_t /*length*/) {
    return 0;
}

QEL_EXPORT int hux_get_serial_from_board(uint32_t board, char *buffer) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    int rc = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    if (rc != 0) {
        std::fputs("hux_get_serial_from_board:unable to open any board\n", stderr);
        return rc;
    }
    qel::driver::SerialRecord record{};
    record.board = board;
    record.buffer = reinterpret_cast<uintptr_t>(buffer);
    rc = hux_ioctl(h, qel::driver::TREL_GET_SERIAL, &record, sizeof record);
    hux_close(h);
    return rc;
}

}  // extern "C"
