// Fuzz target: the adapter names file reader, on any bytes.
//
// Bytes it accepts give entries that could all have been stored (canonical keys, storable
// names, no key twice), and writing those entries out and reading them back gives the same
// entries. Bytes it refuses give a reason and no entries.
#include "adapter/driver/names_file.h"
#include "fuzz_check.h"

#include <set>

using namespace qel::adapter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const NamesParse parse = parse_names_file({data, size});
    if (!parse.ok) {
        QEL_FUZZ_CHECK(!parse.error.empty(), "refused without a reason");
        QEL_FUZZ_CHECK(parse.entries.empty(), "refused with entries");
        return 0;
    }
    std::set<std::string> keys;
    for (const NameEntry &entry : parse.entries) {
        QEL_FUZZ_CHECK(valid_name_key(entry.key), "key %s read", entry.key.c_str());
        QEL_FUZZ_CHECK(valid_stored_name(entry.name), "a name of %zu bytes read",
                       entry.name.size());
        QEL_FUZZ_CHECK(keys.insert(entry.key).second, "key %s read twice", entry.key.c_str());
    }
    const std::string written = format_names_file(parse.entries);
    const NamesParse again =
        parse_names_file({reinterpret_cast<const uint8_t *>(written.data()), written.size()});
    QEL_FUZZ_CHECK(again.ok, "its own file refused: %s", again.error.c_str());
    QEL_FUZZ_CHECK(again.entries == parse.entries, "entries changed by writing and reading");
    return 0;
}
