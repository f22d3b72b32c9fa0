// What one local user can do to another through the software adapter's folders and ports:
// nothing that locks them out or redirects their files, and a port two users want fails
// clearly for the second.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "camsim/camsim.h"
#include "endpoint_fixture.h"
#include "qel.h"
#include "stream/stream.h"
#include "support/other_user.h"

namespace qel::test {
namespace {

class OtherUsers : public AdapterTest {
protected:
    void SetUp() override {
        AdapterTest::SetUp();
        // The other user must reach folders made for it here.
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    }
    // A folder of the other user's, mode `mode`.
    std::string theirs(const std::string &name, mode_t mode) const {
        const std::string path = dir_.path() + "/" + name;
        EXPECT_EQ(mkdir(path.c_str(), mode), 0);
        EXPECT_EQ(chmod(path.c_str(), mode), 0);
        give_to_other_user(path);
        return path;
    }
    TempDir dir_;
};

// A run folder whose parent another user owns (who could swap it for anything) is refused
// with the reason, not taken because the folder itself looks private.
TEST_F(OtherUsers, RunFolderUnderAnotherUsersFolderIsRefusedWithTheReason) {
    QEL_NEED_ROOT();
    const std::string run = theirs("parent", 0755) + "/run";
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    setenv("QEL_ADAPTER_RUN_DIR", run.c_str(), 1);
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &h), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(attach(h, 0), QEL_EACCES);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "qel software adapter: cannot keep endpoint locks: " + dir_.path() +
                  "/parent belongs to another user (uid " + std::to_string(kOtherUid) + ")\n");
    hux_close(h);
}

// Without a run-time folder, the adapter's default used to be /tmp/qel-<uid>, a name any user
// can take first. The user's own folders are used instead, so such a folder locks no one out.
TEST_F(OtherUsers, AFolderMadeFirstInTmpLocksNobodyOut) {
    QEL_NEED_ROOT();
    const std::string taken = "/tmp/qel-" + std::to_string(kOtherUid);
    std::filesystem::remove_all(taken);
    ASSERT_EQ(mkdir(taken.c_str(), 0777), 0);
    ASSERT_EQ(lchown(taken.c_str(), kOtherUid + 1, kOtherGid + 1), 0);
    const std::string home = theirs("home", 0700);
    unsetenv("QEL_ADAPTER_RUN_DIR");
    unsetenv("XDG_RUNTIME_DIR");
    unsetenv("XDG_STATE_HOME");
    setenv("HOME", home.c_str(), 1);
    const int status = run_in_child(
        [](void *) {
            if (!become_other_user()) return 100;
            hux_handle_t h = HUX_INVALID_HANDLE;
            if (open_device(0, &h) != 0) return 101;
            return attach(h, 0);
        },
        nullptr);
    std::filesystem::remove_all(taken);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::exists(home + "/.local/state/qel/run/lo.e0.lock"));
}

// Endpoints are each user's own, the network is shared: another user attaches endpoint 0
// while this one streams on it, and its stream on the same port fails as busy when it adds
// its filter (its first queued buffer), not as an invalid argument.
TEST_F(OtherUsers, TwoUsersOnOnePortTheSecondIsBusy) {
    QEL_NEED_ROOT();
    const std::string their_run = theirs("their-run", 0700);
    const uint16_t port = camsim::free_loopback_port();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    struct Child {
        int ready;
        uint16_t port;
        std::string run;
    } child{ready[0], port, their_run};
    fflush(nullptr);
    // Forked before this process starts any thread; it waits until this side streams.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        char byte = 0;
        if (read(child.ready, &byte, 1) != 1 || !become_other_user()) _exit(100);
        setenv("QEL_ADAPTER_RUN_DIR", child.run.c_str(), 1);
        if (qel_init(QEL_API_VERSION) != 0) _exit(101);
        const uint32_t local = htonl(INADDR_LOOPBACK);
        qel_stream_t *stream = nullptr;
        hux_handle_t h = HUX_INVALID_HANDLE;
        if (qel_open_stream(&local, child.port, &stream, 0, &h) != 0) _exit(102);
        if (stream->endpt != 0) _exit(103);
        qel_buffer_t *buffer = nullptr;
        if (qel_alloc(stream, 4096, &buffer) != 0) _exit(104);
        _exit(qel_queue_buffer(buffer));
    }
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    const uint32_t local = htonl(INADDR_LOOPBACK);
    qel_stream_t *stream = nullptr;
    ASSERT_EQ(qel_open_stream(&local, port, &stream, 0, nullptr), 0);
    qel_buffer_t *buffer = nullptr;
    ASSERT_EQ(qel_alloc(stream, 4096, &buffer), 0);
    ASSERT_EQ(qel_queue_buffer(buffer), 0);
    ASSERT_EQ(write(ready[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), QEL_EBUSY);
    qel_close_stream(stream);
    qel_free(buffer);
}

}  // namespace
}  // namespace qel::test
