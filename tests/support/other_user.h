// A second local user for the tests of what one user may do to another: files and folders
// handed to it (chown), and children that run as it. Only root can do either; every such test
// begins with QEL_NEED_ROOT() and is skipped elsewhere (CI runs the tests as root).
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace qel::test {

// A user and group id that no account on a test machine has.
inline constexpr uid_t kOtherUid = 61043;
inline constexpr gid_t kOtherGid = 61043;

// Makes `path` (a link itself, not what it points to) belong to the other user.
void give_to_other_user(const std::string &path);

// In a forked child: drops every privilege and becomes the other user for good. False when
// that fails.
bool become_other_user();

// Writes `text` to a new file `path`.
void write_text(const std::string &path, const std::string &text);
// The whole text of `path`; empty when it cannot be read.
std::string read_text(const std::string &path);

}  // namespace qel::test

#define QEL_NEED_ROOT()                                                           \
    do {                                                                          \
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user"; \
    } while (0)
