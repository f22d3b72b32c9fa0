// The socket forwarders: the host's results and errors, unchanged, over loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "hux.h"

namespace qel::test {
namespace {

TEST(Sockets, ClosesocketWorksBeforeAnythingElse) {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    EXPECT_EQ(hux_closesocket(s), 0);
    EXPECT_EQ(fcntl(s, F_GETFD), -1);  // really closed
    errno = 0;
    EXPECT_EQ(hux_closesocket(s), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Sockets, AForwarderCalledFirstReachesTheHost) {
    sockaddr_in any{};
    any.sin_family = AF_INET;
    errno = 0;
    EXPECT_EQ(hux_bind(-1, reinterpret_cast<sockaddr *>(&any), sizeof any), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Sockets, ADatagramGoesRoundTheLoopback) {
    const int s = hux_socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(s, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(hux_bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ASSERT_EQ(hux_getsockname(s, reinterpret_cast<sockaddr *>(&local), &length), 0);
    EXPECT_NE(local.sin_port, 0);

    const int wanted = 1 << 16;
    ASSERT_EQ(hux_setsockopt(s, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted), 0);
    int got = 0;
    length = sizeof got;
    ASSERT_EQ(hux_getsockopt(s, SOL_SOCKET, SO_RCVBUF, &got, &length), 0);
    EXPECT_GE(got, wanted);  // the host doubles what it is asked for

    const char message[] = "qel";
    ASSERT_EQ(hux_sendto(s, message, sizeof message, 0, reinterpret_cast<sockaddr *>(&local),
                         sizeof local),
              static_cast<ssize_t>(sizeof message));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{5, 0};
    ASSERT_EQ(hux_select(s + 1, &readable, nullptr, nullptr, &timeout), 1);
    char received[8] = {};
    EXPECT_EQ(::recv(s, received, sizeof received, 0), static_cast<ssize_t>(sizeof message));
    EXPECT_STREQ(received, message);

    // Nothing more: select times out with the host's 0.
    timeout = timeval{0, 1000};
    FD_SET(s, &readable);
    EXPECT_EQ(hux_select(s + 1, &readable, nullptr, nullptr, &timeout), 0);
    EXPECT_EQ(hux_closesocket(s), 0);
}

TEST(Sockets, HostErrorsPassThrough) {
    errno = 0;
    EXPECT_EQ(hux_socket(AF_INET, 12345, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    int value = 0;
    socklen_t length = sizeof value;
    EXPECT_EQ(hux_getsockopt(-1, SOL_SOCKET, SO_RCVBUF, &value, &length), -1);
    EXPECT_EQ(errno, EBADF);
    errno = 0;
    EXPECT_EQ(hux_sendto(-1, "x", 1, 0, nullptr, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace qel::test
