// Processes that meet or die: two processes setting adapter names concurrently, and a process
// killed with SIGKILL in the middle of a stream.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/driver.h"
#include "firmware/library_fixture.h"
#include "support/capture.h"

namespace qel::test {
namespace {

using namespace driver;

struct Writer {
    uint32_t board;
    const char *prefix;
    int sets;
};

std::string key_of(uint32_t board) {
    char serial[32] = {};
    if (hux_get_serial_from_board(board, serial) != 0) return {};
    return std::string("S=") + serial;
}

// Sets the board's name `sets` times; 0, or the step that failed.
int set_names(void *context) {
    const auto *writer = static_cast<const Writer *>(context);
    hux_handle_t h = HUX_INVALID_HANDLE;
    if (hux_open_any_board(&h, HUX_PRODUCT_CODE) != 0) return 1;
    const std::string key = key_of(writer->board);
    if (key.empty()) return 2;
    NameRecord record{};
    std::snprintf(reinterpret_cast<char *>(record.key), sizeof record.key, "%s", key.c_str());
    for (int i = 0; i < writer->sets; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "%s %d", writer->prefix, i);
        record.name = reinterpret_cast<uintptr_t>(name);
        record.length = static_cast<uint32_t>(std::strlen(name) + 1);
        if (hux_ioctl(h, TREL_SET_NAME, &record, sizeof record) != 0) return 3;
    }
    hux_close(h);
    return 0;
}

TEST_F(AdapterTest, TwoProcessesSettingNamesManyTimesEachLeaveBothLastValues) {
    // Loopback twice: two boards sharing one MAC, told apart by their serial numbers.
    setenv("QEL_ADAPTER_IFACES", "lo,lo", 1);
    // The names file in memory where the host has it: what is tested is the locking and the
    // replacement, not the disk's sync time (milliseconds each on a busy disk).
    std::unique_ptr<TempDir> memory;
    if (access("/dev/shm", W_OK) == 0) {
        ScopedEnv tmp("TMPDIR", "/dev/shm");
        memory = std::make_unique<TempDir>();
        setenv("QEL_ADAPTER_STATE_DIR", (memory->path() + "/state").c_str(), 1);
    }
    // A thousand sets each; on a disk (no memory file system) a hundred, each set waiting for
    // its sync.
    const int sets = memory ? 1000 : 100;
    Writer first{0, "first", sets};
    Writer second{1, "second", sets};
    const auto started = std::chrono::steady_clock::now();
    fflush(nullptr);
    const pid_t a = fork();
    ASSERT_GE(a, 0);
    if (a == 0) _exit(set_names(&first));
    const int second_status = run_in_child(set_names, &second);
    int status = 0;
    ASSERT_EQ(waitpid(a, &status, 0), a);
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(second_status, 0);
    std::printf("%d names set by each of two processes in %lld ms\n", sets,
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));

    hux_handle_t h = HUX_INVALID_HANDLE;
    ASSERT_EQ(hux_open_any_board(&h, HUX_PRODUCT_CODE), 0);
    for (const Writer &writer : {first, second}) {
        NameRecord record{};
        std::snprintf(reinterpret_cast<char *>(record.key), sizeof record.key, "%s",
                      key_of(writer.board).c_str());
        char name[64] = {};
        record.name = reinterpret_cast<uintptr_t>(name);
        record.length = sizeof name;
        ASSERT_EQ(hux_ioctl(h, TREL_GET_NAME, &record, sizeof record), 0);
        EXPECT_EQ(std::string(name), std::string(writer.prefix) + " " + std::to_string(sets - 1));
    }
    hux_close(h);
}

// The child opens a stream on the port, receives a block, says so, and waits to be killed.
struct Streamer {
    uint16_t port;
    int ready[2];
};

int stream_until_killed(void *context) {
    const auto *streamer = static_cast<const Streamer *>(context);
    const uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_t *stream = nullptr;
    char answer = 'n';
    if (qel_open_stream(&loopback, streamer->port, &stream, 0, nullptr) == 0) {
        for (int i = 0; i < 4; ++i) {
            qel_buffer_t *b = nullptr;
            if (qel_alloc(stream, 8192, &b) == 0) qel_queue_buffer(b);
        }
        qel_block_t block{};
        for (int i = 0; i < 200 && answer == 'n'; ++i) {
            if (qel_poll_recv(stream, &block, 10) == 0) {
                answer = stream->endpt == 0 ? 'y' : 'e';
                qel_queue_buffer(block.buffer);
            }
        }
    }
    if (write(streamer->ready[1], &answer, 1) != 1) return 1;
    // Streaming goes on (the firmware keeps receiving) until the kill.
    qel_block_t block{};
    for (;;) {
        if (stream != nullptr && qel_poll_recv(stream, &block, 10) == 0) {
            qel_queue_buffer(block.buffer);
        }
    }
}

// Small complete blocks to `port`, one a millisecond, until told to stop.
void send_blocks(uint16_t port, const std::atomic<bool> &sending) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto send = [&](std::vector<uint8_t> d) {
        sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    };
    for (uint16_t block = 1; sending.load(std::memory_order_relaxed);
         block = static_cast<uint16_t>(block % 60000 + 1)) {
        const uint8_t hi = static_cast<uint8_t>(block >> 8);
        const uint8_t lo = static_cast<uint8_t>(block);
        // A raw-data leader of 1000 bytes: payload type 2, timestamp 0, payload size 1000.
        std::vector<uint8_t> leader = {0, 0, hi, lo, 1, 0, 0, 0, 0, 0, 0, 2, 0,    0,
                                       0, 0, 0,  0,  0, 0, 0, 0, 0, 0, 0, 0, 0x03, 0xE8};
        std::vector<uint8_t> data = {0, 0, hi, lo, 3, 0, 0, 1};
        data.resize(8 + 1000, lo);
        send(leader);
        send(data);
        send({0, 0, hi, lo, 2, 0, 0, 2, 0, 0, 0, 2});
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    close(fd);
}

TEST_F(LibraryReceive, AStreamingProcessKilledLeavesNoEndpointHeldAndNoStaleLock) {
    Streamer streamer{port_, {-1, -1}};
    ASSERT_EQ(pipe(streamer.ready), 0);
    // Forked before the camera's thread starts: a child forked from a threaded process may
    // find a lock held for ever (the sanitizers' own among them).
    fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(stream_until_killed(&streamer));
    std::atomic<bool> sending{true};
    std::thread camera([&] { send_blocks(port_, sending); });
    char answer = 0;
    pollfd wait{streamer.ready[0], POLLIN, 0};
    const bool told = ::poll(&wait, 1, 20000) == 1 && read(streamer.ready[0], &answer, 1) == 1;
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ::close(streamer.ready[0]);
    ::close(streamer.ready[1]);
    if (!told || answer != 'y') {
        sending = false;
        camera.join();
        FAIL() << "the child did not stream on endpoint 0 (" << answer << ")";
    }
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
