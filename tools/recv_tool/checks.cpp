#include "recv_tool/checks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qel::recv_tool {

std::string check_save_dir(const std::string &dir, files::Folder kind) {
    const files::Opened folder = files::open_folder(dir, kind);
    if (!folder) {
        if (folder.error == EACCES || folder.error == EPERM || folder.error == EROFS) {
            return "refused: " + folder.problem;
        }
        return "cannot use " + folder.problem;
    }
    // The one sure test: make a file there (access() would answer for the real user id, and
    // says nothing of read-only mounts). It has no name, so it leaves nothing behind.
    const int probe = openat(folder.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    const int e = errno;
    close(folder.fd);
    if (probe >= 0) {
        close(probe);
        return {};
    }
    if (e == EACCES || e == EPERM || e == EROFS) return "no permission to write into " + dir;
    // File systems without unnamed files: the first image will tell.
    if (e == EOPNOTSUPP || e == EISDIR) return {};
    return "cannot write into " + dir + ": " + std::strerror(e);
}

std::string check_port(const std::string &address, uint16_t port) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return {};
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    const int rc = bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where);
    const int e = errno;
    close(fd);
    if (rc == 0) return {};
    const std::string place = "port " + std::to_string(port) + " on " + address;
    if (e == EADDRINUSE) return place + " is in use";
    if (e == EACCES || e == EPERM) {
        return "no permission to receive on " + place +
               (port < 1024 ? " (ports below 1024 need root or CAP_NET_BIND_SERVICE)" : "");
    }
    return {};
}

uint16_t free_port(const std::string &address) {
    sockaddr_in where{};
    where.sin_family = AF_INET;
    if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return 0;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    socklen_t size = sizeof where;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr *>(&where), &size) == 0;
    close(fd);
    return bound ? ntohs(where.sin_port) : 0;
}

std::string check_receive_buffer() {
    // The adapter's own bounds on the setting.
    constexpr unsigned long long kDefault = 64 << 20, kMin = 4096, kMax = 1 << 30;
    unsigned long long wanted = kDefault;
    if (const char *text = std::getenv("QEL_ADAPTER_RCVBUF"); text != nullptr && *text != 0) {
        char *end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(text, &end, 10);
        if (errno == 0 && *end == 0) wanted = std::clamp(value, kMin, kMax);
    }
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    const int asked = static_cast<int>(wanted);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &asked, sizeof asked) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &asked, sizeof asked);
    }
    int granted = 0;
    socklen_t size = sizeof granted;
    const int rc = getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
    close(fd);
    // The kernel reports twice what it set aside for data (the rest is for its bookkeeping).
    const unsigned long long obtained = static_cast<unsigned long long>(granted) / 2;
    if (rc != 0 || obtained >= wanted) return {};
    return "the socket receive buffer is " + std::to_string(obtained) + " bytes, not the " +
           std::to_string(wanted) +
           " asked for: bursts may lose packets. Raise the limit (sysctl -w "
           "net.core.rmem_max=" +
           std::to_string(wanted) +
           "), run with CAP_NET_ADMIN, or ask for less with QEL_ADAPTER_RCVBUF";
}

}  // namespace qel::recv_tool
