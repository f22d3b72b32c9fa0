// The telemetry worker's wall clock, to the millisecond.
#include <time.h>

#include "telemetry/context.h"

namespace qel::telemetry {

int qel_telemetry_now(hux_timeval *tv) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // Seconds since 1970 cut to 32 bits; the microseconds carry whole milliseconds only.
    tv->tv_sec = static_cast<int32_t>(now.tv_sec);
    tv->tv_usec = static_cast<int32_t>(now.tv_nsec / 1000000) * 1000;
    return 0;
}

}  // namespace qel::telemetry
