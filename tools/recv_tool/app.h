// The two ways qel-recv runs: receiving a stream the user names, and the demo with the
// camera simulator in-process. Each returns the process's exit status.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "recv_tool/options.h"

namespace qel::recv_tool {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // the run failed, or the demo lost frames
inline constexpr int kExitUsage = 2;   // the command line was wrong

// Set by SIGINT and SIGTERM: the run ends and reports as if its limit had been met.
extern std::atomic<bool> stop_requested;

// Parses the arguments (without the program name) and runs. Every failure is one line on
// standard error starting "qel-recv: ".
int run_tool(const std::vector<std::string> &args);

int run_receive(Options options);
int run_demo(const Options &options);

// "qel-recv: <message>" on standard error; returns `status`.
int complain(int status, const std::string &message);

}  // namespace qel::recv_tool
