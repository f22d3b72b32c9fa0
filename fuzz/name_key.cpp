// Fuzz target: the adapter-name key parser, on any text (the input up to its first NUL).
//
// A text it accepts fills the key field as the driver reads it: a MAC key gives six octets,
// which written back as "M=" and colon-separated hex parse to the same octets, and the rest of
// the field is left alone; a serial key is copied with its terminator and nothing past it.
// It accepts no other text, and never reads past the terminator (the sanitizers watch that:
// the text is handed over in memory that ends there).
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "qel.h"
#include "stream/names.h"

namespace {

constexpr uint8_t kUntouched = 0xEE;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t length = strnlen(reinterpret_cast<const char *>(data), size);
    // A copy of exactly the text and its terminator: a read past it is out of bounds.
    auto text = std::make_unique<char[]>(length + 1);
    std::memcpy(text.get(), data, length);
    text[length] = '\0';

    uint8_t field[32];
    std::memset(field, kUntouched, sizeof field);
    const int rc = qel::stream::parse_name_key(text.get(), field);
    QEL_FUZZ_CHECK(rc == 0 || rc == QEL_EINVAL, "result %d", rc);
    if (rc != 0) {
        for (uint8_t b : field) QEL_FUZZ_CHECK(b == kUntouched, "a refused key wrote the field");
        return 0;
    }
    QEL_FUZZ_CHECK(length >= 3, "a key of %zu characters accepted", length);
    if (std::strncmp(text.get(), "M=", 2) == 0) {
        QEL_FUZZ_CHECK(length == 19, "a MAC key of %zu characters accepted", length);
        for (size_t i = 6; i < sizeof field; ++i) {
            QEL_FUZZ_CHECK(field[i] == kUntouched, "a MAC key wrote field byte %zu", i);
        }
        char canonical[20];
        std::snprintf(canonical, sizeof canonical, "M=%02X:%02X:%02X:%02X:%02X:%02X", field[0],
                      field[1], field[2], field[3], field[4], field[5]);
        uint8_t again[32] = {};
        QEL_FUZZ_CHECK(qel::stream::parse_name_key(canonical, again) == 0, "%s refused", canonical);
        QEL_FUZZ_CHECK(std::memcmp(again, field, 6) == 0, "%s parses to other octets", canonical);
        return 0;
    }
    QEL_FUZZ_CHECK(std::strncmp(text.get(), "S=", 2) == 0, "%s accepted", text.get());
    QEL_FUZZ_CHECK(length <= 26, "a serial key of %zu characters accepted", length);
    QEL_FUZZ_CHECK(std::memcmp(field, text.get(), length + 1) == 0, "serial key not copied");
    for (size_t i = length + 1; i < sizeof field; ++i) {
        QEL_FUZZ_CHECK(field[i] == kUntouched, "a serial key wrote field byte %zu", i);
    }
    return 0;
}
