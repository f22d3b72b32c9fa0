// Attaching endpoints: one holder at a time across handles and processes, freed by close and
// by the holder's death.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "adapter/endpoint_lock.h"
#include "support/adapter_env.h"
#include "qel.h"

namespace qel::test {
namespace {

using namespace qel::driver;

class EndpointAttach : public AdapterTest {};

TEST_F(EndpointAttach, SecondHandleOfHeldEndpointIsBusyUntilTheFirstCloses) {
    hux_handle_t first = open_attached(0);
    hux_handle_t second = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &second), 0);
    EXPECT_EQ(attach(second, 0), QEL_EBUSY);
    // Another endpoint of the board is free meanwhile.
    hux_handle_t other = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(1, &other), 0);
    EXPECT_EQ(attach(other, 1), 0);

    hux_close(first);
    EXPECT_EQ(attach(second, 0), 0);
    hux_close(second);
    hux_close(other);
}

TEST_F(EndpointAttach, SameHandleAttachingTwiceIsBusy) {
    hux_handle_t h = open_attached(2);
    EXPECT_EQ(attach(h, 2), QEL_EBUSY);
    hux_close(h);
}

TEST_F(EndpointAttach, LockFileLivesUnderThePrivateRunDirectory) {
    hux_handle_t h = open_attached(3);
    struct stat dir {};
    ASSERT_EQ(stat(run_dir().c_str(), &dir), 0);
    EXPECT_EQ(dir.st_mode & 0777, 0700u);
    EXPECT_EQ(access((run_dir() + "/lo.e3.lock").c_str(), F_OK), 0);
    EXPECT_EQ(adapter::EndpointLock::path_of("lo", 3), run_dir() + "/lo.e3.lock");
    hux_close(h);
}

TEST_F(EndpointAttach, RunDirectoryWritableByOthersIsRefused) {
    ASSERT_EQ(mkdir(run_dir().c_str(), 0777), 0);
    ASSERT_EQ(chmod(run_dir().c_str(), 0777), 0);
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &h), 0);
    EXPECT_EQ(attach(h, 0), QEL_EACCES);
    hux_close(h);
}

struct BadOpen {
    const char *what;
    uint32_t endpoint;
    uint32_t magic;
    uint32_t length;
};

class EndpointAttachRecord : public AdapterTest, public ::testing::WithParamInterface<BadOpen> {};

TEST_P(EndpointAttachRecord, IsRefusedAndHoldsNothing) {
    const BadOpen &bad = GetParam();
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(1, &h), 0);
    OpenEndpointRecord record{bad.endpoint, bad.magic};
    EXPECT_EQ(hux_ioctl(h, TREL_OPEN_ENDPT, &record, bad.length), QEL_EINVAL);
    EXPECT_EQ(hux_ioctl(h, TREL_OPEN_ENDPT, nullptr, sizeof record), QEL_EINVAL);
    // Nothing was taken: another handle attaches.
    hux_handle_t other = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(1, &other), 0);
    EXPECT_EQ(attach(other, 1), 0);
    hux_close(other);
    hux_close(h);
}

INSTANTIATE_TEST_SUITE_P(Records, EndpointAttachRecord,
                         ::testing::Values(BadOpen{"other endpoint", 2, 500, 8},
                                           BadOpen{"wrong word", 1, 501, 8},
                                           BadOpen{"short", 1, 500, 4},
                                           BadOpen{"long", 1, 500, 12}),
                         [](const auto &info) {
                             std::string name = info.param.what;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

TEST_F(EndpointAttach, CommandsBeforeAttachAreRefused) {
    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &h), 0);
    EXPECT_EQ(hux_ioctl(h, TREL_ENABLE_ENDPT, nullptr, 0), QEL_EINVAL);
    EndpointMapsRecord maps{};
    EXPECT_EQ(hux_ioctl(h, TREL_GET_ENDPT_MAPS, &maps, sizeof maps), QEL_EINVAL);
    WordRecord word{10};
    EXPECT_EQ(hux_ioctl(h, TREL_WAIT_DESC, &word, sizeof word), QEL_EINVAL);
    // Board-level questions need no endpoint.
    word.value = 0;
    EXPECT_EQ(hux_ioctl(h, TREL_GET_LINK_STATE, &word, sizeof word), 0);
    word.value = 0;
    EXPECT_EQ(hux_ioctl(h, TREL_GET_TIMESOURCE, &word, sizeof word), 0);
    EXPECT_TRUE(word.value == 0 || word.value == 2);
    word.value = 1;  // only board 0 exists
    EXPECT_EQ(hux_ioctl(h, TREL_GET_TIMESOURCE, &word, sizeof word), QEL_ENODEV);
    hux_close(h);
}

// The child attaches endpoint 0, reports through the pipe, then waits to be killed.
struct Holder {
    int ready[2];
};

int hold_endpoint(void *context) {
    auto *holder = static_cast<Holder *>(context);
    hux_handle_t h = HUX_INVALID_HANDLE;
    char answer = 'n';
    if (hux_open(0, 0, &h, HUX_PRODUCT_CODE) == 0) {
        OpenEndpointRecord record{0, kOpenEndpointMagic};
        if (hux_ioctl(h, TREL_OPEN_ENDPT, &record, sizeof record) == 0) answer = 'y';
    }
    if (write(holder->ready[1], &answer, 1) != 1) return 1;
    for (;;) pause();
}

TEST_F(EndpointAttach, EndpointHeldByAnotherProcessIsBusyAndItsDeathFreesIt) {
    Holder holder{};
    ASSERT_EQ(pipe(holder.ready), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(hold_endpoint(&holder));
    char answer = 0;
    ASSERT_EQ(read(holder.ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(open_device(0, &h), 0);
    EXPECT_EQ(attach(h, 0), QEL_EBUSY);

    // Killed without any chance to clean up: the kernel drops its lock.
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(attach(h, 0), 0);
    hux_close(h);
    close(holder.ready[0]);
    close(holder.ready[1]);
}

}  // namespace
}  // namespace qel::test
