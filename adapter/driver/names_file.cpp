#include "adapter/driver/names_file.h"

#include <charconv>
#include <set>

namespace qel::adapter {

namespace {

constexpr std::string_view kHeader = "qel adapter names 1";
constexpr std::string_view kEnd = "end ";
constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> from_hex(std::string_view hex) {
    if (hex.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_value(hex[i]);
        const int low = hex_value(hex[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<char>(high * 16 + low));
    }
    return bytes;
}

void append_hex(std::string &out, std::string_view bytes) {
    for (char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        out.push_back(kHexDigits[b >> 4]);
        out.push_back(kHexDigits[b & 15]);
    }
}

NamesParse failure(size_t line, const std::string &why) {
    NamesParse parse;
    parse.error = line == 0 ? why : "line " + std::to_string(line) + ": " + why;
    return parse;
}

}  // namespace

bool valid_name_key(std::string_view key) {
    if (key.starts_with("M=")) {
        if (key.size() != 14) return false;
        for (char c : key.substr(2)) {
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
        }
        return true;
    }
    if (key.starts_with("S=")) {
        return key.size() > 2 && key.size() <= kMaxSerialKeyChars &&
               key.find('\0') == std::string_view::npos;
    }
    return false;
}

bool valid_stored_name(std::string_view name) {
    return name.size() <= kMaxStoredNameBytes && name.find('\0') == std::string_view::npos;
}

NamesParse parse_names_file(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxNamesFileBytes) return failure(0, "larger than any names file");
    std::string_view text(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    NamesParse parse;
    std::set<std::string> keys;
    size_t line_number = 0;
    bool ended = false;
    while (!text.empty()) {
        ++line_number;
        const size_t newline = text.find('\n');
        if (newline == std::string_view::npos) return failure(line_number, "cut short");
        const std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline + 1);
        if (ended) return failure(line_number, "text after the end line");
        if (line_number == 1) {
            if (line != kHeader) return failure(1, "not a qel adapter names file");
            continue;
        }
        if (line.starts_with(kEnd)) {
            const std::string_view count_text = line.substr(kEnd.size());
            size_t count = 0;
            auto [end, error] =
                std::from_chars(count_text.data(), count_text.data() + count_text.size(), count);
            if (count_text.empty() || error != std::errc() ||
                end != count_text.data() + count_text.size()) {
                return failure(line_number, "end line without a count");
            }
            if (count != parse.entries.size()) {
                return failure(line_number, "end line counts " + std::to_string(count) +
                                                " names, the file holds " +
                                                std::to_string(parse.entries.size()));
            }
            ended = true;
            continue;
        }
        const size_t space = line.find(' ');
        if (space == std::string_view::npos ||
            line.find(' ', space + 1) != std::string_view::npos) {
            return failure(line_number, "not a key and a name");
        }
        auto key = from_hex(line.substr(0, space));
        auto name = from_hex(line.substr(space + 1));
        if (!key || !name) return failure(line_number, "not hexadecimal");
        if (!valid_name_key(*key)) return failure(line_number, "not an adapter key");
        if (!valid_stored_name(*name)) return failure(line_number, "not an adapter name");
        if (!keys.insert(*key).second) return failure(line_number, "key named twice");
        parse.entries.push_back(NameEntry{std::move(*key), std::move(*name)});
    }
    if (line_number == 0) return failure(1, "empty");
    if (!ended) return failure(line_number, "cut short: no end line");
    parse.ok = true;
    return parse;
}

std::string format_names_file(const std::vector<NameEntry> &entries) {
    std::string out(kHeader);
    out.push_back('\n');
    for (const NameEntry &entry : entries) {
        append_hex(out, entry.key);
        out.push_back(' ');
        append_hex(out, entry.name);
        out.push_back('\n');
    }
    out += kEnd;
    out += std::to_string(entries.size());
    out.push_back('\n');
    return out;
}

}  // namespace qel::adapter
