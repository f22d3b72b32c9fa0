#include "tool_run.h"

#include "recv_tool/checks.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace qel::recv_tool::test {

ScratchDir::ScratchDir() {
    path_ = std::filesystem::temp_directory_path().string() + "/qel-recv-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool wait_until_bound(uint16_t port) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (std::chrono::steady_clock::now() < deadline) {
        if (check_port("127.0.0.1", port).ends_with("is in use")) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

ToolResult run_qel_recv(const std::vector<std::string> &args, bool as_nobody,
                        const std::vector<std::string> &first_env) {
    return run_program(QEL_RECV_TOOL, args, as_nobody, first_env);
}

ToolResult run_program(const std::string &program, const std::vector<std::string> &args,
                       bool as_nobody, const std::vector<std::string> &first_env) {
    ScratchDir files;
    // Open to all: a run as nobody writes its output here. Sticky, as /tmp is, so that no user
    // may rename or remove another's files in it (the adapter refuses a folder under one
    // where they could).
    std::filesystem::permissions(files.path(),
                                 std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    const std::string out_path = files.path() + "/out", err_path = files.path() + "/err";
    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    // The adapter's boards and endpoint locks: loopback only, directories of this run only.
    // Made before the fork: the child of a process with threads may only make
    // async-signal-safe calls until it executes.
    // The first of two entries of one name is the one a program reads.
    std::vector<std::string> env_text = first_env;
    env_text.insert(env_text.end(),
                    {"QEL_ADAPTER_IFACES=lo", "QEL_ADAPTER_RUN_DIR=" + files.path() + "/run",
                     "QEL_ADAPTER_STATE_DIR=" + files.path() + "/state"});
    for (char **e = environ; *e != nullptr; ++e) {
        if (std::string(*e).rfind("QEL_ADAPTER_", 0) != 0) env_text.emplace_back(*e);
    }
    std::vector<char *> argv, env;
    for (std::string &a : argv_text) argv.push_back(a.data());
    for (std::string &e : env_text) env.push_back(e.data());
    argv.push_back(nullptr);
    env.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(120);
        if (as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(121);
        execve(argv[0], argv.data(), env.data());
        _exit(122);
    }
    ToolResult result;
    if (pid < 0) return result;
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while ((done = waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        result.status = WEXITSTATUS(status);
    }
    std::ifstream out(out_path), err(err_path);
    result.out.assign(std::istreambuf_iterator<char>(out), {});
    result.err.assign(std::istreambuf_iterator<char>(err), {});
    return result;
}

}  // namespace qel::recv_tool::test
