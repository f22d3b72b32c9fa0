// Cross-process ownership of one endpoint: a lock file per board interface and endpoint,
// locked with flock. The kernel drops the lock when the holder closes it or dies (even by
// SIGKILL), so a crashed process never keeps an endpoint. The lock belongs to the open file, so
// a child forked (without exec) while the endpoint is held holds it too until it exits.
#pragma once

#include <cstdint>
#include <string>

namespace qel::adapter {

class EndpointLock {
public:
    EndpointLock() = default;
    ~EndpointLock() { release(); }
    EndpointLock(EndpointLock &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    EndpointLock &operator=(EndpointLock &&other) noexcept;
    EndpointLock(const EndpointLock &) = delete;
    EndpointLock &operator=(const EndpointLock &) = delete;

    // Takes the endpoint `endpoint` of the board on host interface `interface`. Returns 0, 16
    // when any handle of any process holds it (flock locks of separate opens conflict even
    // within one process), or 13/22 when the lock file cannot be made.
    int acquire(const std::string &interface, uint32_t endpoint);
    void release();
    bool held() const { return fd_ >= 0; }

    // The lock file's path for that endpoint under the run directory.
    static std::string path_of(const std::string &interface, uint32_t endpoint);

private:
    int fd_ = -1;
};

}  // namespace qel::adapter
