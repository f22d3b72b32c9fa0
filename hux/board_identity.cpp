// Board identity: translations between a board's product code and index, its global board
// number and its NIC id text.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "core/driver.h"
#include "hux.h"
#include "qel.h"

namespace qel::hux {

namespace {

constexpr uint8_t kLastProductCode = 25;
// Board slots looked at per product. The slot maximum comes from the driver; a larger answer
// is not taken as a reason to open billions of devices.
constexpr uint32_t kBoardSlotLimit = 256;
constexpr size_t kMacTextMin = 3;
constexpr size_t kMacTextMax = 17;
constexpr uint32_t kNicIdTextBytes = 18;

std::optional<uint32_t> ask_word(hux_handle_t h, uint32_t code) {
    driver::WordRecord word{};
    if (hux_ioctl(h, code, &word, sizeof word) != 0) return std::nullopt;
    return word.value;
}

struct ProductBoards {
    uint32_t present = 0;  // TREL_GET_NUM_BOARDS
    uint32_t slots = 0;    // TREL_GET_BOARD_MAX
};

// Asks a product's control device for its board count and slot maximum; the open's error when
// no board of the product opens, 22 when either command fails.
int product_boards(uint8_t product, ProductBoards *boards) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (int rc = hux_open_any_board(&h, product); rc != 0) return rc;
    auto present = ask_word(h, driver::TREL_GET_NUM_BOARDS);
    auto slots = present ? ask_word(h, driver::TREL_GET_BOARD_MAX) : std::nullopt;
    hux_close(h);
    if (!present || !slots) return QEL_EINVAL;
    *boards = ProductBoards{*present, *slots};
    return 0;
}

// Boards reported by the products below `product` that answer.
uint64_t boards_below(uint8_t product) {
    uint64_t base = 0;
    for (uint8_t q = 0; q < product; ++q) {
        hux_handle_t h = HUX_INVALID_HANDLE;
        if (hux_open_any_board(&h, q) != 0) continue;
        auto present = ask_word(h, driver::TREL_GET_NUM_BOARDS);
        hux_close(h);
        if (present) base += *present;
    }
    return base;
}

bool board_opens(uint8_t product, uint32_t index) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open(index, HUX_CONTROL_DEVICE, &h, product) != 0) return false;
    hux_close(h);
    return true;
}

std::optional<uint64_t> nic_id_of(uint8_t product, uint32_t index) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open(index, HUX_CONTROL_DEVICE, &h, product) != 0) return std::nullopt;
    driver::MacRecord record{};
    record.board = index;
    const int rc = hux_ioctl(h, driver::TREL_GET_NIC_ID, &record, sizeof record);
    hux_close(h);
    if (rc != 0) return std::nullopt;
    return record.mac;
}

bool ends_with(const char *text, size_t length, const char *suffix, size_t suffix_length) {
    return suffix_length <= length &&
           std::memcmp(text + length - suffix_length, suffix, suffix_length) == 0;
}

}  // namespace

}  // namespace qel::hux

using namespace qel::hux;

extern "C" {

QEL_EXPORT int hux_mac_to_product(const char *text, uint8_t *product, uint32_t *index) {
    if (text == nullptr || product == nullptr || index == nullptr) return QEL_EINVAL;
    const size_t length = std::strlen(text);
    if (length < kMacTextMin || length > kMacTextMax) return QEL_EINVAL;
    for (uint8_t p = 0; p <= kLastProductCode; ++p) {
        hux_handle_t h = HUX_INVALID_HANDLE;
        if (hux_open_any_board(&h, p) != 0) continue;
        auto slots = ask_word(h, qel::driver::TREL_GET_BOARD_MAX);
        hux_close(h);
        if (!slots) continue;
        const uint32_t limit = *slots < kBoardSlotLimit ? *slots : kBoardSlotLimit;
        for (uint32_t i = 0; i < limit; ++i) {
            auto nic_id = nic_id_of(p, i);
            if (!nic_id) continue;
            char nic_text[kNicIdTextBytes];
            hux_nic_id_to_str(nic_text, *nic_id, sizeof nic_text);
            if (ends_with(nic_text, std::strlen(nic_text), text, length)) {
                *product = p;
                *index = i;
                return 0;
            }
        }
    }
    return QEL_EINVAL;
}

QEL_EXPORT int hux_product_to_boardnum(uint8_t product, int32_t index, uint32_t *boardnum) {
    if (boardnum == nullptr) return QEL_EINVAL;
    uint64_t base = boards_below(product);
    ProductBoards boards;
    if (int rc = product_boards(product, &boards); rc != 0) return rc;
    // A negative index names no board.
    if (index < 0 || static_cast<uint32_t>(index) > boards.slots) return QEL_EINVAL;
    const uint32_t limit = boards.slots < kBoardSlotLimit ? boards.slots : kBoardSlotLimit;
    for (uint32_t i = 0; i < static_cast<uint32_t>(index) && i < limit; ++i) {
        if (board_opens(product, i)) ++base;
    }
    if (base > UINT32_MAX) return QEL_EINVAL;
    *boardnum = static_cast<uint32_t>(base);
    return 0;
}

QEL_EXPORT int hux_boardnum_to_product(uint32_t boardnum, uint8_t *product, uint32_t *index) {
    if (product == nullptr || index == nullptr) return QEL_EINVAL;
    uint64_t base = 0;
    for (uint8_t p = 0; p <= kLastProductCode; ++p) {
        ProductBoards boards;
        if (product_boards(p, &boards) != 0) continue;
        if (base + boards.present <= boardnum) {
            base += boards.present;
            continue;
        }
        // The board is product p's: walk its slots, counting the boards that open, to the one
        // whose global number is `boardnum`. Slots that do not open take no number.
        const uint32_t limit = boards.slots < kBoardSlotLimit ? boards.slots : kBoardSlotLimit;
        for (uint32_t i = 0; i < limit; ++i) {
            if (!board_opens(p, i)) continue;
            if (base == boardnum) {
                *product = p;
                *index = i;
                return 0;
            }
            ++base;
        }
        return QEL_EINVAL;
    }
    return QEL_EINVAL;
}

QEL_EXPORT int hux_translate_to_product(const char *text, uint8_t *product, uint32_t *index) {
    if (text == nullptr) return hux_boardnum_to_product(0, product, index);
    if (std::strchr(text, ':') != nullptr) return hux_mac_to_product(text, product, index);
    char *end = nullptr;
    errno = 0;
    const long number = std::strtol(text, &end, 10);
    if (*end != '\0') return QEL_EINVAL;
    // A board number outside 32 bits names no board (rather than one it wraps to).
    if (errno == ERANGE || number < 0 || number > static_cast<long>(UINT32_MAX)) return QEL_EINVAL;
    return hux_boardnum_to_product(static_cast<uint32_t>(number), product, index);
}

}  // extern "C"
