// qel_init: environment switches, API version negotiation, the telemetry add-on, the first
// board's control handle and the driver's API version. It ties the rooms together, so it
// stands above them all.
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/driver.h"
#include "core/log.h"
#include "core/state.h"
#include "qel.h"
#include "telemetry/addon.h"

#ifndef QEL_SOURCE_REVISION
#define QEL_SOURCE_REVISION "unknown"
#endif

namespace qel::core {

namespace {

const char kReleaseString[] = QEL_RELEASE;

const char *build_string() {
    return QEL_RELEASE " (revision " QEL_SOURCE_REVISION ", built " __DATE__ " " __TIME__ ")";
}

constexpr const char *kTag = "qel_init";
constexpr const char *kIdentification = "qel GigE Vision stream receive library";

void read_environment() {
    if (std::getenv("QEL_VERBOSE") != nullptr) qel_verbose.store(1, std::memory_order_relaxed);
    if (std::getenv("QEL_DEBUG") != nullptr) qel_debug.store(1, std::memory_order_relaxed);
}

// The driver's texts come from outside the library: never read past their fields.
int text_length(const char *text, size_t field_bytes) {
    size_t n = 0;
    while (n < field_bytes && text[n] != '\0') ++n;
    return static_cast<int>(n);
}

int check_driver_version() {
    driver::VersionRecord version{};
    int rc = hux_ioctl(qel_board_handle, driver::TREL_GET_VERSION, &version, sizeof version);
    if (rc != 0) return rc;
    const uint32_t major = version.api_version >> 8;
    const uint32_t minor = version.api_version & 0xFF;
    if (major == driver::kDriverApiMajor) return 0;  // the minor number is not checked
    if (verbose()) {
        log_tagged(kTag, "QEL library and driver API mismatch (lib=%d.%d, kernel=%d.%d)\n", 1, 0,
                   static_cast<int>(major), static_cast<int>(minor));
        log_tagged(kTag,
                   "\t QEL lib version=%s\n\t QEL lib build=%s\n\t QEL kernel version=%.*s\n\t "
                   "QEL kernel build=%.*s\n",
                   kReleaseString, build_string(),
                   text_length(version.version, sizeof version.version), version.version,
                   text_length(version.build, sizeof version.build), version.build);
    }
    return QEL_ENXIO;
}

}  // namespace

}  // namespace qel::core

using namespace qel::core;

extern "C" QEL_EXPORT int qel_init(uint16_t api_version) {
    read_environment();
    if (verbose()) {
        log_notice("%s Release %s, Library: %#06x(compiled) %#06x(linked)", kIdentification,
                   kReleaseString, api_version, QEL_API_VERSION);
    }

    std::lock_guard lock(init_mutex);
    const uint16_t current = qel_api_version.load(std::memory_order_acquire);
    if (current != 0) {
        if (api_version == current) return 0;
        QEL_VERBOSE_TAGGED(kTag, "QEL already initialized with different API version (%#06x)",
                           current);
        return QEL_EINVAL;
    }

    hux_init();

    if ((api_version & 0xFF00) != (QEL_API_VERSION & 0xFF00)) {
        QEL_VERBOSE_TAGGED(kTag, "QEL user API %#06x is incompatible with library API %#06x",
                           api_version, QEL_API_VERSION);
        return QEL_EINVAL;
    }
    const unsigned minor = api_version & 0xFF;
    const unsigned library_minor = QEL_API_VERSION & 0xFF;
    if (minor > library_minor) {
        QEL_VERBOSE_TAGGED(
            kTag,
            "QEL user API %#06x contains function calls not implemented in library version %#06x",
            api_version, QEL_API_VERSION);
        QEL_VERBOSE_TAGGED(kTag, "Link against library version %#06x or newer", api_version);
        return QEL_EINVAL;
    }
    if (minor < library_minor && verbose()) {
        log_notice("Warning: Application linked to newer (backwards compatible) QEL Library\n");
    }

    if (qel::telemetry::qel_load_telemetry_addon() != 0) {
        QEL_DEBUG_TAGGED(kTag, "Telemetry library is not available\n");
    }

    int rc = hux_open_any_board(&qel_board_handle, HUX_PRODUCT_CODE);
    if (rc != 0) return rc;

    rc = check_driver_version();
    if (rc != 0) {
        hux_close(qel_board_handle);
        qel_board_handle = HUX_INVALID_HANDLE;
        return rc;
    }

    // The host's sockets layer needs no start on this host.
    qel_api_version.store(api_version, std::memory_order_release);
    return 0;
}
