// The scripted adapter: a device host whose every answer a test controls. While one exists it
// is the library's device host; its destructor puts the software adapter back.
//
//   qel::test::ScriptedAdapter adapter;
//   adapter.add_board(0);                                  // control, raw and endpoint devices
//   adapter.fail(TREL_GET_VERSION, QEL_EBUSY);             // the driver refuses with 16
//   adapter.on(TREL_GET_ENDPT_MAX, [](auto &call) { call.word() = 2; return 0u; });
//   ... exercise the library ...
//   EXPECT_EQ(adapter.count(TREL_GET_VERSION), 1u);
//   EXPECT_EQ(adapter.commands_with(TREL_FILTER_OP)[0].input, expected_bytes);
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/driver.h"
#include "core/shared_memory.h"
#include "hux/device_host.h"

namespace qel::test {

// A device name as hux_open formats it.
std::string control_name(uint32_t board);         // "\\.\trel<board>\p"
std::string legacy_control_name(uint32_t board);  // "\\.\trel<board>"
std::string raw_name(uint32_t board);
std::string endpoint_name(uint32_t board, uint32_t endpoint);

// One command as the adapter received it.
struct Command {
    std::string device;  // name of the device the handle was opened on
    uint32_t code = 0;
    uint32_t length = 0;
    std::vector<uint8_t> input;  // the record's bytes as sent

    template <typename Record>
    Record as() const {
        Record r{};
        std::memcpy(&r, input.data(), std::min(sizeof r, input.size()));
        return r;
    }
};

// A command being answered: the live record, which a handler may read and write.
struct Call {
    std::string device;
    uint32_t code;
    void *record;
    uint32_t length;

    template <typename Record>
    Record &as() {
        return *static_cast<Record *>(record);
    }
    uint32_t &word() { return as<driver::WordRecord>().value; }
};

// What a board answers by default.
struct BoardSpec {
    uint32_t driver_api = 0x0100;  // TREL_GET_VERSION: major in bits 8-31, minor in 0-7
    std::string driver_version = "scripted 1.0";
    std::string driver_build = "scripted build";
    uint32_t info = 0;  // TREL_GET_BOARD_INFO
    uint64_t nic_id = 0;
    uint64_t host_mac = 0;
    uint32_t endpoints = 4;
    uint32_t link = 1;
    uint32_t timesource = 2;
    std::string serial = "SCRIPTED0";
    bool legacy_control_name = false;  // the control device has only the name without "\p"
};

// The six shared-memory regions of one endpoint, page-aligned, owned by the adapter.
struct EndpointRegions {
    static constexpr uint32_t kRegionOffsetStep = 0x100000;
    uint32_t length[driver::kRegionCount] = {};
    uint8_t *base[driver::kRegionCount] = {};
    // Where the next descriptor goes and the tag it carries (1 to 15, then 1 again).
    uint32_t write_offset = 0;
    uint8_t next_tag = shm::kFirstTag;
};

class ScriptedAdapter final : public hux::DeviceHost {
public:
    using Handler = std::function<uint32_t(Call &)>;  // returns 0 or a host error value

    ScriptedAdapter();
    ~ScriptedAdapter() override;
    ScriptedAdapter(const ScriptedAdapter &) = delete;
    ScriptedAdapter &operator=(const ScriptedAdapter &) = delete;

    // Devices. A board brings its control, raw and endpoint devices and default answers to
    // every command; boards are counted by TREL_GET_NUM_BOARDS.
    void add_board(uint32_t board, BoardSpec spec = {});
    BoardSpec &board(uint32_t board);
    void add_device(const std::string &name);
    // Opening `name` fails with this host error value (see driver.h: a driver code with
    // kHostDriverCodeBit, kHostPathNotFound, or any other host failure).
    void refuse_open(const std::string &name, uint32_t host_error);
    void refuse_open_with_code(const std::string &name, int driver_code) {
        refuse_open(name, driver::host_error_of_driver_code(static_cast<uint32_t>(driver_code)));
    }

    // Answers. `on` replaces the default answer of a command; `fail` makes it fail with the
    // driver's own code (the next `times` calls, or every call when times < 0).
    void on(uint32_t code, Handler handler);
    void fail(uint32_t code, int driver_code, int times = -1);
    void fail_host(uint32_t code, uint32_t host_error, int times = -1);

    // What the adapter received.
    std::vector<Command> commands() const;
    std::vector<Command> commands_with(uint32_t code) const;
    size_t count(uint32_t code) const;
    size_t command_count() const;
    void clear_commands();
    std::vector<std::string> open_attempts() const;  // every name asked for, in order
    size_t open_handles() const;

    // Endpoint regions (allocated when the endpoint device is first opened).
    EndpointRegions &regions(uint32_t board, uint32_t endpoint);
    // Writes a 64-byte descriptor into the endpoint's ring at the firmware's write position
    // with the next tag in the low 4 bits of byte 63, the tag byte stored last with release
    // order; advances the write position and the tag.
    void post_descriptor(uint32_t board, uint32_t endpoint, const uint8_t (&descriptor)[64]);
    void post_descriptor(uint32_t board, uint32_t endpoint, const std::array<uint8_t, 64> &d) {
        post_descriptor(board, endpoint, *reinterpret_cast<const uint8_t(*)[64]>(d.data()));
    }

    // hux::DeviceHost
    uint32_t open(const char *name, uint64_t *handle) noexcept override;
    uint32_t control(uint64_t handle, uint32_t code, void *record,
                     uint32_t length) noexcept override;
    void close(uint64_t handle) noexcept override;

private:
    struct Failure {
        uint32_t host_error;
        int times;
    };
    struct Endpoint;

    uint32_t default_answer(Call &call, uint32_t board, int endpoint);
    Endpoint &endpoint(uint32_t board, uint32_t endpoint);

    mutable std::recursive_mutex mutex_;
    std::map<uint32_t, BoardSpec> boards_;
    std::set<std::string> devices_;
    std::map<std::string, uint32_t> refusals_;
    std::map<uint32_t, Handler> handlers_;
    std::map<uint32_t, Failure> failures_;
    std::vector<Command> commands_;
    std::vector<std::string> open_attempts_;
    std::map<uint64_t, std::string> handles_;
    uint64_t next_handle_ = 0x100;
    std::map<std::pair<uint32_t, uint32_t>, std::unique_ptr<Endpoint>> endpoints_;
    uint32_t next_buffer_index_ = 1;
};

}  // namespace qel::test
