// Tests on real interfaces, each in a private network namespace of its own: the body runs in
// a forked child that unshares its network namespace, so veth pairs and addresses made there
// vanish with it and never touch the machine's own interfaces.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

namespace qel::test {

enum class NetnsResult { passed, failed, unavailable };

// Runs `body` in a child process inside a fresh network namespace. `unavailable` when the
// namespace cannot be made (no privilege); the child's gtest failures are printed by the child
// and make the result `failed`.
NetnsResult run_in_private_netns(const std::function<void()> &body);

// Runs a shell command (iproute2's `ip`, in the child's namespace); true on exit status 0.
bool shell(const std::string &command);

// The MAC address of an interface as the kernel's SIOCGIFHWADDR gives it, 48 bits, first
// octet most significant.
uint64_t interface_mac(const std::string &name);

}  // namespace qel::test

// The body of a test that needs its own network namespace.
#define IN_PRIVATE_NETNS(...)                                                                 \
    do {                                                                                      \
        switch (::qel::test::run_in_private_netns(__VA_ARGS__)) {                             \
            case ::qel::test::NetnsResult::passed:                                            \
                break;                                                                        \
            case ::qel::test::NetnsResult::failed:                                            \
                ADD_FAILURE() << "the test body failed inside its network namespace (above)"; \
                break;                                                                        \
            case ::qel::test::NetnsResult::unavailable:                                       \
                GTEST_SKIP() << "cannot create a private network namespace "                  \
                                "(unshare(CLONE_NEWNET) needs root or CAP_SYS_ADMIN)";        \
        }                                                                                     \
    } while (0)
