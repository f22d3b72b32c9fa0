#include "adapter/driver/control_commands.h"

#include <cstdio>
#include <cstring>

#include "core/driver.h"
#include "qel.h"

namespace qel::adapter {

using namespace qel::driver;

namespace {

constexpr uint32_t kDriverApiVersion = (kDriverApiMajor << 8) | 0;
constexpr const char *kDriverVersionText = "qel software adapter " QEL_RELEASE;
constexpr const char *kDriverBuildText = "qel software adapter, built " __DATE__ " " __TIME__;
constexpr size_t kSerialBytes = 30;  // callers provide at least this much

uint32_t fail(int code) {
    return host_error_of_driver_code(static_cast<uint32_t>(code));
}

template <typename Record>
Record *record_of(void *record, uint32_t length) {
    return (record != nullptr && length == sizeof(Record)) ? static_cast<Record *>(record)
                                                           : nullptr;
}

// The board a record names, or null when there is none.
const Board *board_at(const std::vector<Board> &boards, uint32_t number) {
    return number < boards.size() ? &boards[number] : nullptr;
}

}  // namespace

bool is_control_command(uint32_t code) {
    switch (code) {
        case TREL_GET_VERSION:
        case TREL_GET_BOARD_MAX:
        case TREL_GET_NUM_BOARDS:
        case TREL_GET_BOARD_INFO:
        case TREL_GET_NIC_ID:
        case TREL_GET_ENDPT_MAX:
        case TREL_GET_MAC_ADDR:
        case TREL_GET_SERIAL:
        case TREL_GET_LINK_STATE:
            return true;
        default:
            return false;
    }
}

uint32_t answer_control_command(const std::vector<Board> &boards, uint32_t code, void *record,
                                uint32_t length) {
    switch (code) {
        case TREL_GET_VERSION: {
            auto *r = record_of<VersionRecord>(record, length);
            if (!r) return fail(QEL_EINVAL);
            std::memset(r, 0, sizeof *r);
            r->api_version = kDriverApiVersion;
            std::snprintf(r->version, sizeof r->version, "%s", kDriverVersionText);
            std::snprintf(r->build, sizeof r->build, "%s", kDriverBuildText);
            return 0;
        }
        case TREL_GET_BOARD_MAX:
        case TREL_GET_NUM_BOARDS: {
            auto *r = record_of<WordRecord>(record, length);
            if (!r) return fail(QEL_EINVAL);
            r->value = static_cast<uint32_t>(boards.size());
            return 0;
        }
        case TREL_GET_ENDPT_MAX: {
            auto *r = record_of<WordRecord>(record, length);
            if (!r) return fail(QEL_EINVAL);
            r->value = endpoints_per_board();
            return 0;
        }
        case TREL_GET_BOARD_INFO:
        case TREL_GET_LINK_STATE: {
            auto *r = record_of<WordRecord>(record, length);
            if (!r) return fail(QEL_EINVAL);
            const Board *board = board_at(boards, r->value);
            if (!board) return fail(QEL_ENODEV);
            r->value = code == TREL_GET_BOARD_INFO ? board->if_index : (board->running ? 1u : 0u);
            return 0;
        }
        case TREL_GET_NIC_ID:
        case TREL_GET_MAC_ADDR: {
            // A software board's factory id and its host MAC are the same: the interface's MAC.
            auto *r = record_of<MacRecord>(record, length);
            if (!r) return fail(QEL_EINVAL);
            const Board *board = board_at(boards, r->board);
            if (!board) return fail(QEL_ENODEV);
            r->mac = board->mac;
            return 0;
        }
        case TREL_GET_SERIAL: {
            auto *r = record_of<SerialRecord>(record, length);
            if (!r || r->buffer == 0) return fail(QEL_EINVAL);
            const Board *board = board_at(boards, r->board);
            if (!board) return fail(QEL_ENODEV);
            std::string serial = board_serial(*board, r->board);
            auto *out = reinterpret_cast<char *>(static_cast<uintptr_t>(r->buffer));
            std::snprintf(out, kSerialBytes, "%s", serial.c_str());
            return 0;
        }
        default:
            return fail(QEL_ENOSYS);
    }
}

}  // namespace qel::adapter
