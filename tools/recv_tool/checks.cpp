#include "recv_tool/checks.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

}  // namespace qel::recv_tool
