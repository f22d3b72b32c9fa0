// Processes that meet or die: two processes setting adapter names concurrently, and a process
// killed with SIGKILL in the middle of a stream.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "core/driver.h"
#include "firmware/gvsp_builder.h"
#include "firmware/library_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

using namespace driver;

constexpr int kSets = 1000;

// The name record of `board`, keyed by its serial number, with room for `name`.
NameRecord record_of(uint32_t board, char *name, uint32_t length) {
    NameRecord record{};
    char serial[32] = {};
    EXPECT_EQ(hux_get_serial_from_board(board, serial), 0);
    std::snprintf(reinterpret_cast<char *>(record.key), sizeof record.key, "S=%s", serial);
    record.name = reinterpret_cast<uintptr_t>(name);
    record.length = length;
    return record;
}

// Sets board 0's ("first") or 1's ("second") name kSets times; 0, or the step that failed.
int set_names(void *context) {
    const auto board = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(context));
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open_any_board(&h, HUX_PRODUCT_CODE) != 0) return 1;
    for (int i = 0; i < kSets; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %d", board == 0 ? "first" : "second", i);
        NameRecord record = record_of(board, name, static_cast<uint32_t>(std::strlen(name) + 1));
        if (hux_ioctl(h, TREL_SET_NAME, &record, sizeof record) != 0) return 3;
    }
    hux_close(h);
    return 0;
}

TEST_F(AdapterTest, TwoProcessesSettingNamesManyTimesEachLeaveBothLastValues) {
    // Loopback twice: two boards sharing one MAC, told apart by their serial numbers.
    setenv("QEL_ADAPTER_IFACES", "lo,lo", 1);
    // The names file in memory: what is tested is the locking, not the disk's sync time.
    ScopedEnv tmp("TMPDIR", "/dev/shm");
    TempDir memory;
    setenv("QEL_ADAPTER_STATE_DIR", (memory.path() + "/state").c_str(), 1);
    fflush(nullptr);
    const pid_t a = fork();
    ASSERT_GE(a, 0);
    if (a == 0) _exit(set_names(reinterpret_cast<void *>(0)));
    EXPECT_EQ(run_in_child(set_names, reinterpret_cast<void *>(1)), 0);
    int status = 0;
    ASSERT_EQ(waitpid(a, &status, 0), a);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(hux_open_any_board(&h, HUX_PRODUCT_CODE), 0);
    for (const uint32_t board : {0u, 1u}) {
        char name[64] = {};
        NameRecord record = record_of(board, name, sizeof name);
        ASSERT_EQ(hux_ioctl(h, TREL_GET_NAME, &record, sizeof record), 0);
        EXPECT_EQ(std::string(name),
                  (board == 0 ? "first " : "second ") + std::to_string(kSets - 1));
    }
    hux_close(h);
}

// The child opens a stream on the port, receives a block, says so, and streams until killed.
int stream_until_killed(void *context) {
    const int *ready = static_cast<const int *>(context);
    const uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_t *stream = nullptr;
    char answer = 'n';
    if (qel_open_stream(&loopback, static_cast<uint16_t>(ready[2]), &stream, 0, nullptr) != 0) {
        return write(ready[1], &answer, 1) == 1 ? 1 : 2;
    }
    for (int i = 0; i < 4; ++i) {
        qel_buffer_t *b = nullptr;
        if (qel_alloc(stream, 8192, &b) == 0) qel_queue_buffer(b);
    }
    for (;;) {
        qel_block_t block{};
        if (qel_poll_recv(stream, &block, 10) != 0) continue;
        qel_queue_buffer(block.buffer);
        if (answer != 'n') continue;
        answer = stream->endpt == 0 ? 'y' : 'e';
        if (write(ready[1], &answer, 1) != 1) return 1;
    }
}

TEST_F(LibraryReceive, AStreamingProcessKilledLeavesNoEndpointHeldAndNoStaleLock) {
    int ready[3] = {-1, -1, port_};
    ASSERT_EQ(pipe(ready), 0);
    // Forked before the camera's thread starts: a child forked from a threaded process may
    // find a lock held for ever (the sanitizers' own among them).
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(stream_until_killed(ready));
    std::atomic<bool> sending{true};
    std::thread camera([&] {  // small complete blocks, one a millisecond
        Sender to(port_);
        for (uint64_t id = 1; sending.load(std::memory_order_relaxed); id = id % 60000 + 1) {
            for (const Bytes &p : make_block(Ids::standard, id, BlockShape{}, 1000, 1000).packets) {
                to.send(p);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    char answer = 0;
    pollfd wait{ready[0], POLLIN, 0};
    const bool told = ::poll(&wait, 1, 20000) == 1 && read(ready[0], &answer, 1) == 1;
    EXPECT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_TRUE(told && answer == 'y') << "the child did not stream on endpoint 0";
    EXPECT_TRUE(WIFSIGNALED(status));

    // The same endpoint and port, at once: the dead process's lock and socket are gone.
    open(0);
    EXPECT_EQ(stream_->endpt, 0u) << "the killed process's endpoint is still held";
    queue(8192);
    qel_block_t block{};
    int rc = -1;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (rc != 0 && std::chrono::steady_clock::now() < end)
        rc = qel_poll_recv(stream_, &block, 20);
    sending = false;
    camera.join();
    EXPECT_EQ(rc, 0);
}

}  // namespace
}  // namespace qel::test
