// The table of adapter serial numbers a metrics or trace context carries for the add-on.
#include <cstdlib>
#include <cstring>

#include "core/log.h"
#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

constexpr const char *kTag = "qel_get_adapter_sns";
constexpr uint32_t kAdapterIndexes = 32;
constexpr size_t kSerialTextBytes = 32;  // "S=", then 30 bytes for the driver

}  // namespace

int qel_get_adapter_sns(char ***out) {
    auto **table = static_cast<char **>(std::calloc(kAdapterIndexes, sizeof(char *)));
    if (table == nullptr) {
        QEL_VERBOSE_TAGGED(kTag, "ERROR-Unable to allocate memory for serial numbers");
        return -1;
    }
    for (uint32_t i = 0; i < kAdapterIndexes; ++i) {
        char text[kSerialTextBytes] = "S=";
        // An index without an adapter fails here and keeps its entry null.
        if (hux_get_serial_from_board(i, text + 2) != 0) continue;
        text[kSerialTextBytes - 1] = '\0';  // the driver's text is not trusted to end
        // A copy that cannot be allocated leaves the entry null, as a missing adapter does.
        table[i] = strdup(text);
        if (table[i] != nullptr) QEL_DEBUG_TAGGED(kTag, "index %d name %s", i, table[i]);
    }
    *out = table;
    return 0;
}

}  // namespace qel::telemetry
