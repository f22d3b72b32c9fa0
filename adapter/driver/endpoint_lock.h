// Cross-process ownership of one endpoint: a lock file per board interface and endpoint,
// locked with flock. The kernel drops the lock when the holder closes it or dies (even by
// SIGKILL), so a crashed process never keeps an endpoint. The lock belongs to the open file, so
// a child forked (without exec) while the endpoint is held holds it too until it exits.
//
// Endpoints are each user's own: the locks lie in the user's private run folder, so every user
// sees a whole board of free endpoints, and no user can hold or block another's. (A machine-
// wide set would need lock files in a folder every user may write, where one user could plant
// or hold the others' files.) What users do share is the network: a unicast address and port
// receives for one stream only, so a second stream on it, of any user, fails with busy (16)
// when its filter is added (its first queued buffer). Multicast groups may be received by
// many streams.
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
    // when any handle of any process of this user holds it (flock locks of separate opens
    // conflict even within one process), 13 when the run folder or the lock file cannot be
    // used (said on standard error), 22 for a bad interface name.
    int acquire(const std::string &interface, uint32_t endpoint);
    void release();
    bool held() const { return fd_ >= 0; }

    // The lock file's path for that endpoint under the run directory.
    static std::string path_of(const std::string &interface, uint32_t endpoint);

private:
    int fd_ = -1;
};

}  // namespace qel::adapter
