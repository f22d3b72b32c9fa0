#include "adapter/driver/endpoint_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "adapter/driver/settings.h"
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

namespace {

// Named by interface, not board number: two processes may number their boards differently
// (QEL_ADAPTER_IFACES), but an interface is the same board for both.
std::string lock_name(const std::string &interface, uint32_t endpoint) {
    return interface + ".e" + std::to_string(endpoint) + ".lock";
}

}  // namespace

std::string EndpointLock::path_of(const std::string &interface, uint32_t endpoint) {
    return run_dir() + "/" + lock_name(interface, endpoint);
}

int EndpointLock::acquire(const std::string &interface, uint32_t endpoint) {
    if (held()) return QEL_EBUSY;
    // Interface names never hold '/', but a board list read from the host is still checked
    // before it becomes part of a path.
    if (interface.empty() || interface.find('/') != std::string::npos || interface == "." ||
        interface == "..") {
        return QEL_EINVAL;
    }
    const files::Opened folder = open_private_dir(run_dir(), "endpoint locks");
    if (!folder) return QEL_EACCES;
    const files::Opened file =
        files::open_file(folder.fd, lock_name(interface, endpoint), O_RDWR, 0600);
    ::close(folder.fd);
    if (!file) {
        std::fprintf(stderr, "qel software adapter: cannot use the endpoint lock in %s: %s\n",
                     run_dir().c_str(), file.problem.c_str());
        return QEL_EACCES;
    }
    const int fd = file.fd;
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
