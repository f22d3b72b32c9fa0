#include "wire_helpers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace camsim_test {

Bytes hex(const std::string &text) {
    std::string digits;
    for (const char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) digits += c;
    }
    if (digits.size() % 2 != 0 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != digits.npos) {
        throw std::invalid_argument("not hex: " + text);
    }
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string to_hex(std::span<const uint8_t> bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", bytes[i]);
        out += b;
    }
    return out;
}

uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t be32(const uint8_t *p) {
    return uint32_t{be16(p)} << 16 | be16(p + 2);
}
uint64_t be64(const uint8_t *p) {
    return uint64_t{be32(p)} << 32 | be32(p + 4);
}

UdpSocket::UdpSocket() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    const int bytes = 16 << 20;
    if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        throw std::runtime_error("bind");
    }
    socklen_t length = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length);
    port_ = ntohs(a.sin_port);
}

UdpSocket::~UdpSocket() {
    if (fd_ >= 0) close(fd_);
}

std::optional<Bytes> UdpSocket::receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes buffer(70000);
    const ssize_t n = recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

std::vector<Bytes> UdpSocket::drain(std::chrono::milliseconds quiet) {
    std::vector<Bytes> out;
    while (auto d = receive(quiet)) out.push_back(std::move(*d));
    return out;
}

std::vector<Bytes> UdpSocket::receive_count(size_t count, std::chrono::milliseconds timeout) {
    std::vector<Bytes> out;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        auto d = receive(left);
        if (!d) break;
        out.push_back(std::move(*d));
    }
    return out;
}

bool UdpSocket::send_to(uint16_t port, std::span<const uint8_t> bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<Packet> read_packet(std::span<const uint8_t> d) {
    if (d.size() < 8) return std::nullopt;
    Packet p;
    p.status = be16(d.data());
    p.extended = (d[4] & 0x80) != 0;
    p.format = d[4] & 0x0F;
    if (p.extended) {
        if (d.size() < 20) return std::nullopt;
        p.flags = be16(d.data() + 2);
        p.block_id = be64(d.data() + 8);
        p.packet_id = be32(d.data() + 16);
        p.body.assign(d.begin() + 20, d.end());
    } else {
        p.block_id = be16(d.data() + 2);
        p.packet_id = uint32_t{d[5]} << 16 | uint32_t{d[6]} << 8 | d[7];
        p.body.assign(d.begin() + 8, d.end());
    }
    return p;
}

PcapWriter::PcapWriter(const std::string &path) : out_(path, std::ios::binary) {
    const uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 101};
    out_.write(reinterpret_cast<const char *>(header), sizeof header);
}

void PcapWriter::add(uint16_t source_port, uint16_t dest_port, std::span<const uint8_t> payload) {
    // IPv4 from 127.0.0.1 to 127.0.0.1, TTL 64, UDP; lengths and checksum filled in below.
    Bytes ip = hex("45000000 00000000 40110000 7f000001 7f000001 00000000 00000000");
    const auto put16 = [&](size_t at, size_t value) {
        ip[at] = static_cast<uint8_t>(value >> 8);
        ip[at + 1] = static_cast<uint8_t>(value);
    };
    put16(2, ip.size() + payload.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += be16(&ip[i]);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    put16(10, ~sum & 0xFFFF);
    put16(20, source_port);
    put16(22, dest_port);
    put16(24, 8 + payload.size());
    ip.insert(ip.end(), payload.begin(), payload.end());
    add_ip(ip);
}

void PcapWriter::add_ip(std::span<const uint8_t> packet) {
    const uint32_t record[] = {1, ++count_, static_cast<uint32_t>(packet.size()),
                               static_cast<uint32_t>(packet.size())};
    out_.write(reinterpret_cast<const char *>(record), sizeof record);
    out_.write(reinterpret_cast<const char *>(packet.data()), static_cast<long>(packet.size()));
}

bool have_tshark() {
    // A look along PATH: starting tshark just to ask costs a second or two.
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && access((dir + "/tshark").c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::vector<Decoded> tshark_fields(const std::string &path, const std::string &options,
                                   std::span<const char *const> fields) {
    std::string command = "tshark -r " + path + " " + options + " -T fields -E separator='|'";
    for (const char *f : fields) command += std::string(" -e ") + f;
    command += " 2>/dev/null";
    std::vector<Decoded> out;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::string text;
    char buffer[65536];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        Decoded d;
        size_t start = 0;
        for (const char *f : fields) {
            const size_t bar = line.find('|', start);
            d[f] = line.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            start = bar == std::string::npos ? line.size() : bar + 1;
        }
        out.push_back(std::move(d));
    }
    return out;
}

long long number(const Decoded &d, const char *field) {
    const auto found = d.find(field);
    if (found == d.end() || found->second.empty()) return -1;
    return static_cast<long long>(std::strtoull(found->second.c_str(), nullptr, 0));
}

}  // namespace camsim_test
