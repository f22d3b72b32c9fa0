#include "hux/board_table.h"

#include <new>

#include "core/driver.h"
#include "hux.h"
#include "qel.h"

namespace qel::hux {

namespace {

int query_boards(hux_handle_t h, std::vector<hux_board_entry> &table) {
    driver::WordRecord count{};
    int rc = hux_ioctl(h, driver::TREL_GET_NUM_BOARDS, &count, sizeof count);
    if (rc != 0 || count.value == 0) return rc;
    if (count.value > kBoardCountLimit) return QEL_ENOMEM;
    try {
        table.resize(count.value);
    } catch (const std::bad_alloc &) {
        return QEL_ENOMEM;
    }
    for (uint32_t i = 0; i < count.value; ++i) {
        hux_board_entry &entry = table[i];
        entry.board = i;

        driver::MacRecord nic{};
        nic.board = i;
        if ((rc = hux_ioctl(h, driver::TREL_GET_NIC_ID, &nic, sizeof nic)) != 0) return rc;
        entry.nic_id = nic.mac;

        driver::WordRecord info{i};
        if ((rc = hux_ioctl(h, driver::TREL_GET_BOARD_INFO, &info, sizeof info)) != 0) return rc;
        entry.info = info.value;

        driver::WordRecord endpoints{};
        rc = hux_ioctl(h, driver::TREL_GET_ENDPT_MAX, &endpoints, sizeof endpoints);
        if (rc != 0) return rc;
        entry.endpt_max = endpoints.value;

        driver::WordRecord link{i};
        if ((rc = hux_ioctl(h, driver::TREL_GET_LINK_STATE, &link, sizeof link)) != 0) return rc;
        entry.link_up = link.value & 1;

        // A driver that cannot tell the host interface's MAC leaves the board to be matched
        // by its factory MAC.
        driver::MacRecord host{};
        host.board = i;
        const bool known = hux_ioctl(h, driver::TREL_GET_MAC_ADDR, &host, sizeof host) == 0;
        entry.host_mac = known ? host.mac : entry.nic_id;
    }
    return 0;
}

}  // namespace

int build_board_table(std::vector<hux_board_entry> &table) {
    table.clear();
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (int rc = hux_open_any_board(&h, HUX_PRODUCT_CODE); rc != 0) return rc;
    const int rc = query_boards(h, table);
    hux_close(h);
    if (rc != 0) table.clear();
    return rc;
}

std::optional<size_t> board_of_mac(std::span<const hux_board_entry> table, uint64_t mac) {
    for (size_t i = 0; i < table.size(); ++i) {
        if ((table[i].host_mac & kMacMask) == mac) return i;
    }
    return std::nullopt;
}

}  // namespace qel::hux
