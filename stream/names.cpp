// Adapter names, kept by the driver per adapter key.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/driver.h"
#include "qel.h"
#include "stream/names.h"

namespace qel::stream {

namespace {

constexpr size_t kMacKeyLength = 19;
constexpr size_t kMaxSerialKeyLength = 26;
constexpr int kMacDigits = 12;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The twelve hex digits of a MAC key, wherever ':', '=' and 'M' stand between them.
int parse_mac_key(const char *key, uint8_t *octets) {
    int digits = 0;
    for (const char *c = key; *c != '\0'; ++c) {
        if (*c == ':' || *c == '=' || *c == 'M') continue;
        const int v = hex_value(*c);
        if (v < 0 || digits == kMacDigits) return QEL_EINVAL;
        if (digits % 2 == 0) {
            octets[digits / 2] = static_cast<uint8_t>(v << 4);
        } else {
            octets[digits / 2] = static_cast<uint8_t>(octets[digits / 2] | v);
        }
        ++digits;
    }
    return digits == kMacDigits ? 0 : QEL_EINVAL;
}

// Runs one name command on a control device of its own.
int send_name_command(uint32_t code, void *record, uint32_t length) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    int rc = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    if (rc != 0) return rc;
    rc = hux_ioctl(h, code, record, length);
    hux_close(h);
    return rc;
}

}  // namespace

int parse_name_key(const char *key, uint8_t (&field)[32]) {
    if (key == nullptr) return QEL_EINVAL;
    // Longer keys are invalid in either form: no need to measure past that.
    const size_t length = strnlen(key, kMaxSerialKeyLength + 1);
    if (length < 3) return QEL_EINVAL;
    if (std::strncmp(key, "M=", 2) == 0) {
        if (length != kMacKeyLength) return QEL_EINVAL;
        uint8_t octets[6] = {};
        int rc = parse_mac_key(key, octets);
        if (rc != 0) return rc;
        std::memcpy(field, octets, sizeof octets);
        return 0;
    }
    if (std::strncmp(key, "S=", 2) == 0) {
        if (length > kMaxSerialKeyLength) return QEL_EINVAL;
        std::memcpy(field, key, length + 1);
        return 0;
    }
    return QEL_EINVAL;
}

}  // namespace qel::stream

using qel::driver::NameRecord;

extern "C" {

QEL_EXPORT int qel_set_name(const char *key, const char *name) {
    NameRecord record{};
    int rc = qel::stream::parse_name_key(key, record.key);
    if (rc != 0) return rc;
    if (name == nullptr) return QEL_EINVAL;
    const size_t length = strnlen(name, qel::driver::kNameBytes);
    if (length >= qel::driver::kNameBytes) return QEL_EINVAL;
    record.name = reinterpret_cast<uintptr_t>(name);
    record.length = static_cast<uint32_t>(length + 1);
    hux_handle_t h = HUX_INVALID_HANDLE;
    rc = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    if (rc != 0) {
        std::fputs("Unable to open board", stdout);
        return rc;
    }
    rc = hux_ioctl(h, qel::driver::TREL_SET_NAME, &record, sizeof record);
    hux_close(h);
    return rc;
}

QEL_EXPORT int qel_get_name(const char *key, char **name) {
    NameRecord record{};
    int rc = qel::stream::parse_name_key(key, record.key);
    if (rc != 0) return rc;
    if (name == nullptr) return QEL_EINVAL;
    hux_handle_t h = HUX_INVALID_HANDLE;
    rc = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    if (rc != 0) return rc;
    // Zeroed, so that the text is terminated whatever the driver writes short of the end.
    char *buffer = static_cast<char *>(std::calloc(1, qel::driver::kNameBytes));
    if (buffer == nullptr) {
        std::fputs("qel_get_name:unable to allocate memory for name", stdout);
        hux_close(h);
        return -1;
    }
    record.name = reinterpret_cast<uintptr_t>(buffer);
    rc = hux_ioctl(h, qel::driver::TREL_GET_NAME, &record, sizeof record);
    hux_close(h);
    if (rc != 0) {
        *name = nullptr;
        std::free(buffer);
        return rc;
    }
    buffer[qel::driver::kNameBytes - 1] = '\0';
    *name = buffer;
    return 0;
}

QEL_EXPORT int qel_reset_name(const char *key) {
    NameRecord record{};
    int rc = qel::stream::parse_name_key(key, record.key);
    if (rc != 0) return rc;
    return qel::stream::send_name_command(qel::driver::TREL_RESET_NAME, &record, sizeof record);
}

QEL_EXPORT int qel_reset_all_name(void) {
    return qel::stream::send_name_command(qel::driver::TREL_RESET_ALL_NAMES, nullptr, 0);
}

}  // extern "C"
