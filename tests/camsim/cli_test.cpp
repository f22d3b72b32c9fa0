// qel-camsim on the command line: --help works, a bad command line gets one line and exit 2.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

struct Result {
    int status = -1;
    std::string output;  // standard output and standard error together
};

Result run_tool(const std::string &arguments) {
    Result r;
    const std::string command = std::string(QEL_CAMSIM_TOOL) + " " + arguments + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return r;
    char buffer[4096];
    for (size_t n = 0; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) r.output.append(buffer, n);
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

TEST(Cli, HelpExits0AndBadCommandLinesGetOneLineAndExit2) {
    const Result help = run_tool("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("  --loss "), std::string::npos) << help.output;
    for (const char *arguments : {"--bogus", "--port", "--port 65536", "--payload jpeg"}) {
        const Result r = run_tool(arguments);
        EXPECT_EQ(r.status, 2) << arguments << ": " << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << arguments;
        EXPECT_EQ(r.output.rfind("qel-camsim: ", 0), 0u) << arguments << ": " << r.output;
    }
}

}  // namespace
