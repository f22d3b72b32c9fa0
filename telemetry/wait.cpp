// The hand-over wait: callers poll one of the record's flag words until the worker has moved
// it.
#include <time.h>

#include "telemetry/context.h"

namespace qel::telemetry {

namespace {

void sleep_one_millisecond() {
    timespec rest{0, 1000000};
    while (nanosleep(&rest, &rest) != 0) {
    }
}

}  // namespace

int qel_wait_for_value(uint32_t timeout_s, const uint32_t *field, uint32_t value) {
    // The limit is a signed 32-bit product: a timeout above 2,147,483 s wraps below 1 and
    // fails at once, as a zero timeout does.
    const auto limit = static_cast<int32_t>(timeout_s * 1000u);
    if (limit < 1) return -1;
    for (int32_t polls = 0; polls < limit; ++polls) {
        // Acquire pairs with the worker's release-store of the flag: once the caller sees the
        // value it also sees what the worker did before it (a stream list adopted).
        if (load_flag(*field) == value) return 0;
        sleep_one_millisecond();
    }
    return -1;
}

}  // namespace qel::telemetry
