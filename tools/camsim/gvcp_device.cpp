#include "camsim/gvcp_device.h"

#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "camsim/resend_command.h"
#include "core/byte_order.h"

namespace qel::camsim {

namespace {

// A command's data is at most 540 bytes; a READMEM asks for at most 536 bytes, a READREG
// or WRITEREG names at most 135 addresses or 67 address-value pairs.
constexpr uint32_t kMaxMemoryAccess = 536;
constexpr size_t kMaxRegisterReads = 135;
constexpr size_t kMaxRegisterWrites = 67;

// Version 1.2 of the protocol; big-endian registers, a transmitter, UTF-8 strings.
constexpr uint32_t kVersion = 0x00010002;
constexpr uint32_t kDeviceMode = 0x80000001;
// Persistent IP, DHCP and link-local offered; the address is a persistent one.
constexpr uint32_t kIpConfigOptions = 0x00000007;
constexpr uint32_t kIpConfigCurrent = 0x00000001;
// User-defined name, serial number, WRITEMEM, PACKETRESEND and several reads in one READREG.
constexpr uint32_t kGvcpCapability = 0x80000000 | 0x40000000 | 0x4 | 0x2 | 0x1;

bool aligned(uint32_t value) {
    return value % 4 == 0;
}

uint32_t pixel_bytes(uint32_t pixel_format) {
    return bytes_per_pixel(static_cast<PixelFormat>(pixel_format));
}

uint32_t ipv4_of(const std::string &text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

std::string ipv4_text(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

}  // namespace

GvcpDevice::GvcpDevice(const Config &base, DeviceIdentity identity, uint32_t address,
                       StreamControl &stream)
    : base_(base), stream_(stream) {
    const std::string xml = genicam_xml(identity);
    xml_size_ = static_cast<uint32_t>(xml.size());
    memory_.assign(kXmlAddress + (xml_size_ + 3) / 4 * 4, 0);
    std::memcpy(memory_.data() + kXmlAddress, xml.data(), xml.size());

    set_reg(kRegVersion, kVersion);
    set_reg(kRegDeviceMode, kDeviceMode);
    set_reg(kRegMacHigh, uint32_t{identity.mac[0]} << 8 | identity.mac[1]);
    set_reg(kRegMacLow, load_be32(identity.mac.data() + 2));
    set_reg(kRegIpConfigOptions, kIpConfigOptions);
    set_reg(kRegIpConfigCurrent, kIpConfigCurrent);
    set_reg(kRegCurrentIp, address);
    set_reg(kRegSubnetMask, 0xFF000000);
    set_string(kRegManufacturerName, 32, identity.vendor);
    set_string(kRegModelName, 32, identity.model);
    set_string(kRegDeviceVersion, 32, identity.version);
    set_string(kRegSerialNumber, 16, identity.serial);
    set_string(kRegUserName, 16, identity.user_name);
    set_string(kRegFirstUrl, 512, "Local:camsim.xml;" + hex(kXmlAddress) + ";" + hex(xml_size_));
    set_reg(kRegInterfaceCount, 1);
    set_reg(kRegStreamChannelCount, 1);
    set_reg(kRegGvcpCapability, kGvcpCapability);
    set_reg(kRegHeartbeatTimeout, kDefaultHeartbeatMs);

    set_reg(kRegStreamPort, base.dest_port);
    set_reg(kRegStreamPacketSize, base.packet_size);
    set_reg(kRegStreamDestination, ipv4_of(base.dest_address));
    set_reg(kFeatureWidth, base.width);
    set_reg(kFeatureHeight, base.height);
    set_reg(kFeaturePixelFormat, static_cast<uint32_t>(base.pixel_format));
    const double rate = base.frame_rate > 0 ? base.frame_rate : kDefaultDeviceFrameRate;
    set_reg(kFeatureFrameRate, std::bit_cast<uint32_t>(static_cast<float>(rate)));
    update_payload_size();
}

uint32_t GvcpDevice::reg(uint32_t address) const {
    return load_be32(memory_.data() + address);
}

void GvcpDevice::set_reg(uint32_t address, uint32_t value) {
    store_be32(memory_.data() + address, value);
}

void GvcpDevice::set_string(uint32_t address, size_t size, const std::string &text) {
    // Always NUL-terminated within its field.
    const size_t length = std::min(text.size(), size - 1);
    std::memset(memory_.data() + address, 0, size);
    std::memcpy(memory_.data() + address, text.data(), length);
}

void GvcpDevice::update_payload_size() {
    const uint64_t size =
        uint64_t{reg(kFeatureWidth)} * reg(kFeatureHeight) * pixel_bytes(reg(kFeaturePixelFormat));
    set_reg(kFeaturePayloadSize, static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX)));
}

Config GvcpDevice::stream_config() const {
    Config c = base_;
    c.listen = false;  // the device serves the control port itself
    c.payload = PayloadKind::image;
    c.dest_address = ipv4_text(reg(kRegStreamDestination));
    c.dest_port = static_cast<uint16_t>(reg(kRegStreamPort));
    c.packet_size = reg(kRegStreamPacketSize) & 0xFFFF;
    c.width = reg(kFeatureWidth);
    c.height = reg(kFeatureHeight);
    c.pixel_format = static_cast<PixelFormat>(reg(kFeaturePixelFormat));
    c.frame_rate = std::bit_cast<float>(reg(kFeatureFrameRate));
    // A camera streams from its own address: receivers match the stream by its source.
    if (c.source_address.empty() && ipv4_of(c.control_address) != 0) {
        c.source_address = c.control_address;
    }
    return c;
}

bool GvcpDevice::read_memory(uint32_t address, std::span<uint8_t> out) const {
    if (address > memory_.size() || out.size() > memory_.size() - address) return false;
    std::memcpy(out.data(), memory_.data() + address, out.size());
    return true;
}

std::optional<DeviceClock::time_point> GvcpDevice::heartbeat_deadline() const {
    if (!controller_) return std::nullopt;
    return last_heard_ + std::chrono::milliseconds(reg(kRegHeartbeatTimeout));
}

bool GvcpDevice::expire(DeviceClock::time_point now) {
    const auto deadline = heartbeat_deadline();
    if (!deadline || now <= *deadline) return false;
    release_control();
    return true;
}

void GvcpDevice::release_control() {
    // Nobody is left to stop a stream that a vanished controller started.
    stop_acquisition();
    controller_.reset();
    set_reg(kRegPrivilege, 0);
}

uint16_t GvcpDevice::start_acquisition() {
    if (acquiring_) return kGvcpSuccess;
    const Config config = stream_config();
    if (reg(kRegStreamDestination) == 0 || config.dest_port == 0) return kGvcpInvalidParameter;
    if (!stream_.start(config).empty()) return kGvcpInvalidParameter;
    acquiring_ = true;
    return kGvcpSuccess;
}

void GvcpDevice::stop_acquisition() {
    if (!acquiring_) return;
    stream_.stop();
    acquiring_ = false;
}

std::vector<uint8_t> GvcpDevice::handle(std::span<const uint8_t> datagram, Peer from,
                                        DeviceClock::time_point now) {
    if (datagram.size() < kGvcpHeaderSize || datagram[0] != kGvcpKey) return {};
    const uint8_t flags = datagram[1];
    const uint16_t command = load_be16(datagram.data() + 2);
    const uint16_t length = load_be16(datagram.data() + 4);
    const uint16_t request_id = load_be16(datagram.data() + 6);
    if (command == kPacketResendCommand) {
        // Receivers ask from their own sockets, controller or not; the stream checks the rest.
        if (acquiring_) stream_.resend(datagram);
        return {};
    }
    expire(now);
    if (controller_ && *controller_ == from) last_heard_ = now;

    uint16_t status = kGvcpSuccess;
    std::vector<uint8_t> body;
    if (datagram.size() - kGvcpHeaderSize < length) {
        status = kGvcpInvalidParameter;
    } else {
        const std::span<const uint8_t> payload = datagram.subspan(kGvcpHeaderSize, length);
        // Another client's exclusive control shuts out even reads.
        const bool shut_out = controller_ && !(*controller_ == from) &&
                              (reg(kRegPrivilege) & kPrivilegeExclusive) != 0;
        switch (command) {
            case kDiscoveryCommand:
                body.assign(memory_.begin(), memory_.begin() + kDiscoveryAckSize);
                break;
            case kReadRegCommand:
                if (shut_out) {
                    status = kGvcpAccessDenied;
                } else {
                    body = handle_read_registers(payload, &status);
                }
                break;
            case kWriteRegCommand:
                body = handle_write_registers(payload, from, now, &status);
                break;
            case kReadMemCommand:
                if (shut_out) {
                    status = kGvcpAccessDenied;
                } else {
                    body = handle_read_memory(payload, &status);
                }
                break;
            case kWriteMemCommand:
                body = handle_write_memory(payload, from, now, &status);
                break;
            default:
                status = kGvcpNotImplemented;
                break;
        }
    }
    // Discovery is always answered; other commands when they ask for it.
    if (command != kDiscoveryCommand && (flags & kGvcpFlagAcknowledge) == 0) return {};
    std::vector<uint8_t> ack(kGvcpHeaderSize + body.size());
    store_be16(ack.data(), status);
    store_be16(ack.data() + 2, static_cast<uint16_t>(command + 1));
    store_be16(ack.data() + 4, static_cast<uint16_t>(body.size()));
    store_be16(ack.data() + 6, request_id);
    std::copy(body.begin(), body.end(), ack.begin() + kGvcpHeaderSize);
    return ack;
}

std::vector<uint8_t> GvcpDevice::handle_read_registers(std::span<const uint8_t> payload,
                                                       uint16_t *status) const {
    std::vector<uint8_t> body;
    const size_t count = payload.size() / 4;
    if (payload.size() % 4 != 0 || count == 0 || count > kMaxRegisterReads) {
        *status = kGvcpInvalidParameter;
        return body;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint32_t address = load_be32(payload.data() + 4 * i);
        if (!aligned(address)) {
            *status = kGvcpBadAlignment;
            break;
        }
        uint8_t value[4];
        if (!read_memory(address, value)) {
            *status = kGvcpInvalidAddress;
            break;
        }
        body.insert(body.end(), value, value + 4);
    }
    return body;
}

std::vector<uint8_t> GvcpDevice::handle_write_registers(std::span<const uint8_t> payload, Peer from,
                                                        DeviceClock::time_point now,
                                                        uint16_t *status) {
    const size_t count = payload.size() / 8;
    uint16_t done = 0;
    if (payload.size() % 8 != 0 || count == 0 || count > kMaxRegisterWrites) {
        *status = kGvcpInvalidParameter;
    } else {
        for (size_t i = 0; i < count; ++i) {
            *status = write_register(load_be32(payload.data() + 8 * i),
                                     load_be32(payload.data() + 8 * i + 4), from, now);
            if (*status != kGvcpSuccess) break;
            ++done;
        }
    }
    std::vector<uint8_t> body(4, 0);
    store_be16(body.data() + 2, done);
    return body;
}

std::vector<uint8_t> GvcpDevice::handle_read_memory(std::span<const uint8_t> payload,
                                                    uint16_t *status) const {
    std::vector<uint8_t> body;
    if (payload.size() < 8) {
        *status = kGvcpInvalidParameter;
        return body;
    }
    const uint32_t address = load_be32(payload.data());
    const uint16_t count = load_be16(payload.data() + 6);
    if (!aligned(address) || !aligned(count)) {
        *status = kGvcpBadAlignment;
        return body;
    }
    if (count == 0 || count > kMaxMemoryAccess) {
        *status = kGvcpInvalidParameter;
        return body;
    }
    body.resize(4 + count);
    if (!read_memory(address, {body.data() + 4, count})) {
        *status = kGvcpInvalidAddress;
        body.clear();
        return body;
    }
    store_be32(body.data(), address);
    return body;
}

std::vector<uint8_t> GvcpDevice::handle_write_memory(std::span<const uint8_t> payload, Peer from,
                                                     DeviceClock::time_point now,
                                                     uint16_t *status) {
    uint16_t done = 0;
    const size_t count = payload.size() < 4 ? 0 : payload.size() - 4;
    const uint32_t address = count == 0 ? 0 : load_be32(payload.data());
    if (count == 0 || count > kMaxMemoryAccess) {
        *status = kGvcpInvalidParameter;
    } else if (!aligned(address) || !aligned(static_cast<uint32_t>(count))) {
        *status = kGvcpBadAlignment;
    } else if (controller_ && !(*controller_ == from)) {
        *status = kGvcpAccessDenied;
    } else if (address >= kRegUserName && address + count <= kRegUserName + 16) {
        // The user-defined name is the one string a client may change; it stays terminated.
        std::memcpy(memory_.data() + address, payload.data() + 4, count);
        memory_[kRegUserName + 15] = 0;
        done = static_cast<uint16_t>(count);
    } else {
        // Anything else is written a register at a time, with each register's rules.
        for (size_t i = 0; i < count; i += 4) {
            *status = write_register(static_cast<uint32_t>(address + i),
                                     load_be32(payload.data() + 4 + i), from, now);
            if (*status != kGvcpSuccess) break;
            done = static_cast<uint16_t>(done + 4);
        }
    }
    std::vector<uint8_t> body(4, 0);
    store_be16(body.data() + 2, done);
    return body;
}

uint16_t GvcpDevice::write_register(uint32_t address, uint32_t value, Peer from,
                                    DeviceClock::time_point now) {
    if (!aligned(address)) return kGvcpBadAlignment;
    const bool controls = controller_ && *controller_ == from;
    if (address == kRegPrivilege) {
        if ((controller_ && !controls) || base_.refuse_control) return kGvcpAccessDenied;
        const uint32_t privilege =
            value & (kPrivilegeExclusive | kPrivilegeControl | kPrivilegeSwitchover);
        if ((privilege & (kPrivilegeExclusive | kPrivilegeControl)) == 0) {
            if (controls) release_control();
            return kGvcpSuccess;
        }
        controller_ = from;
        last_heard_ = now;
        set_reg(kRegPrivilege, privilege);
        return kGvcpSuccess;
    }
    // While a client holds control, only it writes.
    if (controller_ && !controls) return kGvcpAccessDenied;
    switch (address) {
        case kRegHeartbeatTimeout:
            set_reg(address, std::max(value, kMinHeartbeatMs));
            return kGvcpSuccess;
        case kRegStreamPort:
            set_reg(address, value & 0xFFFF);
            return kGvcpSuccess;
        case kRegStreamPacketSize: {
            const uint32_t size = value & 0xFFFF;
            if (size < kMinPacketSize) return kGvcpInvalidParameter;
            set_reg(address, value & (kPacketSizeDoNotFragment | 0xFFFF));
            if ((value & kPacketSizeFireTest) != 0) {
                stream_.send_test_packet(stream_config(), size - kIpUdpHeaderSize);
            }
            return kGvcpSuccess;
        }
        case kRegStreamPacketDelay:
        case kRegStreamDestination:
        case kRegStreamConfig:
            set_reg(address, value);
            return kGvcpSuccess;
        default:
            break;
    }
    if (address >= kFeatureWidth && address < kFeatureEnd) return write_feature(address, value);
    return address < memory_.size() ? kGvcpWriteProtect : kGvcpInvalidAddress;
}

uint16_t GvcpDevice::write_feature(uint32_t address, uint32_t value) {
    // The image cannot change under a running stream, nor once the client locked it.
    const bool locked = acquiring_ || reg(kFeatureParamsLocked) != 0;
    switch (address) {
        case kFeatureWidth:
        case kFeatureHeight:
            if (locked) return kGvcpWriteProtect;
            if (value == 0 || value > kMaxImageSideDevice) return kGvcpInvalidParameter;
            set_reg(address, value);
            update_payload_size();
            return kGvcpSuccess;
        case kFeaturePixelFormat:
            if (locked) return kGvcpWriteProtect;
            if (pixel_bytes(value) == 0) return kGvcpInvalidParameter;
            set_reg(address, value);
            update_payload_size();
            return kGvcpSuccess;
        case kFeatureAcquisitionStart:
            return start_acquisition();
        case kFeatureAcquisitionStop:
            stop_acquisition();
            return kGvcpSuccess;
        case kFeatureFrameRate: {
            const float rate = std::bit_cast<float>(value);
            if (!std::isfinite(rate) || rate <= 0 || rate > kMaxDeviceFrameRate) {
                return kGvcpInvalidParameter;
            }
            set_reg(address, value);
            return kGvcpSuccess;
        }
        case kFeatureParamsLocked:
            if (value > 1) return kGvcpInvalidParameter;
            set_reg(address, value);
            return kGvcpSuccess;
        case kFeatureAcquisitionMode:
            // Continuous is the only mode.
            return value == 0 ? kGvcpSuccess : kGvcpInvalidParameter;
        default:
            return kGvcpWriteProtect;
    }
}

}  // namespace qel::camsim
