// qel-info: initialises the library and reports the library version, the driver version and
// the boards found, with the host interface and address of each; --json gives the same as one
// JSON object.
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "common/command_line.h"
#include "common/interface_names.h"
#include "common/json_output.h"
#include "qel.h"

namespace {

constexpr const char *kUsage = R"(Usage: qel-info [OPTION]...
Reports the library's version, the driver's version and the adapter boards the driver finds,
each with its NIC id, link state, serial number and host addresses (with their interfaces).
Exit status: 0 done, 1 the library or the driver cannot be used, 2 bad arguments.

  --json       the same report as one JSON object
  -h, --help   show this text and exit
  --version    show the version and exit
)";

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

int fail(const std::string &message, int rc) {
    std::fprintf(stderr, "qel-info: %s: %s (%d)\n", message.c_str(), qel_strerror(rc), rc);
    return 1;
}

// The driver's view of its boards, gathered before anything is printed.
nlohmann::json collect(hux_handle_t h) {
    nlohmann::json report;
    report["library"] = {{"release", QEL_RELEASE}, {"api", QEL_API_VERSION}};
    VersionRecord version{};
    if (hux_ioctl(h, kGetVersion, &version, sizeof version) == 0) {
        report["driver"] = {
            {"version",
             std::string(version.version, strnlen(version.version, sizeof version.version))},
            {"api", std::to_string(version.api_version >> 8) + "." +
                        std::to_string(version.api_version & 0xFF)}};
    }
    uint32_t boards = 0;
    uint32_t endpoints = 0;
    hux_ioctl(h, kGetNumBoards, &boards, sizeof boards);
    hux_ioctl(h, kGetEndpointMax, &endpoints, sizeof endpoints);
    report["endpoints_per_board"] = endpoints;
    hux_ifaddrs *addresses = nullptr;
    int address_count = 0;
    if (hux_getifaddrs(&addresses, 1, &address_count) != 0) addresses = nullptr;
    const std::unique_ptr<hux_ifaddrs, decltype(&hux_freeifaddrs)> owned(addresses,
                                                                         &hux_freeifaddrs);
    report["boards"] = nlohmann::json::array();
    for (uint32_t board = 0; board < boards; ++board) {
        MacRecord mac{};
        mac.board = board;
        uint32_t link = board;
        char serial[32] = "";
        hux_ioctl(h, kGetMacAddr, &mac, sizeof mac);
        hux_ioctl(h, kGetLinkState, &link, sizeof link);
        hux_get_serial_from_board(board, serial);
        char nic[18];
        hux_nic_id_to_str(nic, mac.mac, sizeof nic);
        nlohmann::json entry = {{"board", board},
                                {"mac", nic},
                                {"link_up", (link & 1) != 0},
                                {"serial", std::string(serial, strnlen(serial, sizeof serial))},
                                {"addresses", nlohmann::json::array()}};
        for (const hux_ifaddrs *a = addresses; a != nullptr; a = a->ifa_next) {
            if (a->ifa_board != board || a->ifa_name == nullptr) continue;
            entry["addresses"].push_back(
                {{"address", a->ifa_name}, {"interface", qel::tools::interface_name(a->ifa_name)}});
        }
        report["boards"].push_back(std::move(entry));
    }
    return report;
}

void print_text(const nlohmann::json &report) {
    std::printf("qel library %s, API %#06x\n", QEL_RELEASE, QEL_API_VERSION);
    if (report.contains("driver")) {
        std::printf("driver %s, API %s\n", report["driver"]["version"].get<std::string>().c_str(),
                    report["driver"]["api"].get<std::string>().c_str());
    }
    const size_t boards = report["boards"].size();
    std::printf("%zu board%s, %u endpoints each\n", boards, boards == 1 ? "" : "s",
                report["endpoints_per_board"].get<uint32_t>());
    for (const auto &board : report["boards"]) {
        std::printf("  board %u: mac %s, link %s, serial %s\n", board["board"].get<uint32_t>(),
                    board["mac"].get<std::string>().c_str(),
                    board["link_up"].get<bool>() ? "up" : "down",
                    board["serial"].get<std::string>().c_str());
        for (const auto &address : board["addresses"]) {
            const std::string name = address["interface"];
            std::printf("    address %s (%s)\n", address["address"].get<std::string>().c_str(),
                        name.empty() ? "interface unknown" : name.c_str());
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    constexpr qel::tools::OptionSpec kOptions[] = {{"json", false}};
    const qel::tools::CommandLine line = qel::tools::parse_command_line(kOptions, argc, argv);
    if (const int status =
            qel::tools::answer_command_line("qel-info", kUsage, line.ask, line.error);
        status >= 0) {
        return status;
    }
    if (!line.operands.empty()) {
        return qel::tools::usage_error("qel-info",
                                       "unexpected argument '" + line.operands[0] + "'");
    }
    const bool json = !line.options.empty();
    if (int rc = qel_init(QEL_API_VERSION); rc != 0) return fail("qel_init failed", rc);
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (int rc = hux_open_any_board(&h, HUX_PRODUCT_CODE); rc != 0) return fail("no board", rc);
    const nlohmann::json report = collect(h);
    hux_close(h);
    if (json) {
        std::fputs(qel::tools::json_text(report, 2).c_str(), stdout);
    } else {
        print_text(report);
    }
    return 0;
}
