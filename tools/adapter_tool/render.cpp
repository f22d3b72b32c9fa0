#include "adapter_tool/render.h"

#include "adapter_tool/json_text.h"

namespace qel::adapter_tool {

namespace {

std::string json_or_null(const std::optional<std::string> &text) {
    return text ? json_string(*text) : "null";
}

std::string address_text(const InterfaceAddress &address) {
    return address.address + "/" + std::to_string(address.prefix);
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
    std::string out = "{\"boards\": [";
    for (size_t b = 0; b < list.boards.size(); ++b) {
        const BoardReport &board = list.boards[b];
        out += b == 0 ? "\n  " : ",\n  ";
        out += "{\"board\": " + std::to_string(board.board);
        out += ", \"nic_id\": " + json_string(board.nic_id);
        out += ", \"serial\": " + (board.serial.empty() ? "null" : json_string(board.serial));
        out += ", \"link_up\": " + std::string(board.link_up ? "true" : "false");
        out += ", \"endpoints\": " + std::to_string(board.endpoints);
        out += ", \"endpoints_in_use\": [";
        for (size_t i = 0; i < board.endpoints_in_use.size(); ++i) {
            if (i != 0) out += ", ";
            out += std::to_string(board.endpoints_in_use[i]);
        }
        out += "], \"addresses\": [";
        for (size_t i = 0; i < board.addresses.size(); ++i) {
            out += (i == 0 ? "" : ", ") + std::string("{\"address\": ") +
                   json_string(board.addresses[i].address) +
                   ", \"prefix\": " + std::to_string(board.addresses[i].prefix) + "}";
        }
        out += "], \"names\": {\"mac\": " + json_or_null(board.name_by_mac) +
               ", \"serial\": " + json_or_null(board.name_by_serial) + "}}";
    }
    out += list.boards.empty() ? "]}\n" : "\n]}\n";
    return out;
}

}  // namespace qel::adapter_tool
