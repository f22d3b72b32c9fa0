#include "private_netns.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qel::test {

namespace {

constexpr int kUnavailable = 77;
constexpr int kFailed = 1;

}  // namespace

NetnsResult run_in_private_netns(const std::function<void()> &body) {
    std::fflush(nullptr);  // nothing buffered is written twice
    const pid_t child = fork();
    if (child < 0) return NetnsResult::failed;
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "unshare(CLONE_NEWNET): %s\n", std::strerror(errno));
            _exit(kUnavailable);
        }
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? kFailed : 0);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return NetnsResult::failed;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return NetnsResult::passed;
    if (WIFEXITED(status) && WEXITSTATUS(status) == kUnavailable) return NetnsResult::unavailable;
    return NetnsResult::failed;
}

bool shell(const std::string &command) {
    const int status = std::system(command.c_str());
    if (status != 0) std::fprintf(stderr, "command failed (%d): %s\n", status, command.c_str());
    return status == 0;
}

uint64_t interface_mac(const std::string &name) {
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) return 0;
    ifreq request{};
    std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name.c_str());
    uint64_t mac = 0;
    if (ioctl(s, SIOCGIFHWADDR, &request) == 0) {
        for (int i = 0; i < 6; ++i) {
            mac = (mac << 8) | static_cast<uint8_t>(request.ifr_hwaddr.sa_data[i]);
        }
    }
    close(s);
    return mac;
}

}  // namespace qel::test
