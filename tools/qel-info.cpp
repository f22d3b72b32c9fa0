// qel-info: initialises the library and reports the library version, the driver version and
// the boards found.
#include <cstdio>
#include <cstring>

#include "qel.h"

namespace {

// Driver command codes and records used here, as the driver publishes them.
constexpr uint32_t kGetVersion = 0x222007;
constexpr uint32_t kGetNumBoards = 0x222017;
constexpr uint32_t kGetMacAddr = 0x2220DF;
constexpr uint32_t kGetEndpointMax = 0x2220CB;
constexpr uint32_t kGetLinkState = 0x222ED3;

struct VersionRecord {
    uint32_t api_version;
    char version[60];
    char build[128];
};
struct MacRecord {
    uint32_t board;
    uint32_t unused;
    uint64_t mac;
};

}  // namespace

int main() {
    std::printf("qel library %s, API %#06x\n", QEL_RELEASE, QEL_API_VERSION);
    int rc = qel_init(QEL_API_VERSION);
    if (rc != 0) {
        std::fprintf(stderr, "qel-info: qel_init failed: %s (%d)\n", qel_strerror(rc), rc);
        return 1;
    }
    hux_handle_t h = HUX_INVALID_HANDLE;
    rc = hux_open_any_board(&h, HUX_PRODUCT_CODE);
    if (rc != 0) {
        std::fprintf(stderr, "qel-info: no board: %s (%d)\n", qel_strerror(rc), rc);
        return 1;
    }
    VersionRecord version{};
    if (hux_ioctl(h, kGetVersion, &version, sizeof version) == 0) {
        version.version[sizeof version.version - 1] = '\0';
        std::printf("driver %s, API %u.%u\n", version.version, version.api_version >> 8,
                    version.api_version & 0xFF);
    }
    uint32_t boards = 0;
    uint32_t endpoints = 0;
    hux_ioctl(h, kGetNumBoards, &boards, sizeof boards);
    hux_ioctl(h, kGetEndpointMax, &endpoints, sizeof endpoints);
    std::printf("%u board%s, %u endpoints each\n", boards, boards == 1 ? "" : "s", endpoints);
    for (uint32_t board = 0; board < boards; ++board) {
        MacRecord mac{};
        mac.board = board;
        uint32_t link = board;
        char serial[32] = "";
        hux_ioctl(h, kGetMacAddr, &mac, sizeof mac);
        hux_ioctl(h, kGetLinkState, &link, sizeof link);
        hux_get_serial_from_board(board, serial);
        std::printf("  board %u: mac %02x:%02x:%02x:%02x:%02x:%02x, link %s, serial %s\n", board,
                    unsigned(mac.mac >> 40) & 0xFF, unsigned(mac.mac >> 32) & 0xFF,
                    unsigned(mac.mac >> 24) & 0xFF, unsigned(mac.mac >> 16) & 0xFF,
                    unsigned(mac.mac >> 8) & 0xFF, unsigned(mac.mac) & 0xFF,
                    (link & 1) ? "up" : "down", serial);
    }
    hux_close(h);
    return 0;
}
