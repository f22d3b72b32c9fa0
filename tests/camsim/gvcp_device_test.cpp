// The simulator's GigE Vision control side, command by command, with the time given: what a
// client reads and writes, who may write, and when control lapses.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "camsim/gvcp_device.h"
#include "camsim/resend_command.h"
#include "core/byte_order.h"

namespace qel::camsim {
namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Records what the device asks of its stream.
struct Recorder final : StreamControl {
    std::string start(const Config &config) override {
        started.push_back(config);
        return refuse;
    }
    void stop() override { ++stops; }
    void resend(std::span<const uint8_t> datagram) override {
        resent.emplace_back(datagram.begin(), datagram.end());
    }
    void send_test_packet(const Config &, uint32_t udp_bytes) override {
        test_packets.push_back(udp_bytes);
    }
    std::string refuse;
    std::vector<Config> started;
    int stops = 0;
    std::vector<Bytes> resent;
    std::vector<uint32_t> test_packets;
};

constexpr Peer kA{0x7F000001, 40000};
constexpr Peer kB{0x7F000001, 40001};

Bytes command(uint16_t code, const Bytes &payload, uint8_t flags = kGvcpFlagAcknowledge) {
    Bytes d(kGvcpHeaderSize + payload.size());
    d[0] = kGvcpKey;
    d[1] = flags;
    store_be16(d.data() + 2, code);
    store_be16(d.data() + 4, static_cast<uint16_t>(payload.size()));
    store_be16(d.data() + 6, 0x1234);
    std::copy(payload.begin(), payload.end(), d.begin() + kGvcpHeaderSize);
    return d;
}

Bytes words(std::initializer_list<uint32_t> values) {
    Bytes b;
    for (const uint32_t v : values) {
        b.resize(b.size() + 4);
        store_be32(b.data() + b.size() - 4, v);
    }
    return b;
}

struct Ack {
    uint16_t status = 0xFFFF;
    uint16_t answer = 0;
    Bytes body;
};

class DeviceTest : public ::testing::Test {
protected:
    DeviceTest() : device(base(), DeviceIdentity{}, 0x7F000001, stream) {}

    static Config base() {
        Config c;
        c.width = 64;
        c.height = 48;
        return c;
    }

    Ack send(const Bytes &datagram, Peer from = kA) {
        const Bytes reply = device.handle(datagram, from, now);
        Ack ack;
        if (reply.size() < kGvcpHeaderSize) return ack;
        EXPECT_EQ(load_be16(reply.data() + 4), reply.size() - kGvcpHeaderSize);
        EXPECT_EQ(load_be16(reply.data() + 6), 0x1234);
        ack.status = load_be16(reply.data());
        ack.answer = load_be16(reply.data() + 2);
        ack.body.assign(reply.begin() + kGvcpHeaderSize, reply.end());
        return ack;
    }
    uint16_t write(uint32_t address, uint32_t value, Peer from = kA) {
        return send(command(kWriteRegCommand, words({address, value})), from).status;
    }
    uint32_t read(uint32_t address, Peer from = kA) {
        const Ack ack = send(command(kReadRegCommand, words({address})), from);
        EXPECT_EQ(ack.status, kGvcpSuccess);
        return ack.body.size() == 4 ? load_be32(ack.body.data()) : 0xDEADBEEF;
    }
    Bytes read_memory(uint32_t address, uint16_t count) {
        const Ack ack = send(command(kReadMemCommand, words({address, count})));
        EXPECT_EQ(ack.status, kGvcpSuccess);
        EXPECT_EQ(ack.body.size(), 4u + count);
        if (ack.body.size() != 4u + count) return {};
        EXPECT_EQ(load_be32(ack.body.data()), address);
        return {ack.body.begin() + 4, ack.body.end()};
    }

    Recorder stream;
    GvcpDevice device;
    DeviceClock::time_point now{};
};

std::string text_of(const Bytes &b, size_t offset, size_t size) {
    const char *p = reinterpret_cast<const char *>(b.data() + offset);
    return {p, strnlen(p, size)};
}

TEST_F(DeviceTest, DiscoveryAnswersWithTheDeviceDescription) {
    // Broadcast discovery asks with flags 0x11; the ack comes whatever the flags.
    for (const uint8_t flags : {uint8_t{0x11}, uint8_t{0x01}, uint8_t{0x00}}) {
        const Ack ack = send(command(kDiscoveryCommand, {}, flags), kB);
        ASSERT_EQ(ack.status, kGvcpSuccess);
        EXPECT_EQ(ack.answer, kDiscoveryCommand + 1);
        ASSERT_EQ(ack.body.size(), kDiscoveryAckSize);
        const uint8_t *b = ack.body.data();
        EXPECT_EQ(load_be32(b + kRegVersion), 0x00010002u);
        EXPECT_EQ(load_be32(b + kRegDeviceMode) >> 31, 1u);  // big-endian registers
        EXPECT_EQ(load_be32(b + kRegMacHigh), 0x0271u);
        EXPECT_EQ(load_be32(b + kRegMacLow), 0x656c0001u);
        EXPECT_NE(load_be32(b + kRegIpConfigCurrent), 0u);
        EXPECT_EQ(load_be32(b + kRegCurrentIp), 0x7F000001u);
        EXPECT_EQ(text_of(ack.body, kRegManufacturerName, 32), "qel");
        EXPECT_EQ(text_of(ack.body, kRegModelName, 32), "camsim");
        EXPECT_EQ(text_of(ack.body, kRegSerialNumber, 16), "CS0001");
    }
}

// The first URL names the description in device memory, which reads back whole.
TEST_F(DeviceTest, TheFirstUrlLeadsToTheGenicamDescription) {
    const std::string url = text_of(read_memory(kRegFirstUrl, 512), 0, 512);
    unsigned address = 0, size = 0;
    ASSERT_EQ(std::sscanf(url.c_str(), "Local:camsim.xml;%x;%x", &address, &size), 2) << url;
    EXPECT_EQ(address, kXmlAddress);
    std::string xml;
    for (unsigned offset = 0; offset < size; offset += 512) {
        const auto count = static_cast<uint16_t>(std::min(512u, (size - offset + 3) / 4 * 4));
        const Bytes part = read_memory(address + offset, count);
        xml.append(part.begin(), part.end());
    }
    xml.resize(size);
    EXPECT_EQ(xml, genicam_xml(DeviceIdentity{}));
    for (const char *feature :
         {"Width", "Height", "PixelFormat", "PayloadSize", "AcquisitionStart", "AcquisitionStop",
          "AcquisitionFrameRate", "GevSCPSPacketSize", "GevSCDA", "GevSCPHostPort",
          "TLParamsLocked", "DeviceVendorName", "DeviceModelName", "DeviceSerialNumber"}) {
        EXPECT_NE(xml.find("Name=\"" + std::string(feature) + "\""), std::string::npos) << feature;
    }
}

// Malformed or unknown commands get an error status, never a crash or a silent success.
TEST_F(DeviceTest, BadCommandsAreRefusedWithTheirStatus) {
    struct Case {
        const char *what;
        Bytes datagram;
        uint16_t status;
    };
    Bytes short_length = command(kReadRegCommand, words({kRegVersion}));
    store_be16(short_length.data() + 4, 8);  // announces more than it carries
    const Case cases[] = {
        {"unknown command", command(0x0100, {}), kGvcpNotImplemented},
        {"length beyond the datagram", short_length, kGvcpInvalidParameter},
        {"no register", command(kReadRegCommand, {}), kGvcpInvalidParameter},
        {"unaligned register", command(kReadRegCommand, words({0x0002})), kGvcpBadAlignment},
        {"register outside memory", command(kReadRegCommand, words({0x7FFFFFF0})),
         kGvcpInvalidAddress},
        {"write of half a pair", command(kWriteRegCommand, words({kRegStreamPort})),
         kGvcpInvalidParameter},
        {"write of a read-only register", command(kWriteRegCommand, words({kRegVersion, 1})),
         kGvcpWriteProtect},
        {"write of PayloadSize", command(kWriteRegCommand, words({kFeaturePayloadSize, 1})),
         kGvcpWriteProtect},
        {"memory read of 0 bytes", command(kReadMemCommand, words({0, 0})), kGvcpInvalidParameter},
        {"memory read too long", command(kReadMemCommand, words({0, 540})), kGvcpInvalidParameter},
        {"memory read unaligned", command(kReadMemCommand, words({0, 6})), kGvcpBadAlignment},
        {"memory read past the end", command(kReadMemCommand, words({0x7FFFFF00, 16})),
         kGvcpInvalidAddress},
        {"width 0", command(kWriteRegCommand, words({kFeatureWidth, 0})), kGvcpInvalidParameter},
        {"unknown pixel format", command(kWriteRegCommand, words({kFeaturePixelFormat, 7})),
         kGvcpInvalidParameter},
        {"packet size too small", command(kWriteRegCommand, words({kRegStreamPacketSize, 91})),
         kGvcpInvalidParameter},
        {"frame rate NaN", command(kWriteRegCommand, words({kFeatureFrameRate, 0x7FC00000})),
         kGvcpInvalidParameter},
        {"no stream destination",
         command(kWriteRegCommand, words({kRegStreamDestination, 0, kFeatureAcquisitionStart, 1})),
         kGvcpInvalidParameter},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(send(c.datagram).status, c.status) << c.what;
    }
    EXPECT_TRUE(stream.started.empty());
    // No answer where none is asked for, nor to what is not GVCP.
    EXPECT_TRUE(device.handle(command(kReadRegCommand, words({0}), 0), kA, now).empty());
    EXPECT_TRUE(device.handle(Bytes{0x43, 1, 0, 0x80, 0, 0, 0, 1}, kA, now).empty());
    EXPECT_TRUE(device.handle(Bytes{0x42, 1}, kA, now).empty());
}

// What the client writes is what the next acquisition streams; the image stays as it is
// while the stream runs.
TEST_F(DeviceTest, RegistersSetTheStreamThatAcquisitionStarts) {
    ASSERT_EQ(write(kRegPrivilege, kPrivilegeControl), kGvcpSuccess);
    const Ack several =
        send(command(kWriteRegCommand,
                     words({kRegStreamDestination, 0x7F000002, kRegStreamPort, 0xFFFF0000 | 51000,
                            kRegStreamPacketSize, kPacketSizeDoNotFragment | 1500, kFeatureWidth,
                            320, kFeatureHeight, 200, kFeaturePixelFormat, 0x02180014,
                            kFeatureFrameRate, std::bit_cast<uint32_t>(12.5F)})));
    ASSERT_EQ(several.status, kGvcpSuccess);
    EXPECT_EQ(load_be16(several.body.data() + 2), 7);  // writes done
    EXPECT_EQ(read(kFeaturePayloadSize), 320u * 200 * 3);
    EXPECT_EQ(read(kRegStreamPort), 51000u);
    EXPECT_EQ(read(kRegStreamPacketSize), kPacketSizeDoNotFragment | 1500);
    // Firing a test packet sends one of the size set, its IP and UDP headers left out.
    ASSERT_EQ(write(kRegStreamPacketSize, kPacketSizeFireTest | 1500), kGvcpSuccess);
    EXPECT_EQ(stream.test_packets, std::vector<uint32_t>{1472});

    ASSERT_EQ(write(kFeatureAcquisitionStart, 1), kGvcpSuccess);
    ASSERT_EQ(stream.started.size(), 1u);
    const Config &c = stream.started[0];
    EXPECT_EQ(c.dest_address, "127.0.0.2");
    EXPECT_EQ(c.dest_port, 51000);
    EXPECT_EQ(c.packet_size, 1500u);
    EXPECT_EQ(c.width, 320u);
    EXPECT_EQ(c.height, 200u);
    EXPECT_EQ(c.pixel_format, PixelFormat::rgb8);
    EXPECT_DOUBLE_EQ(c.frame_rate, 12.5);
    EXPECT_FALSE(c.listen);
    EXPECT_EQ(c.source_address, "");  // the device listens on every address
    EXPECT_TRUE(device.acquiring());
    EXPECT_EQ(write(kFeatureWidth, 640), kGvcpWriteProtect);
    // Resend requests go to the stream, from whichever peer they come.
    const Bytes resend = command(kPacketResendCommand, words({0, 1, 2}), 0);
    EXPECT_TRUE(device.handle(resend, kB, now).empty());
    EXPECT_EQ(stream.resent, std::vector<Bytes>{resend});

    ASSERT_EQ(write(kFeatureAcquisitionStop, 1), kGvcpSuccess);
    EXPECT_EQ(stream.stops, 1);
    EXPECT_FALSE(device.acquiring());
    EXPECT_EQ(write(kFeatureWidth, 640), kGvcpSuccess);
    // Locked parameters stay as they are even while stopped.
    ASSERT_EQ(write(kFeatureParamsLocked, 1), kGvcpSuccess);
    EXPECT_EQ(write(kFeatureHeight, 10), kGvcpWriteProtect);
    // A stream that cannot start is a failed command.
    ASSERT_EQ(write(kFeatureParamsLocked, 0), kGvcpSuccess);
    stream.refuse = "no";
    EXPECT_EQ(write(kFeatureAcquisitionStart, 1), kGvcpInvalidParameter);
    EXPECT_FALSE(device.acquiring());
}

// One controller at a time: the others may read but not write, until it gives control back
// or its heartbeat lapses, which also stops its stream.
TEST_F(DeviceTest, OneControllerUntilItLetsGoOrFallsSilent) {
    ASSERT_EQ(write(kRegStreamDestination, 0x7F000001), kGvcpSuccess);
    ASSERT_EQ(write(kRegPrivilege, kPrivilegeControl), kGvcpSuccess);
    EXPECT_EQ(read(kRegPrivilege, kB), kPrivilegeControl);
    EXPECT_EQ(write(kRegPrivilege, kPrivilegeControl, kB), kGvcpAccessDenied);
    EXPECT_EQ(write(kFeatureWidth, 32, kB), kGvcpAccessDenied);
    EXPECT_EQ(send(command(kWriteMemCommand, words({kRegUserName, 0x41424300})), kB).status,
              kGvcpAccessDenied);
    // Given back, another takes it.
    ASSERT_EQ(write(kRegPrivilege, 0), kGvcpSuccess);
    ASSERT_EQ(write(kRegPrivilege, kPrivilegeExclusive, kB), kGvcpSuccess);
    // Exclusive control shuts the others out of reading too.
    EXPECT_EQ(send(command(kReadRegCommand, words({kRegVersion}))).status, kGvcpAccessDenied);
    ASSERT_EQ(write(kRegPrivilege, 0, kB), kGvcpSuccess);

    // The heartbeat: timeouts under the floor are raised to it.
    ASSERT_EQ(write(kRegPrivilege, kPrivilegeControl), kGvcpSuccess);
    ASSERT_EQ(write(kRegHeartbeatTimeout, 100), kGvcpSuccess);
    EXPECT_EQ(read(kRegHeartbeatTimeout), kMinHeartbeatMs);
    ASSERT_EQ(write(kFeatureAcquisitionStart, 1), kGvcpSuccess);
    const auto timeout = std::chrono::milliseconds(kMinHeartbeatMs);
    now += timeout - 1ms;
    EXPECT_EQ(read(kRegPrivilege), kPrivilegeControl);  // any command keeps control alive
    now += timeout;
    EXPECT_FALSE(device.expire(now));
    EXPECT_EQ(write(kRegPrivilege, kPrivilegeControl, kB), kGvcpAccessDenied);
    EXPECT_EQ(device.heartbeat_deadline(), now);
    now += 1ms;
    EXPECT_TRUE(device.expire(now));
    EXPECT_FALSE(device.controller().has_value());
    EXPECT_FALSE(device.acquiring());
    EXPECT_EQ(stream.stops, 1);
    EXPECT_EQ(write(kRegPrivilege, kPrivilegeControl, kB), kGvcpSuccess);
    EXPECT_EQ(device.controller(), kB);
}

// The user-defined name is the one string a client writes, through WRITEMEM.
TEST_F(DeviceTest, WriteMemorySetsTheUserNameAndRegisters) {
    Ack ack = send(command(kWriteMemCommand, words({kRegUserName, 0x6c696e65, 0x2d340000})));
    ASSERT_EQ(ack.status, kGvcpSuccess);
    EXPECT_EQ(load_be16(ack.body.data() + 2), 8);
    EXPECT_EQ(text_of(read_memory(kRegUserName, 16), 0, 16), "line-4");
    ack = send(command(kWriteMemCommand, words({kFeatureWidth, 100, 60})));
    ASSERT_EQ(ack.status, kGvcpSuccess);
    EXPECT_EQ(read(kFeaturePayloadSize), 6000u);
    EXPECT_EQ(send(command(kWriteMemCommand, words({kRegModelName, 0}))).status, kGvcpWriteProtect);
}

}  // namespace
}  // namespace qel::camsim
