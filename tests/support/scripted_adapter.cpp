#include "support/scripted_adapter.h"

#include <sys/mman.h>

#include <atomic>
#include <cstdio>

#include "adapter/driver/device_name.h"
#include "core/shared_memory.h"
#include "qel.h"

namespace qel::test {

using namespace qel::driver;

std::string control_name(uint32_t board) {
    return legacy_control_name(board) + "\\p";
}
std::string legacy_control_name(uint32_t board) {
    return "\\\\.\\trel" + std::to_string(board);
}
std::string raw_name(uint32_t board) {
    return legacy_control_name(board) + "\\r";
}
std::string endpoint_name(uint32_t board, uint32_t endpoint) {
    return legacy_control_name(board) + "\\e" + std::to_string(endpoint);
}

namespace {

constexpr uint32_t kDefaultRingBytes = 65536;

uint32_t driver_failure(int code) {
    return host_error_of_driver_code(static_cast<uint32_t>(code));
}

}  // namespace

struct ScriptedAdapter::Endpoint {
    EndpointRegions regions;
    bool attached = false;

    Endpoint() {
        for (int i = 0; i < kRegionCount; ++i) {
            regions.length[i] = i == 0 ? kDefaultRingBytes : shm::kPageBytes;
            void *p = mmap(nullptr, regions.length[i], PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            regions.base[i] = p == MAP_FAILED ? nullptr : static_cast<uint8_t *>(p);
        }
    }
    ~Endpoint() {
        for (int i = 0; i < kRegionCount; ++i) {
            if (regions.base[i]) munmap(regions.base[i], regions.length[i]);
        }
    }
};

ScriptedAdapter::ScriptedAdapter() {
    hux::set_device_host(this);
}

ScriptedAdapter::~ScriptedAdapter() {
    hux::set_device_host(nullptr);
}

void ScriptedAdapter::add_board(uint32_t number, BoardSpec spec) {
    std::lock_guard lock(mutex_);
    devices_.insert(spec.legacy_control_name ? legacy_control_name(number) : control_name(number));
    devices_.insert(raw_name(number));
    for (uint32_t e = 0; e < spec.endpoints; ++e) devices_.insert(endpoint_name(number, e));
    boards_[number] = std::move(spec);
}

BoardSpec &ScriptedAdapter::board(uint32_t number) {
    std::lock_guard lock(mutex_);
    return boards_.at(number);
}

void ScriptedAdapter::add_device(const std::string &name) {
    std::lock_guard lock(mutex_);
    devices_.insert(name);
}

void ScriptedAdapter::refuse_open(const std::string &name, uint32_t host_error) {
    std::lock_guard lock(mutex_);
    refusals_[name] = host_error;
}

void ScriptedAdapter::on(uint32_t code, Handler handler) {
    std::lock_guard lock(mutex_);
    handlers_[code] = std::move(handler);
}

void ScriptedAdapter::fail(uint32_t code, int driver_code, int times) {
    fail_host(code, driver_failure(driver_code), times);
}

void ScriptedAdapter::fail_host(uint32_t code, uint32_t host_error, int times) {
    std::lock_guard lock(mutex_);
    failures_[code] = Failure{host_error, times};
}

std::vector<Command> ScriptedAdapter::commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

std::vector<Command> ScriptedAdapter::commands_with(uint32_t code) const {
    std::lock_guard lock(mutex_);
    std::vector<Command> found;
    for (const auto &c : commands_) {
        if (c.code == code) found.push_back(c);
    }
    return found;
}

size_t ScriptedAdapter::count(uint32_t code) const {
    return commands_with(code).size();
}

size_t ScriptedAdapter::command_count() const {
    std::lock_guard lock(mutex_);
    return commands_.size();
}

void ScriptedAdapter::clear_commands() {
    std::lock_guard lock(mutex_);
    commands_.clear();
    open_attempts_.clear();
}

std::vector<std::string> ScriptedAdapter::open_attempts() const {
    std::lock_guard lock(mutex_);
    return open_attempts_;
}

size_t ScriptedAdapter::open_handles() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

ScriptedAdapter::Endpoint &ScriptedAdapter::endpoint(uint32_t board, uint32_t number) {
    std::lock_guard lock(mutex_);
    auto &slot = endpoints_[{board, number}];
    if (!slot) slot = std::make_unique<Endpoint>();
    return *slot;
}

EndpointRegions &ScriptedAdapter::regions(uint32_t board, uint32_t number) {
    return endpoint(board, number).regions;
}

void ScriptedAdapter::post_descriptor(uint32_t board, uint32_t number,
                                      const uint8_t (&descriptor)[64]) {
    EndpointRegions &r = regions(board, number);
    uint8_t *slot = r.base[0] + r.write_offset;
    std::memcpy(slot, descriptor, shm::offset::kTag);
    const uint8_t tag =
        static_cast<uint8_t>((descriptor[shm::offset::kTag] & ~shm::kTagMask) | r.next_tag);
    // Release pairs with the host's acquire fence before its tag test: the host that sees the
    // tag sees the descriptor's other 63 bytes.
    std::atomic_ref<uint8_t>(slot[shm::offset::kTag]).store(tag, std::memory_order_release);
    r.write_offset = (r.write_offset + shm::kDescriptorBytes) % r.length[0];
    r.next_tag = shm::next_tag(r.next_tag);
}

uint32_t ScriptedAdapter::open(const char *name, uint64_t *handle) noexcept {
    std::lock_guard lock(mutex_);
    open_attempts_.push_back(name);
    if (auto it = refusals_.find(name); it != refusals_.end()) return it->second;
    if (!devices_.contains(name)) return kHostPathNotFound;
    if (auto parsed = adapter::parse_device_name(name);
        parsed && parsed->kind == adapter::DeviceKind::endpoint) {
        endpoint(parsed->board, parsed->endpoint);  // its regions exist from now on
    }
    uint64_t h = next_handle_++;
    handles_[h] = name;
    *handle = h;
    return 0;
}

void ScriptedAdapter::close(uint64_t handle) noexcept {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    if (auto parsed = adapter::parse_device_name(it->second);
        parsed && parsed->kind == adapter::DeviceKind::endpoint) {
        endpoint(parsed->board, parsed->endpoint).attached = false;
    }
    handles_.erase(it);
}

uint32_t ScriptedAdapter::control(uint64_t handle, uint32_t code, void *record,
                                  uint32_t length) noexcept {
    Handler handler;
    Call call{"", code, record, length};
    uint32_t board = 0;
    int endpoint_number = -1;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(handle);
        if (it == handles_.end()) return driver_failure(QEL_EINVAL);
        call.device = it->second;
        Command command{it->second, code, length, {}};
        if (record != nullptr) {
            const auto *bytes = static_cast<const uint8_t *>(record);
            command.input.assign(bytes, bytes + length);
        }
        commands_.push_back(std::move(command));
        if (auto parsed = adapter::parse_device_name(call.device)) {
            board = parsed->board;
            if (parsed->kind == adapter::DeviceKind::endpoint) {
                endpoint_number = static_cast<int>(parsed->endpoint);
            }
        }
        if (auto f = failures_.find(code); f != failures_.end() && f->second.times != 0) {
            uint32_t host_error = f->second.host_error;
            if (f->second.times > 0) --f->second.times;
            return host_error;
        }
        if (auto h = handlers_.find(code); h != handlers_.end()) handler = h->second;
    }
    // Handlers run without the lock: one may wait (as a driver wait does) while the test
    // thread posts descriptors.
    if (handler) return handler(call);
    std::lock_guard lock(mutex_);
    return default_answer(call, board, endpoint_number);
}

uint32_t ScriptedAdapter::default_answer(Call &call, uint32_t board_number, int endpoint_number) {
    auto spec_it = boards_.find(board_number);
    if (spec_it == boards_.end()) return driver_failure(QEL_ENODEV);
    const BoardSpec &spec = spec_it->second;
    auto fits = [&](size_t size) { return call.record != nullptr && call.length == size; };
    auto board_of_record = [&](uint32_t number) -> const BoardSpec * {
        auto it = boards_.find(number);
        return it == boards_.end() ? nullptr : &it->second;
    };

    switch (call.code) {
        case TREL_GET_VERSION: {
            if (!fits(sizeof(VersionRecord))) return driver_failure(QEL_EINVAL);
            auto &r = call.as<VersionRecord>();
            std::memset(&r, 0, sizeof r);
            r.api_version = spec.driver_api;
            std::snprintf(r.version, sizeof r.version, "%s", spec.driver_version.c_str());
            std::snprintf(r.build, sizeof r.build, "%s", spec.driver_build.c_str());
            return 0;
        }
        case TREL_GET_NUM_BOARDS:
        case TREL_GET_BOARD_MAX:
            if (!fits(4)) return driver_failure(QEL_EINVAL);
            call.word() = static_cast<uint32_t>(boards_.size());
            return 0;
        case TREL_GET_ENDPT_MAX:
            if (!fits(4)) return driver_failure(QEL_EINVAL);
            call.word() = spec.endpoints;
            return 0;
        case TREL_GET_BOARD_INFO:
        case TREL_GET_LINK_STATE:
        case TREL_GET_TIMESOURCE: {
            if (!fits(4)) return driver_failure(QEL_EINVAL);
            const BoardSpec *b = board_of_record(call.word());
            if (!b) return driver_failure(QEL_ENODEV);
            call.word() = call.code == TREL_GET_BOARD_INFO   ? b->info
                          : call.code == TREL_GET_LINK_STATE ? b->link
                                                             : b->timesource;
            return 0;
        }
        case TREL_GET_NIC_ID:
        case TREL_GET_MAC_ADDR: {
            if (!fits(sizeof(MacRecord))) return driver_failure(QEL_EINVAL);
            auto &r = call.as<MacRecord>();
            const BoardSpec *b = board_of_record(r.board);
            if (!b) return driver_failure(QEL_ENODEV);
            r.mac = call.code == TREL_GET_NIC_ID ? b->nic_id : b->host_mac;
            return 0;
        }
        case TREL_SET_NAME:
        case TREL_RESET_NAME:
        case TREL_RESET_ALL_NAMES:
            return 0;
        case TREL_GET_NAME:
            return driver_failure(QEL_ENOENT);  // no name stored
        case TREL_GET_SERIAL: {
            if (!fits(sizeof(SerialRecord))) return driver_failure(QEL_EINVAL);
            auto &r = call.as<SerialRecord>();
            const BoardSpec *b = board_of_record(r.board);
            if (!b || r.buffer == 0) return driver_failure(b ? QEL_EINVAL : QEL_ENODEV);
            std::snprintf(reinterpret_cast<char *>(static_cast<uintptr_t>(r.buffer)), 30, "%s",
                          b->serial.c_str());
            return 0;
        }
        default:
            break;
    }

    if (endpoint_number < 0) return driver_failure(QEL_EINVAL);
    Endpoint &ep = endpoint(board_number, static_cast<uint32_t>(endpoint_number));
    switch (call.code) {
        case TREL_OPEN_ENDPT:
            if (!fits(sizeof(OpenEndpointRecord))) return driver_failure(QEL_EINVAL);
            if (ep.attached) return driver_failure(QEL_EBUSY);
            ep.attached = true;
            // A fresh attach starts with clean regions and the firmware at the ring's start.
            for (int i = 0; i < kRegionCount; ++i) {
                if (ep.regions.base[i]) std::memset(ep.regions.base[i], 0, ep.regions.length[i]);
            }
            ep.regions.write_offset = 0;
            ep.regions.next_tag = shm::kFirstTag;
            return 0;
        case TREL_ENABLE_ENDPT:
        case TREL_SET_EXT_ID:
        case TREL_FILTER_OP:
        case TREL_UNPIN_BUF:
        case TREL_QUEUE_BUF:
        case TREL_DROP_PACKET:
            return 0;
        case TREL_GET_ENDPT_MAPS: {
            if (!fits(sizeof(EndpointMapsRecord))) return driver_failure(QEL_EINVAL);
            auto &maps = call.as<EndpointMapsRecord>();
            for (int i = 0; i < kRegionCount; ++i) {
                region_place(maps, i) =
                    RegionPlace{static_cast<uint32_t>(i) * EndpointRegions::kRegionOffsetStep,
                                ep.regions.length[i]};
            }
            return 0;
        }
        case TREL_MMAP: {
            if (!fits(sizeof(MmapRecord))) return driver_failure(QEL_EINVAL);
            auto &r = call.as<MmapRecord>();
            uint32_t region = r.offset / EndpointRegions::kRegionOffsetStep;
            if (r.offset % EndpointRegions::kRegionOffsetStep != 0 || region >= kRegionCount ||
                r.length > ep.regions.length[region]) {
                return driver_failure(QEL_EINVAL);
            }
            r.address = reinterpret_cast<uintptr_t>(ep.regions.base[region]);
            return 0;
        }
        case TREL_PIN_BUF: {
            if (!fits(sizeof(PinRecord))) return driver_failure(QEL_EINVAL);
            call.as<PinRecord>().index = next_buffer_index_++;
            return 0;
        }
        case TREL_WAIT_DESC:
            return driver_failure(QEL_ETIMEDOUT);
        default:
            return driver_failure(QEL_ENOSYS);
    }
}

}  // namespace qel::test
