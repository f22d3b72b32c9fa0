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
    Bytes out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
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

bool UdpSocket::send_to(uint16_t port, std::span<const uint8_t> bytes) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&a), sizeof a) ==
           static_cast<ssize_t>(bytes.size());
}

PcapWriter::PcapWriter(const std::string &path) : out_(path, std::ios::binary) {
    const uint32_t header[] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 101};
    out_.write(reinterpret_cast<const char *>(header), sizeof header);
}

void PcapWriter::add(uint16_t source_port, uint16_t dest_port, std::span<const uint8_t> payload) {
    // IPv4 from 127.0.0.1 to 127.0.0.1, TTL 64, UDP; lengths and checksum filled in below.
    Bytes ip = hex("45000000 00000000 40110000 7f000001 7f000001 00000000 00000000");
    const auto put16 = [&](size_t at, size_t value) {
        qel::store_be16(&ip[at], static_cast<uint16_t>(value));
    };
    put16(2, ip.size() + payload.size());
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += qel::load_be16(&ip[i]);
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
    // Looked up along PATH: starting tshark just to ask costs a second or two.
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
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
        std::istringstream values(line);
        for (const char *f : fields) std::getline(values, d[f], '|');  // empty past the end
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
