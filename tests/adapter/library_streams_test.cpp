// The library's streams and names on the software adapter: endpoints shared between processes,
// names that outlive a process, multicast groups.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/state.h"
#include "qel.h"
#include "stream/stream.h"
#include "support/adapter_env.h"

namespace qel::test {
namespace {

class LibraryOnSoftwareAdapter : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        qel::core::reset_library_state();
        ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    }
    void TearDown() override {
        qel::core::reset_library_state();
        AdapterTest::TearDown();
    }
    qel_stream_t *open(uint16_t port) {
        qel_stream_t *s = nullptr;
        EXPECT_EQ(qel_open_stream(&loopback_, port, &s, 0, nullptr), 0);
        return s;
    }
    uint32_t loopback_ = inet_addr("127.0.0.1");
};

// A child process that opens a stream and holds it until killed. Returns its pid once the
// stream is open (or -1).
pid_t spawn_holder(uint32_t address, uint16_t port) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        qel::core::reset_library_state();
        qel_stream_t *s = nullptr;
        char result =
            (qel_init(QEL_API_VERSION) == 0 && qel_open_stream(&address, port, &s, 0, nullptr) == 0)
                ? static_cast<char>('0' + s->endpt)
                : 'x';
        (void)!write(ready[1], &result, 1);
        for (;;) pause();
    }
    close(ready[1]);
    char result = 'x';
    if (read(ready[0], &result, 1) != 1 || result != '0') {
        if (pid > 0) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
        pid = -1;
    }
    close(ready[0]);
    return pid;
}

TEST_F(LibraryOnSoftwareAdapter, EndpointHeldByAnotherProcessIsSkippedAndFreedWhenItDies) {
    pid_t holder = spawn_holder(loopback_, 40001);
    ASSERT_GT(holder, 0) << "the child could not open endpoint 0";
    qel_stream_t *mine = open(40002);
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(mine->endpt, 1u);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    qel_stream_t *next = open(40003);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->endpt, 0u) << "the killed holder's endpoint is free again";
    EXPECT_EQ(qel_close_stream(next), 0);
    EXPECT_EQ(qel_close_stream(mine), 0);
}

TEST_F(LibraryOnSoftwareAdapter, TwoStreamsOnOneBoardAndBuffers) {
    qel_stream_t *a = open(40004);
    qel_stream_t *b = open(40005);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a->endpt, b->endpt);
    qel_buffer_t *buffer = nullptr;
    ASSERT_EQ(qel_alloc(a, 100000, &buffer), 0);
    ASSERT_EQ(qel_queue_buffer(buffer), 0);
    EXPECT_EQ(a->filter_added, 1);
    EXPECT_EQ(qel_free(buffer), QEL_EBUSY) << "queued with the firmware";
    uint32_t link = 0;
    EXPECT_EQ(qel_get_link_state(a, &link), 0);
    EXPECT_EQ(link, 1u);
    uint32_t time_source = 99;
    EXPECT_EQ(qel_get_timesource_state(a, &time_source), 0);
    EXPECT_LE(time_source, 1u);
    qel_block_t block;
    EXPECT_EQ(qel_poll_recv(a, &block, 0), QEL_EAGAIN);
    EXPECT_EQ(qel_poll_recv(a, &block, 20), QEL_ETIMEDOUT) << "the adapter's wait times out";
    EXPECT_EQ(qel_close_stream(a), 0);
    EXPECT_EQ(qel_free(buffer), 0) << "detached by the close";
    EXPECT_EQ(qel_close_stream(b), 0);
}

TEST_F(LibraryOnSoftwareAdapter, NameSetInOneProcessIsReadInAnother) {
    char serial[30] = {};
    ASSERT_EQ(hux_get_serial_from_board(0, serial), 0);
    const std::string key = std::string("S=") + serial;
    pid_t child = fork();
    if (child == 0) _exit(qel_set_name(key.c_str(), "left camera") == 0 ? 0 : 1);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char *name = nullptr;
    ASSERT_EQ(qel_get_name(key.c_str(), &name), 0);
    EXPECT_STREQ(name, "left camera");
    free(name);
    EXPECT_EQ(qel_reset_name(key.c_str()), 0);
    EXPECT_EQ(qel_get_name(key.c_str(), &name), QEL_ENOENT);
    EXPECT_EQ(qel_set_name("S=NOSUCHBOARD", "x"), QEL_ENODEV);
}

TEST_F(LibraryOnSoftwareAdapter, MulticastStreamJoinsItsGroup) {
    const uint32_t group = inet_addr("239.77.1.2");
    qel_stream_t *s = nullptr;
    ASSERT_EQ(qel_open_mcast_stream(&loopback_, &group, 40006, &s, 0, nullptr), 0);
    qel_buffer_t *buffer = nullptr;
    ASSERT_EQ(qel_alloc(s, 4096, &buffer), 0);
    const int rc = qel_queue_buffer(buffer);
    if (rc != 0) {
        qel_close_stream(s);
        GTEST_SKIP() << "this host cannot join a multicast group on loopback (" << rc << ")";
    }
    std::ifstream igmp("/proc/net/igmp");
    std::stringstream text;
    text << igmp.rdbuf();
    // The group as the kernel lists it: the network-order word in hex.
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", group);
    EXPECT_NE(text.str().find(hex), std::string::npos) << text.str();
    EXPECT_EQ(qel_close_stream(s), 0);
    EXPECT_EQ(qel_free(buffer), 0);
}

}  // namespace
}  // namespace qel::test
