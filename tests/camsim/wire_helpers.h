// Helpers of the simulator's tests (and of the end-to-end tests): a UDP socket on loopback, a
// GVSP reader written apart from the simulator's writer, hex text, and pcap files that tshark
// decodes.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_order.h"

namespace camsim_test {

using Bytes = std::vector<uint8_t>;

Bytes hex(const std::string &text);

// A UDP socket bound to 127.0.0.1 on a free port, with a large receive buffer.
class UdpSocket {
public:
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    [[nodiscard]] uint16_t port() const { return port_; }
    // The next datagram, or none when nothing arrived within `timeout`.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout);
    bool send_to(uint16_t port, std::span<const uint8_t> bytes);  // to 127.0.0.1:port

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A pcap file of raw IPv4 packets (link type 101), for tshark to read.
class PcapWriter {
public:
    explicit PcapWriter(const std::string &path);
    // A UDP datagram from 127.0.0.1:source_port to 127.0.0.1:dest_port carrying `payload`.
    void add(uint16_t source_port, uint16_t dest_port, std::span<const uint8_t> payload);
    void add_ip(std::span<const uint8_t> packet);  // a whole IPv4 packet as captured
    void close() { out_.close(); }

private:
    std::ofstream out_;
    uint32_t count_ = 0;
};

bool have_tshark();

// One packet as tshark decoded it: field name to the text tshark printed (empty when absent).
using Decoded = std::map<std::string, std::string>;

// Runs tshark over a pcap file with `options` (decode-as rules, say): the fields of every
// packet, in file order.
std::vector<Decoded> tshark_fields(const std::string &path, const std::string &options,
                                   std::span<const char *const> fields);

// A decoded number, whether tshark shows it in decimal or hex; -1 when absent.
long long number(const Decoded &d, const char *field);

}  // namespace camsim_test
