#include "adapter/driver/name_commands.h"

#include <cstdio>
#include <cstring>

#include "adapter/driver/names_file.h"
#include "adapter/driver/names_store.h"
#include "qel.h"

namespace qel::adapter {

using namespace qel::driver;

namespace {

constexpr size_t kMacOctets = 6;

uint32_t result(int code) {
    return code == 0 ? 0u : host_error_of_driver_code(static_cast<uint32_t>(code));
}

std::string mac_key(uint64_t mac) {
    char text[16];
    std::snprintf(text, sizeof text, "M=%012llX", static_cast<unsigned long long>(mac));
    return text;
}

// The name a set record carries: `length` bytes at `name` whose last is the one NUL.
std::optional<std::string> name_of_record(const NameRecord &record) {
    if (record.name == 0 || record.length == 0 || record.length > kNameBytes) return std::nullopt;
    const auto *text = reinterpret_cast<const char *>(static_cast<uintptr_t>(record.name));
    if (text[record.length - 1] != '\0') return std::nullopt;
    std::string name(text, record.length - 1);
    if (!valid_stored_name(name)) return std::nullopt;  // a NUL before the stated end
    return name;
}

int set_name(const std::vector<Board> &boards, const NameRecord &record) {
    auto key = key_of_record(record);
    if (!key) return QEL_EINVAL;
    auto name = name_of_record(record);
    if (!name) return QEL_EINVAL;
    if (!key_names_a_board(boards, *key)) return QEL_ENODEV;
    return store_name(*key, *name);
}

int get_name(const std::vector<Board> &boards, const NameRecord &record) {
    auto key = key_of_record(record);
    if (!key || record.name == 0) return QEL_EINVAL;
    if (!key_names_a_board(boards, *key)) return QEL_ENODEV;
    std::string name;
    if (int rc = load_name(*key, &name); rc != 0) return rc;
    // Stored names are at most 255 bytes: with the NUL they fit the caller's 256.
    auto *out = reinterpret_cast<char *>(static_cast<uintptr_t>(record.name));
    std::memcpy(out, name.data(), name.size());
    out[name.size()] = '\0';
    return 0;
}

int reset_name(const std::vector<Board> &boards, const NameRecord &record) {
    auto key = key_of_record(record);
    if (!key) return QEL_EINVAL;
    if (!key_names_a_board(boards, *key)) return QEL_ENODEV;
    return erase_name(*key);
}

}  // namespace

bool is_name_command(uint32_t code) {
    return code == TREL_SET_NAME || code == TREL_GET_NAME || code == TREL_RESET_NAME ||
           code == TREL_RESET_ALL_NAMES;
}

std::optional<std::string> key_of_record(const NameRecord &record) {
    const auto *bytes = record.key;
    if (bytes[0] == 'S' && bytes[1] == '=') {
        // A MAC never starts with these octets: 0x53 has the group bit set, which no board's
        // address has.
        const void *nul = std::memchr(bytes, '\0', sizeof record.key);
        if (nul == nullptr) return std::nullopt;
        std::string key(reinterpret_cast<const char *>(bytes),
                        static_cast<const uint8_t *>(nul) - bytes);
        if (!valid_name_key(key)) return std::nullopt;
        return key;
    }
    uint64_t mac = 0;
    for (size_t i = 0; i < kMacOctets; ++i) mac = (mac << 8) | bytes[i];
    return mac_key(mac);
}

bool key_names_a_board(const std::vector<Board> &boards, const std::string &key) {
    for (uint32_t i = 0; i < boards.size(); ++i) {
        if (key == mac_key(boards[i].mac) || key == "S=" + board_serial(boards[i], i)) return true;
    }
    return false;
}

uint32_t answer_name_command(const std::vector<Board> &boards, uint32_t code, void *record,
                             uint32_t length) {
    if (code == TREL_RESET_ALL_NAMES) {
        if (length != 0) return result(QEL_EINVAL);
        return result(erase_all_names());
    }
    if (record == nullptr || length != sizeof(NameRecord)) return result(QEL_EINVAL);
    const auto &name_record = *static_cast<const NameRecord *>(record);
    switch (code) {
        case TREL_SET_NAME:
            return result(set_name(boards, name_record));
        case TREL_GET_NAME:
            return result(get_name(boards, name_record));
        case TREL_RESET_NAME:
            return result(reset_name(boards, name_record));
        default:
            return result(QEL_ENOSYS);
    }
}

}  // namespace qel::adapter
