// Helpers of the simulator's tests (and of the end-to-end tests): a UDP socket that receives
// what the simulator sends, a GVSP reader written apart from the simulator's writer, byte-text
// conversions, and pcap files decoded by tshark.
#pragma once

#include <chrono>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace camsim_test {

using Bytes = std::vector<uint8_t>;

// "42 00 00 40" -> bytes; spaces and line breaks are ignored.
Bytes hex(const std::string &text);
std::string to_hex(std::span<const uint8_t> bytes);

// A UDP socket bound to 127.0.0.1 on a free port, with a large receive buffer.
class UdpSocket {
public:
    UdpSocket();
    // A socket that joined multicast group `group` on the loopback interface, bound to the
    // group on a free port; valid() is false where the host does not allow that.
    explicit UdpSocket(const std::string &group);
    ~UdpSocket();
    [[nodiscard]] bool valid() const { return fd_ >= 0 && port_ != 0; }
    UdpSocket(const UdpSocket &) = delete;
    UdpSocket &operator=(const UdpSocket &) = delete;

    [[nodiscard]] uint16_t port() const { return port_; }
    // The next datagram, or none when nothing arrived within `timeout`.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout);
    // Every datagram until none arrived for `quiet`.
    std::vector<Bytes> drain(std::chrono::milliseconds quiet);
    // Up to `count` datagrams, waiting at most `timeout` in all.
    std::vector<Bytes> receive_count(size_t count, std::chrono::milliseconds timeout);
    // Sends `bytes` to 127.0.0.1:`port`.
    bool send_to(uint16_t port, std::span<const uint8_t> bytes);

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// One GVSP packet as the tests read it.
struct Packet {
    uint16_t status = 0;
    uint16_t flags = 0;
    bool extended = false;
    uint8_t format = 0;
    uint64_t block_id = 0;
    uint32_t packet_id = 0;
    Bytes body;  // everything after the header
};

std::optional<Packet> read_packet(std::span<const uint8_t> datagram);

uint16_t be16(const uint8_t *p);
uint32_t be32(const uint8_t *p);
uint64_t be64(const uint8_t *p);

// Blocks put together from packets, payload packets placed by packet id at
// (id - 1) x data_per_packet.
struct Block {
    bool leader = false;
    bool trailer = false;
    Bytes leader_body;
    Bytes trailer_body;
    Bytes payload;
    std::vector<bool> have;  // payload packets seen, by id - 1
    uint32_t payload_packets = 0;
    [[nodiscard]] bool complete() const;
};

class Reassembler {
public:
    explicit Reassembler(uint32_t data_per_packet) : data_per_packet_(data_per_packet) {}
    // Adds a packet; false when it does not fit what was seen of its block.
    bool add(const Packet &packet);
    std::optional<Block> block(uint64_t block_id) const;
    [[nodiscard]] size_t blocks() const { return blocks_.size(); }

private:
    uint32_t data_per_packet_;
    std::vector<std::pair<uint64_t, Block>> blocks_;
    Block &find(uint64_t block_id);
};

// A pcap file of raw IPv4 packets (link type 101), for tshark to read.
class PcapWriter {
public:
    explicit PcapWriter(const std::string &path);
    // A UDP datagram from 127.0.0.1:source_port to 127.0.0.1:dest_port carrying `payload`.
    void add(uint16_t source_port, uint16_t dest_port, std::span<const uint8_t> payload);
    // A whole IPv4 packet as captured.
    void add_ip(std::span<const uint8_t> packet);
    void close() { out_.close(); }

private:
    std::ofstream out_;
    uint32_t count_ = 0;
};

bool have_tshark();

// One packet as tshark decoded it: field name to the text tshark printed (empty when absent).
using Decoded = std::map<std::string, std::string>;

// Runs tshark over a pcap file with `options` (decode-as rules, say) and returns the fields of
// every packet, in file order.
std::vector<Decoded> tshark_fields(const std::string &path, const std::string &options,
                                   std::span<const char *const> fields);

// A decoded number, whether tshark shows it in decimal or hex; -1 when absent.
long long number(const Decoded &d, const char *field);

}  // namespace camsim_test
