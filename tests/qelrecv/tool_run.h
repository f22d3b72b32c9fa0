// Runs the built qel-recv as a child process with the software adapter on loopback.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::recv_tool::test {

struct ToolResult {
    int status = -1;  // exit status; -1 when it did not exit (killed, or out of time)
    std::string out;
    std::string err;
};

// Runs `program` with `args` as qel-recv is run below.
ToolResult run_program(const std::string &program, const std::vector<std::string> &args,
                       bool as_nobody = false, const std::vector<std::string> &first_env = {});

// Runs qel-recv with `args`; as user nobody when `as_nobody` (the caller must be root); with
// the "NAME=value" entries of `first_env` before any other. A run that takes longer than a minute
// is killed.
ToolResult run_qel_recv(const std::vector<std::string> &args, bool as_nobody = false,
                        const std::vector<std::string> &first_env = {});

// Waits until something receives on 127.0.0.1:port (a minute at most); false if nothing did.
bool wait_until_bound(uint16_t port);

// A fresh directory, removed with its contents at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

}  // namespace qel::recv_tool::test
