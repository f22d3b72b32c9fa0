#include "adapter/endpoint_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "adapter/settings.h"
#include "qel.h"

namespace qel::adapter {

EndpointLock &EndpointLock::operator=(EndpointLock &&other) noexcept {
    if (this != &other) {
        release();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

std::string EndpointLock::path_of(const std::string &interface, uint32_t endpoint) {
    // Named by interface, not board number: two processes may number their boards differently
    // (QEL_ADAPTER_IFACES), but an interface is the same board for both.
    return run_dir() + "/" + interface + ".e" + std::to_string(endpoint) + ".lock";
}

int EndpointLock::acquire(const std::string &interface, uint32_t endpoint) {
    if (held()) return QEL_EBUSY;
    // Interface names never hold '/', but a board list read from the host is still checked
    // before it becomes part of a path.
    if (interface.empty() || interface.find('/') != std::string::npos || interface == "." ||
        interface == "..") {
        return QEL_EINVAL;
    }
    if (int rc = make_private_dir(run_dir()); rc != 0) return rc;
    std::string path = path_of(interface, endpoint);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return errno == EACCES ? QEL_EACCES : QEL_EINVAL;
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        ::close(fd);
        return error == EWOULDBLOCK ? QEL_EBUSY : QEL_EINVAL;
    }
    // The file stays behind when released: removing it could race with another process that
    // has just opened it and would then lock an unlinked file.
    fd_ = fd;
    return 0;
}

void EndpointLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);  // drops the flock
        fd_ = -1;
    }
}

}  // namespace qel::adapter
