// Threads: start, end, join, pinning (by call and by ZR_ENABLE_AFFINITY), and refusals.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "hux.h"
#include "hux/debug_output.h"
#include "qel.h"

namespace qel::test {
namespace {

// What a test thread saw. It waits for `go` before reading its affinity, so that a pin
// applied after create is in place by then.
struct Probe {
    std::atomic<bool> go{false};
    std::atomic<bool> ran{false};
    std::atomic<uint32_t> tid{0};
    cpu_set_t affinity{};
};

void *probe_body(void *arg) {
    auto *probe = static_cast<Probe *>(arg);
    // Acquire pairs with the test's release store of `go`.
    while (!probe->go.load(std::memory_order_acquire)) sched_yield();
    probe->tid.store(hux_thread_self(), std::memory_order_relaxed);
    sched_getaffinity(0, sizeof probe->affinity, &probe->affinity);
    probe->ran.store(true, std::memory_order_relaxed);
    return nullptr;
}

std::vector<int> processors_of(const cpu_set_t &set) {
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
    }
    return cpus;
}
std::vector<int> allowed_processors() {
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    return processors_of(set);
}

std::vector<std::string> debug_lines;  // debugger output, instead of syslog

class Threads : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("ZR_ENABLE_AFFINITY");
        debug_lines.clear();
        hux::set_debug_output_sink([](const char *text) { debug_lines.emplace_back(text); });
    }
    void TearDown() override {
        hux::set_debug_output_sink(nullptr);
        unsetenv("ZR_ENABLE_AFFINITY");
    }
    // Starts probe_body, pins it when asked, lets it run, joins it; its processors.
    std::vector<int> run_probe(Probe &probe, uint32_t pin_mask = 0, int pin_result = 0) {
        hux_thread_t t{};
        EXPECT_EQ(hux_thread_create(&t, probe_body, &probe), 0);
        if (pin_mask != 0) {
            EXPECT_EQ(hux_thread_set_affinity(&t, pin_mask), pin_result);
        }
        probe.go.store(true, std::memory_order_release);
        EXPECT_EQ(hux_thread_join(&t), 0);
        EXPECT_TRUE(probe.ran.load());
        EXPECT_EQ(hux_thread_join(&t), QEL_EINVAL) << "joined already";
        return processors_of(probe.affinity);
    }
    static int first_cpu() { return allowed_processors().front(); }
};

TEST_F(Threads, RunJoinExitAndMisuse) {
    Probe probe;
    EXPECT_EQ(run_probe(probe), allowed_processors()) << "unpinned without ZR_ENABLE_AFFINITY";
    EXPECT_EQ(hux_thread_self(), static_cast<uint32_t>(getpid()));  // the main thread's id
    EXPECT_NE(probe.tid.load(), hux_thread_self());
    EXPECT_NE(probe.tid.load(), 0u);
    EXPECT_TRUE(debug_lines.empty());

    static std::atomic<int> reached{0};
    hux_thread_t t{};
    ASSERT_EQ(hux_thread_create(
                  &t,
                  [](void *) -> void * {
                      reached = 1;
                      hux_thread_exit();
                      reached = 2;  // never reached
                      return nullptr;
                  },
                  nullptr),
              0);
    ASSERT_EQ(hux_thread_join(&t), 0);
    EXPECT_EQ(reached.load(), 1);

    hux_thread_t empty{};
    EXPECT_EQ(hux_thread_create(nullptr, probe_body, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_thread_create(&empty, nullptr, nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_thread_join(nullptr), QEL_EINVAL);
    EXPECT_EQ(hux_thread_join(&empty), QEL_EINVAL);  // holds no thread
    EXPECT_EQ(hux_thread_set_affinity(nullptr, 1), QEL_EINVAL);
    EXPECT_EQ(hux_thread_set_affinity(&empty, 1), QEL_EINVAL);
}

TEST_F(Threads, AHostRefusalToStartIsReportedAndHoldsNoThread) {
    // Threads whose stack cannot be mapped are refused by the host.
    pthread_attr_t saved, huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, size_t{1} << 60);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    Probe probe;
    hux_thread_t t{};
    const int rc = hux_thread_create(&t, probe_body, &probe);
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    EXPECT_EQ(rc, EAGAIN);  // the host's own error number
    EXPECT_EQ(t.start, nullptr);
    EXPECT_EQ(hux_thread_join(&t), QEL_EINVAL);
}

TEST_F(Threads, PinningByCallAndByEnvironment) {
    const int cpu = first_cpu();
    if (cpu >= 32) GTEST_SKIP() << "no allowed processor below 32 for a 32-bit mask";
    Probe pinned;
    EXPECT_EQ(run_probe(pinned, 1u << cpu), std::vector<int>{cpu});
    if (sysconf(_SC_NPROCESSORS_CONF) < 32) {
        Probe nowhere;  // a processor that does not exist: the host's error, left as it was
        EXPECT_EQ(run_probe(nowhere, 1u << 31, EINVAL), allowed_processors());
    }
    setenv("ZR_ENABLE_AFFINITY", std::to_string(1u << cpu).c_str(), 1);
    Probe by_env;
    EXPECT_EQ(run_probe(by_env), std::vector<int>{cpu});
    EXPECT_TRUE(debug_lines.empty());
    setenv("ZR_ENABLE_AFFINITY", "0", 1);  // the empty mask is refused
    Probe refused;
    EXPECT_EQ(run_probe(refused), allowed_processors());
    EXPECT_EQ(debug_lines,
              std::vector<std::string>{"SetProcessAffinityMask: " + std::to_string(EINVAL) + "\n"});
}

TEST_F(Threads, PinningAThreadThatHasEndedLeavesTheCallerAlone) {
    const std::vector<int> before = allowed_processors();
    if (before.front() >= 32) GTEST_SKIP() << "no allowed processor below 32 for a 32-bit mask";
    Probe probe;
    probe.go = true;
    hux_thread_t t{};
    ASSERT_EQ(hux_thread_create(&t, probe_body, &probe), 0);
    // Wait (up to 10 s) until the kernel has taken the thread down; it is not joined yet.
    while (probe.tid.load() == 0) sched_yield();
    const std::string task = "/proc/self/task/" + std::to_string(probe.tid.load());
    for (int i = 0; i < 1000 && access(task.c_str(), F_OK) == 0; ++i) usleep(10'000);
    ASSERT_NE(access(task.c_str(), F_OK), 0) << "the thread did not end";
    EXPECT_EQ(hux_thread_set_affinity(&t, 1u << before.front()), ESRCH);
    EXPECT_EQ(allowed_processors(), before);
    EXPECT_EQ(hux_thread_join(&t), 0);
}

}  // namespace
}  // namespace qel::test
