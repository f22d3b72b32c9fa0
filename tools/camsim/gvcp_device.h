// The simulator's GigE Vision control side: discovery, register and memory access, control
// privilege and heartbeat, as a client such as Aravis sees them on the control port. This is
// the protocol and the device's memory only; it owns no socket and no thread, and takes the
// time as an argument, so that every rule can be driven step by step. The stream itself is
// started and stopped through StreamControl.
//
// Memory of the device, all big-endian:
//   0x00000  bootstrap registers and strings (version, MAC, IP, names, first URL, privilege,
//            heartbeat timeout, stream channel 0 port, packet size and destination)
//   0x10000  the camera's own registers, named by the GenICam description (kFeature*)
//   0x20000  the GenICam description itself, which the first URL names
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "camsim/camsim.h"

namespace qel::camsim {

using DeviceClock = std::chrono::steady_clock;

// GVCP commands and acknowledges.
inline constexpr uint16_t kDiscoveryCommand = 0x0002;
inline constexpr uint16_t kReadRegCommand = 0x0080;
inline constexpr uint16_t kWriteRegCommand = 0x0082;
inline constexpr uint16_t kReadMemCommand = 0x0084;
inline constexpr uint16_t kWriteMemCommand = 0x0086;
// GVCP status codes.
inline constexpr uint16_t kGvcpSuccess = 0x0000;
inline constexpr uint16_t kGvcpNotImplemented = 0x8001;
inline constexpr uint16_t kGvcpInvalidParameter = 0x8002;
inline constexpr uint16_t kGvcpInvalidAddress = 0x8003;
inline constexpr uint16_t kGvcpWriteProtect = 0x8004;
inline constexpr uint16_t kGvcpBadAlignment = 0x8005;
inline constexpr uint16_t kGvcpAccessDenied = 0x8006;

// Bootstrap registers.
inline constexpr uint32_t kRegVersion = 0x0000;
inline constexpr uint32_t kRegDeviceMode = 0x0004;
inline constexpr uint32_t kRegMacHigh = 0x0008;
inline constexpr uint32_t kRegMacLow = 0x000C;
inline constexpr uint32_t kRegIpConfigOptions = 0x0010;
inline constexpr uint32_t kRegIpConfigCurrent = 0x0014;
inline constexpr uint32_t kRegCurrentIp = 0x0024;
inline constexpr uint32_t kRegSubnetMask = 0x0034;
inline constexpr uint32_t kRegManufacturerName = 0x0048;  // 32 bytes
inline constexpr uint32_t kRegModelName = 0x0068;         // 32 bytes
inline constexpr uint32_t kRegDeviceVersion = 0x0088;     // 32 bytes
inline constexpr uint32_t kRegSerialNumber = 0x00D8;      // 16 bytes
inline constexpr uint32_t kRegUserName = 0x00E8;          // 16 bytes
inline constexpr uint32_t kDiscoveryAckSize = 0x00F8;     // the ack carries 0x0000 to here
inline constexpr uint32_t kRegFirstUrl = 0x0200;          // 512 bytes
inline constexpr uint32_t kRegSecondUrl = 0x0400;         // 512 bytes
inline constexpr uint32_t kRegInterfaceCount = 0x0600;
inline constexpr uint32_t kRegMessageChannelCount = 0x0900;
inline constexpr uint32_t kRegStreamChannelCount = 0x0904;
inline constexpr uint32_t kRegGvcpCapability = 0x0934;
inline constexpr uint32_t kRegHeartbeatTimeout = 0x0938;
inline constexpr uint32_t kRegPrivilege = 0x0A00;
inline constexpr uint32_t kRegStreamPort = 0x0D00;
inline constexpr uint32_t kRegStreamPacketSize = 0x0D04;
inline constexpr uint32_t kRegStreamPacketDelay = 0x0D08;
inline constexpr uint32_t kRegStreamDestination = 0x0D18;
inline constexpr uint32_t kRegStreamSourcePort = 0x0D1C;
inline constexpr uint32_t kRegStreamCapability = 0x0D20;
inline constexpr uint32_t kRegStreamConfig = 0x0D24;
inline constexpr uint32_t kBootstrapSize = 0x10000;

// Control channel privilege bits.
inline constexpr uint32_t kPrivilegeExclusive = 0x1;
inline constexpr uint32_t kPrivilegeControl = 0x2;
inline constexpr uint32_t kPrivilegeSwitchover = 0x4;
// Stream channel packet size bits besides the size.
inline constexpr uint32_t kPacketSizeFireTest = 0x80000000;
inline constexpr uint32_t kPacketSizeDoNotFragment = 0x40000000;

// The camera's own registers.
inline constexpr uint32_t kFeatureWidth = 0x10000;
inline constexpr uint32_t kFeatureHeight = 0x10004;
inline constexpr uint32_t kFeaturePixelFormat = 0x10008;
inline constexpr uint32_t kFeaturePayloadSize = 0x1000C;
inline constexpr uint32_t kFeatureAcquisitionStart = 0x10010;
inline constexpr uint32_t kFeatureAcquisitionStop = 0x10014;
inline constexpr uint32_t kFeatureFrameRate = 0x10018;  // IEEE 754 single precision
inline constexpr uint32_t kFeatureParamsLocked = 0x1001C;
inline constexpr uint32_t kFeatureAcquisitionMode = 0x10020;
inline constexpr uint32_t kFeatureEnd = 0x10100;
inline constexpr uint32_t kXmlAddress = 0x20000;
inline constexpr uint32_t kMaxImageSideDevice = 16384;

inline constexpr uint32_t kDefaultHeartbeatMs = 3000;
// Shorter timeouts are raised to this: a controller must have time to send its heartbeat.
inline constexpr uint32_t kMinHeartbeatMs = 500;
inline constexpr double kDefaultDeviceFrameRate = 30;
inline constexpr double kMaxDeviceFrameRate = 10000;

// What the device says about itself in discovery and in its bootstrap strings.
struct DeviceIdentity {
    std::string vendor = "qel";
    std::string model = "camsim";
    std::string version = "1";
    std::string serial = "CS0001";
    std::string user_name;
    // A locally administered address: no real adapter carries it.
    std::array<uint8_t, 6> mac = {0x02, 0x71, 0x65, 0x6c, 0x00, 0x01};
};

// An IPv4 peer, host byte order.
struct Peer {
    uint32_t address = 0;
    uint16_t port = 0;
    bool operator==(const Peer &) const = default;
};

// How the device starts and stops its stream; the device server implements it with a
// simulator, the tests with a recorder.
class StreamControl {
public:
    virtual ~StreamControl() = default;
    // Starts streaming with `config`; an empty text on success, else why not.
    virtual std::string start(const Config &config) = 0;
    virtual void stop() = 0;
    // A PACKETRESEND command for the running stream.
    virtual void resend(std::span<const uint8_t> datagram) = 0;
    // Sends one test packet of `udp_bytes` to the stream destination in `config`.
    virtual void send_test_packet(const Config &config, uint32_t udp_bytes) = 0;
};

// The GenICam description of the device's features.
[[nodiscard]] std::string genicam_xml(const DeviceIdentity &identity);

class GvcpDevice {
public:
    // `base` gives the stream's settings before any client changes them (its destination,
    // image geometry, pixel format, packet size and frame rate) and everything a client does
    // not set (faults, history, pacing). `address` is the device's current IPv4 address.
    GvcpDevice(const Config &base, DeviceIdentity identity, uint32_t address,
               StreamControl &stream);

    // Handles one datagram from `from`; returns the acknowledge to send back to it (empty:
    // none). Every field is checked; what is not a command the device knows is answered
    // with an error status when it asks for an answer, else dropped.
    std::vector<uint8_t> handle(std::span<const uint8_t> datagram, Peer from,
                                DeviceClock::time_point now);
    // Ends control (and the stream) when the controller's heartbeat lapsed by `now`; true
    // when it did.
    bool expire(DeviceClock::time_point now);
    // When control lapses if the controller says nothing more (none without a controller).
    [[nodiscard]] std::optional<DeviceClock::time_point> heartbeat_deadline() const;

    // The address discovery reports, for a device that learns it only from a peer's route.
    void set_current_address(uint32_t address) { set_reg(kRegCurrentIp, address); }

    [[nodiscard]] std::optional<Peer> controller() const { return controller_; }
    [[nodiscard]] bool acquiring() const { return acquiring_; }
    // The stream settings the next acquisition starts with.
    [[nodiscard]] Config stream_config() const;
    // The device's memory at [address, address + out.size()): false when outside it.
    bool read_memory(uint32_t address, std::span<uint8_t> out) const;

private:
    uint16_t write_register(uint32_t address, uint32_t value, Peer from,
                            DeviceClock::time_point now);
    uint16_t write_feature(uint32_t address, uint32_t value);
    uint16_t start_acquisition();
    void stop_acquisition();
    void release_control();
    [[nodiscard]] uint32_t reg(uint32_t address) const;
    void set_reg(uint32_t address, uint32_t value);
    void set_string(uint32_t address, size_t size, const std::string &text);
    void update_payload_size();

    std::vector<uint8_t> handle_read_registers(std::span<const uint8_t> payload,
                                               uint16_t *status) const;
    std::vector<uint8_t> handle_write_registers(std::span<const uint8_t> payload, Peer from,
                                                DeviceClock::time_point now, uint16_t *status);
    std::vector<uint8_t> handle_read_memory(std::span<const uint8_t> payload,
                                            uint16_t *status) const;
    std::vector<uint8_t> handle_write_memory(std::span<const uint8_t> payload, Peer from,
                                             DeviceClock::time_point now, uint16_t *status);

    Config base_;
    StreamControl &stream_;
    std::vector<uint8_t> memory_;  // bootstrap, the camera's registers and the description
    uint32_t xml_size_ = 0;
    std::optional<Peer> controller_;
    DeviceClock::time_point last_heard_{};
    bool acquiring_ = false;
};

}  // namespace qel::camsim
