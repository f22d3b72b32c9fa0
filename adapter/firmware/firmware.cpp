#include "adapter/firmware/firmware.h"

#include <mutex>

namespace qel::adapter {

namespace {

// Which starter endpoints use. Read once per firmware start, so a mutex costs nothing; it
// also orders whatever the setter prepared before the endpoint that calls the starter.
struct Choice {
    std::mutex mutex;
    FirmwareStarter fallback = nullptr;  // the default
    FirmwareStarter chosen = nullptr;
    bool has_choice = false;
};

Choice &choice() {
    static Choice the_choice;
    return the_choice;
}

}  // namespace

void set_firmware_starter(FirmwareStarter starter) {
    Choice &c = choice();
    std::lock_guard lock(c.mutex);
    c.chosen = starter;
    c.has_choice = true;
}

void reset_firmware_starter() {
    Choice &c = choice();
    std::lock_guard lock(c.mutex);
    c.chosen = nullptr;
    c.has_choice = false;
}

void set_default_firmware_starter(FirmwareStarter starter) {
    Choice &c = choice();
    std::lock_guard lock(c.mutex);
    c.fallback = starter;
}

FirmwareStarter firmware_starter() {
    Choice &c = choice();
    std::lock_guard lock(c.mutex);
    return c.has_choice ? c.chosen : c.fallback;
}

}  // namespace qel::adapter
