#include "recv/checks.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qel::recv_tool {

std::string check_save_dir(const std::string &dir) {
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error) {
        if (error == std::errc::permission_denied || error == std::errc::read_only_file_system ||
            error == std::errc::operation_not_permitted) {
            return "--save: no permission to create " + dir;
        }
        return "--save: cannot create " + dir + ": " + error.message();
    }
    if (!std::filesystem::is_directory(dir, error)) return "--save: " + dir + " is not a directory";
    // The one sure test: write a file there (access() would answer for the real user id, and
    // says nothing of read-only mounts).
    std::string probe = dir + "/.qel-recv-XXXXXX";
    const int fd = mkstemp(probe.data());
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM || e == EROFS) {
            return "--save: no permission to write into " + dir;
        }
        return "--save: cannot write into " + dir + ": " + std::strerror(e);
    }
    close(fd);
    unlink(probe.c_str());
    return {};
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

}  // namespace qel::recv_tool
