#include "adapter_tool/render.h"

#include "common/json_output.h"

namespace qel::adapter_tool {

namespace {

// A text, or null where there is none.
nlohmann::json text_or_null(const std::optional<std::string> &text) {
    return text ? nlohmann::json(*text) : nlohmann::json();
}

nlohmann::json text_or_null(const std::string &text) {
    return text_or_null(text.empty() ? std::nullopt : std::optional(text));
}

std::string address_text(const InterfaceAddress &address) {
    std::string text = address.address + "/" + std::to_string(address.prefix);
    if (!address.interface.empty()) text += " (" + address.interface + ")";
    return text;
}

// A stored name may hold any byte: control characters are shown as '?' so that a name cannot
// move the cursor or end the line on the user's terminal.
std::string printable(const std::string &name) {
    std::string out = name;
    for (char &c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return out;
}

std::string name_text(const BoardReport &board) {
    std::string text;
    const auto add = [&](const std::optional<std::string> &name, const std::string &key) {
        if (!name) return;
        if (!text.empty()) text += ", ";
        // Appended piece by piece: GCC 12 at -O3 takes "literal" + a temporary string for an
        // overlapping copy (a false -Wrestrict).
        text += '"';
        text += printable(*name);
        text += "\" (";
        text += key;
        text += ')';
    };
    add(board.name_by_mac, mac_key(board));
    add(board.name_by_serial, serial_key(board));
    return text.empty() ? "-" : text;
}

}  // namespace

std::string printable_name(const std::string &name) {
    return printable(name);
}

std::string render_text(const BoardList &list) {
    if (list.boards.empty()) return "no boards\n";
    std::string out;
    for (const BoardReport &board : list.boards) {
        out += "board " + std::to_string(board.board) + "  nic " + board.nic_id + "  serial " +
               (board.serial.empty() ? "-" : board.serial) + "  link " +
               (board.link_up ? "up" : "down") + "\n";
        out += "  addresses  ";
        if (board.addresses.empty()) out += "-";
        for (size_t i = 0; i < board.addresses.size(); ++i) {
            if (i != 0) out += ' ';
            out += address_text(board.addresses[i]);
        }
        out += "\n  endpoints  " + std::to_string(board.endpoints_in_use.size()) + " of " +
               std::to_string(board.endpoints) + " in use";
        for (size_t i = 0; i < board.endpoints_in_use.size(); ++i) {
            out += i == 0 ? ": " : " ";
            out += std::to_string(board.endpoints_in_use[i]);
        }
        out += "\n  name       " + name_text(board) + "\n";
    }
    return out;
}

std::string render_json(const BoardList &list) {
    nlohmann::json boards = nlohmann::json::array();
    for (const BoardReport &board : list.boards) {
        nlohmann::json addresses = nlohmann::json::array();
        for (const InterfaceAddress &address : board.addresses) {
            addresses.push_back({{"address", address.address},
                                 {"prefix", address.prefix},
                                 {"interface", text_or_null(address.interface)}});
        }
        boards.push_back({
            {"board", board.board},
            {"nic_id", board.nic_id},
            {"serial", text_or_null(board.serial)},
            {"link_up", board.link_up},
            {"endpoints", board.endpoints},
            {"endpoints_in_use", board.endpoints_in_use},
            {"addresses", std::move(addresses)},
            {"names",
             {{"mac", text_or_null(board.name_by_mac)},
              {"serial", text_or_null(board.name_by_serial)}}},
        });
    }
    return tools::json_text({{"boards", std::move(boards)}}, 2);
}

}  // namespace qel::adapter_tool
