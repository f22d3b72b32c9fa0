#include "child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/adapter_env.h"

extern char **environ;

namespace qel::test {

namespace {

constexpr const char *kChildMarker = "QEL_TEST_CHILD";
constexpr const char *kChildSwitches = "QEL_TEST_CHILD_SWITCHES";

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string current_test_name() {
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
}

bool replaced(const std::string &entry,
              const std::vector<std::pair<std::string, std::string>> &env) {
    for (const auto &[name, value] : env) {
        if (entry.compare(0, name.size() + 1, name + "=") == 0) return true;
    }
    return false;
}

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

ChildResult run_in_child(const std::string &library_dir,
                         const std::vector<std::pair<std::string, std::string>> &extra) {
    std::vector<std::pair<std::string, std::string>> env = extra;
    env.emplace_back("LD_LIBRARY_PATH", library_dir);
    env.emplace_back(kChildMarker, "1");
    // Fixtures clear the library's switches for their tests; the child sets the ones asked
    // for again (see child_switches).
    std::string switches;
    for (const auto &[name, value] : extra) {
        if (name == "QEL_VERBOSE" || name == "QEL_DEBUG") switches += name + ",";
    }
    env.emplace_back(kChildSwitches, switches);

    std::vector<std::string> entries;
    for (char **e = environ; *e != nullptr; ++e) {
        if (!replaced(*e, env)) entries.emplace_back(*e);
    }
    for (const auto &[name, value] : env) entries.push_back(name + "=" + value);
    std::vector<char *> envp;
    for (auto &entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::string exe(4096, '\0');
    const ssize_t n = readlink("/proc/self/exe", exe.data(), exe.size() - 1);
    if (n <= 0) return {};
    exe.resize(static_cast<size_t>(n));
    std::string filter = "--gtest_filter=" + current_test_name();
    std::vector<char *> argv{exe.data(), filter.data(), nullptr};

    TempDir dir;
    const std::string out_path = dir.path() + "/out";
    const std::string err_path = dir.path() + "/err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
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

std::string addon_dir(const std::string &name) {
    return std::string(QEL_TEST_ADDON_ROOT) + "/" + name;
}

std::string project_addon_dir() {
    return QEL_ADDON_DIR;
}

}  // namespace qel::test
