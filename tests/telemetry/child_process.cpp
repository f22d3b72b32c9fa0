#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/adapter_env.h"
#include "telemetry_fixture.h"

extern char **environ;

namespace qel::test {

namespace {
constexpr const char *kChildMarker = "QEL_TEST_CHILD";
constexpr const char *kChildSwitches = "QEL_TEST_CHILD_SWITCHES";
}  // namespace

bool in_child() {
    return std::getenv(kChildMarker) != nullptr;
}

void set_child_switches() {
    const char *list = std::getenv(kChildSwitches);
    if (list == nullptr || !in_child()) return;
    for (const char *name : {"QEL_VERBOSE", "QEL_DEBUG"}) {
        if (std::strstr(list, name) != nullptr) setenv(name, "1", 1);
    }
}

ChildResult run_in_child(const std::string &library_dir, const EnvPairs &extra) {
    EnvPairs env = extra;
    std::string switches;  // every name: the child picks out the switches
    for (const auto &[name, value] : extra) switches += name + ",";
    env.insert(env.end(),
               {{"LD_LIBRARY_PATH", library_dir}, {kChildMarker, "1"}, {kChildSwitches, switches}});
    std::vector<std::string> entries;
    for (char **e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const auto &[name, value] : env) replaced |= std::string(*e).starts_with(name + "=");
        if (!replaced) entries.emplace_back(*e);
    }
    for (const auto &[name, value] : env) entries.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (auto &entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string exe = "/proc/self/exe";
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    std::string filter =
        std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    std::vector<char *> argv{exe.data(), filter.data(), nullptr};

    TempDir dir;
    const std::string out_path = dir.path() + "/out", err_path = dir.path() + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
    std::fflush(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ChildResult result;
    if (spawned != 0) return result;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
        result.exit_code = WEXITSTATUS(status);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

}  // namespace qel::test
