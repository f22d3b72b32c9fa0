#include "recv_tool/board_by_name.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "qel.h"

namespace qel::recv_tool {

namespace {

bool named(const std::string &key, const std::string &name) {
    char *text = nullptr;
    if (qel_get_name(key.c_str(), &text) != 0 || text == nullptr) return false;
    const std::unique_ptr<char, decltype(&std::free)> owned(text, &std::free);
    return name == text;
}

// Whether the board is stored under `name`, by either of its keys.
bool board_named(const hux_ifaddrs &record, const std::string &name) {
    char nic[18];
    hux_nic_id_to_str(nic, record.ifa_nic_id, sizeof nic);
    if (named(std::string("M=") + nic, name)) return true;
    char serial[32] = {};
    return hux_get_serial_from_board(record.ifa_board, serial) == 0 &&
           named("S=" + std::string(serial, strnlen(serial, sizeof serial)), name);
}

}  // namespace

BoardAddress board_address(const std::string &name) {
    hux_ifaddrs *list = nullptr;
    int count = 0;
    if (const int rc = hux_getifaddrs(&list, 1, &count); rc != 0) {
        return {"", std::string("--board: the boards' addresses cannot be listed: ") +
                        qel_strerror(rc)};
    }
    const std::unique_ptr<hux_ifaddrs, decltype(&hux_freeifaddrs)> owned(list, &hux_freeifaddrs);
    std::vector<std::string> found;
    for (const hux_ifaddrs *a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_name != nullptr && board_named(*a, name)) found.emplace_back(a->ifa_name);
    }
    if (found.empty()) {
        return {"", "--board: no board with an address is named '" + name +
                        "' (qel-adapter lists the boards and their names)"};
    }
    if (found.size() > 1) {
        std::string all;
        for (const std::string &address : found) all += (all.empty() ? "" : ", ") + address;
        return {"", "--board: '" + name + "' has several addresses (" + all +
                        "): give one with --local instead"};
    }
    return {found[0], ""};
}

}  // namespace qel::recv_tool
