// The software adapter as a device host: the table of open devices and the dispatch of driver
// commands to the board list (control devices) or to an endpoint.
#include "adapter/driver/software_adapter.h"

#include <memory>
#include <new>
#include <mutex>
#include <unordered_map>

#include "adapter/driver/boards.h"
#include "adapter/driver/control_commands.h"
#include "adapter/driver/device_name.h"
#include "adapter/driver/endpoint_device.h"
#include "adapter/driver/name_commands.h"
#include "adapter/firmware/software_firmware.h"
#include "core/driver.h"
#include "qel.h"

namespace qel::adapter {

namespace {

using driver::host_error_of_driver_code;

struct OpenDevice {
    DeviceName name;
    // The board list as it was when the device was opened: board numbers in records sent on
    // this handle refer to it.
    std::shared_ptr<const std::vector<Board>> boards;
    // Endpoint devices only.
    std::shared_ptr<EndpointDevice> endpoint;
};

// Runs one call of the seam so that nothing it throws crosses it (device_host.h). What can
// fail here is an allocation (the device table, the board list, the shared records), or a
// standard lock or thread short of its resources: each is answered as a lack of memory.
template <typename Call>
uint32_t contained(Call &&call) noexcept {
    try {
        return call();
    } catch (...) {
        return host_error_of_driver_code(QEL_ENOMEM);
    }
}

class SoftwareAdapter final : public hux::DeviceHost {
public:
    // Endpoints run the software firmware unless a test or tool chose another.
    SoftwareAdapter() { set_default_firmware_starter(start_software_firmware); }

    uint32_t open(const char *name, uint64_t *handle) noexcept override {
        return contained([&] { return open_device(name, handle); });
    }

    uint32_t control(uint64_t handle, uint32_t code, void *record,
                     uint32_t length) noexcept override {
        return contained([&] { return answer(handle, code, record, length); });
    }

    void close(uint64_t handle) noexcept override {
        contained([&] {
            close_device(handle);
            return 0u;
        });
    }

    std::shared_ptr<Endpoint> attached_endpoint(uint64_t handle) {
        std::shared_ptr<OpenDevice> device = find(handle);
        if (!device || !device->endpoint) return nullptr;
        return device->endpoint->endpoint();
    }

private:
    uint32_t open_device(const char *name, uint64_t *handle) {
        if (name == nullptr || handle == nullptr) return host_error_of_driver_code(QEL_EINVAL);
        auto parsed = parse_device_name(name);
        if (!parsed) return driver::kHostPathNotFound;
        // Interfaces come and go: every open looks at the host afresh.
        auto boards = std::make_shared<const std::vector<Board>>(discover_boards());
        if (parsed->board >= boards->size()) return driver::kHostPathNotFound;
        if (parsed->kind == DeviceKind::endpoint && parsed->endpoint >= endpoints_per_board()) {
            return driver::kHostPathNotFound;
        }
        auto device = std::make_shared<OpenDevice>(OpenDevice{*parsed, boards, nullptr});
        if (parsed->kind == DeviceKind::endpoint) {
            device->endpoint =
                std::make_shared<EndpointDevice>(boards, parsed->board, parsed->endpoint);
        }
        std::lock_guard lock(mutex_);
        uint64_t h = next_handle_++;
        devices_.emplace(h, std::move(device));
        *handle = h;
        return 0;
    }

    uint32_t answer(uint64_t handle, uint32_t code, void *record, uint32_t length) {
        std::shared_ptr<OpenDevice> device = find(handle);
        if (!device) return host_error_of_driver_code(QEL_EINVAL);
        switch (device->name.kind) {
            case DeviceKind::control:
                if (is_name_command(code)) {
                    return answer_name_command(*device->boards, code, record, length);
                }
                return answer_control_command(*device->boards, code, record, length);
            case DeviceKind::endpoint:
                return device->endpoint->control(code, record, length);
            case DeviceKind::raw:
                break;
        }
        return host_error_of_driver_code(QEL_ENOSYS);
    }

    void close_device(uint64_t handle) {
        std::shared_ptr<OpenDevice> device;
        {
            std::lock_guard lock(mutex_);
            auto it = devices_.find(handle);
            if (it == devices_.end()) return;
            device = std::move(it->second);
            devices_.erase(it);
        }
        // Shut outside the lock: closing an endpoint waits for its firmware to stop.
        if (device->endpoint) device->endpoint->close();
    }

    std::shared_ptr<OpenDevice> find(uint64_t handle) {
        std::lock_guard lock(mutex_);
        auto it = devices_.find(handle);
        return it == devices_.end() ? nullptr : it->second;
    }

    std::mutex mutex_;
    std::unordered_map<uint64_t, std::shared_ptr<OpenDevice>> devices_;
    uint64_t next_handle_ = 1;
};

}  // namespace

namespace {

SoftwareAdapter &the_adapter() noexcept {
    // Never destroyed: handles may still be closed while the process exits. Made in storage of
    // its own, and its making allocates nothing (an empty table, a starter set under a lock),
    // so that reaching it through the seam cannot throw either.
    alignas(SoftwareAdapter) static unsigned char storage[sizeof(SoftwareAdapter)];
    static SoftwareAdapter *adapter = new (storage) SoftwareAdapter();
    return *adapter;
}

}  // namespace

hux::DeviceHost &software_adapter() noexcept {
    return the_adapter();
}

std::shared_ptr<Endpoint> attached_endpoint(uint64_t handle) {
    return the_adapter().attached_endpoint(handle);
}

}  // namespace qel::adapter

// The adapter registers itself as the device host the library uses while none is installed.
qel::hux::DeviceHost &qel::hux::default_device_host() noexcept {
    return adapter::software_adapter();
}
