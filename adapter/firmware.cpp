#include "adapter/firmware.h"

#include <atomic>

namespace qel::adapter {

namespace {

// Release pairs with the acquire in firmware_starter(): whatever the setter prepared before
// is visible to the endpoint that calls the starter.
std::atomic<FirmwareStarter> installed_starter{nullptr};

}  // namespace

void set_firmware_starter(FirmwareStarter starter) {
    installed_starter.store(starter, std::memory_order_release);
}

FirmwareStarter firmware_starter() {
    return installed_starter.load(std::memory_order_acquire);
}

}  // namespace qel::adapter
