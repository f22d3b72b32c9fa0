// The adapter names file's format, as pure functions from bytes to entries and back, so that
// the reader can be tested and fuzzed on any input without touching the file system.
//
//   qel adapter names 1
//   <key as hex> <name as hex>      one line per stored name
//   end <number of entries>
//
// Keys are canonical texts: "M=" and twelve upper-case hex digits for a MAC key, or the serial
// key's own text ("S=" and 1 to 24 characters). Names are 0 to 255 bytes without NUL. Hex keeps
// every byte a name may hold on one line; the closing count tells a file cut short from a
// whole one.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qel::adapter {

struct NameEntry {
    std::string key;
    std::string name;
    bool operator==(const NameEntry &) const = default;
};

struct NamesParse {
    bool ok = false;
    std::vector<NameEntry> entries;  // in file order, keys distinct
    std::string error;               // why the bytes are not a names file, with the line
};

constexpr size_t kMaxNamesFileBytes = 1 << 20;
constexpr size_t kMaxStoredNameBytes = 255;
constexpr size_t kMaxSerialKeyChars = 26;  // "S=" included

// Whether `key` is a canonical key as above.
bool valid_name_key(std::string_view key);
// Whether `name` may be stored.
bool valid_stored_name(std::string_view name);

NamesParse parse_names_file(std::span<const uint8_t> bytes);
// The file's bytes for `entries` (each valid, keys distinct).
std::string format_names_file(const std::vector<NameEntry> &entries);

}  // namespace qel::adapter
