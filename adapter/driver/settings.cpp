#include "adapter/driver/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "qel.h"

namespace qel::adapter {

namespace {

// A set, non-empty environment value, or null.
const char *setting(const char *name) {
    const char *value = std::getenv(name);
    return (value != nullptr && *value != '\0') ? value : nullptr;
}

// A decimal number of the whole text, or nothing.
bool parse_count(const char *text, unsigned long long *value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtoull(text, &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

std::string run_dir() {
    if (const char *dir = setting("QEL_ADAPTER_RUN_DIR")) return dir;
    return files::runtime_folder();
}

std::string state_dir() {
    if (const char *dir = setting("QEL_ADAPTER_STATE_DIR")) return dir;
    if (const char *state = setting("XDG_STATE_HOME")) return std::string(state) + "/qel";
    std::string home = files::home_folder();
    if (home.empty()) return {};
    return home + "/.local/state/qel";
}

uint32_t ring_bytes() {
    unsigned long long value = 0;
    if (!parse_count(setting("QEL_ADAPTER_RING_BYTES"), &value) || value == 0) {
        return kDefaultRingBytes;
    }
    if (value <= kMinRingBytes) return kMinRingBytes;
    if (value >= kMaxRingBytes) return kMaxRingBytes;
    uint32_t bytes = kMinRingBytes;
    while (bytes < value) bytes <<= 1;
    return bytes;
}

int receive_buffer_bytes() {
    unsigned long long value = 0;
    if (!parse_count(setting("QEL_ADAPTER_RCVBUF"), &value)) return kDefaultReceiveBuffer;
    if (value < static_cast<unsigned long long>(kMinReceiveBuffer)) return kMinReceiveBuffer;
    if (value > static_cast<unsigned long long>(kMaxReceiveBuffer)) return kMaxReceiveBuffer;
    return static_cast<int>(value);
}

namespace {

uint32_t milliseconds(const char *name, uint32_t fallback) {
    unsigned long long value = 0;
    if (!parse_count(setting(name), &value)) return fallback;
    return static_cast<uint32_t>(std::clamp<unsigned long long>(value, 1, kMaxFirmwareMs));
}

}  // namespace

uint32_t resend_interval_ms() {
    return milliseconds("QEL_ADAPTER_RESEND_INTERVAL_MS", kDefaultResendIntervalMs);
}

uint32_t block_timeout_ms() {
    return milliseconds("QEL_ADAPTER_BLOCK_TIMEOUT_MS", kDefaultBlockTimeoutMs);
}

bool accept_any_source() {
    const char *value = setting("QEL_ADAPTER_ANY_SOURCE");
    return value != nullptr && std::string_view(value) == "1";
}

ReceivePath receive_path() {
    const char *value = setting("QEL_ADAPTER_RECEIVE");
    const std::string_view text = value != nullptr ? value : "";
    if (text == "socket") return ReceivePath::socket;
    if (text == "ring") return ReceivePath::ring;
    if (text == "auto") return ReceivePath::automatic;
    return kDefaultReceivePath;
}

files::Opened open_private_dir(const std::string &path, const char *what) {
    files::Opened folder = files::open_folder(path, files::Folder::own);
    if (!folder) {
        std::fprintf(stderr, "qel software adapter: cannot keep %s: %s\n", what,
                     folder.problem.c_str());
    }
    return folder;
}

}  // namespace qel::adapter
