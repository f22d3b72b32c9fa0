// qel-adapter run as a program, with loopback as the software adapter's only board.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/adapter_env.h"

namespace {

using qel::test::AdapterTest;

constexpr const char *kSerialKey = "S=QSA000000000000";  // loopback's serial: MAC 0

struct ToolRun {
    int status = -1;  // exit status, -1 when the tool did not exit
    std::string out;
    std::string err;
};

// Runs qel-adapter with `args`, collecting both output streams.
ToolRun run_tool(const std::vector<std::string> &args) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) return {};
    std::vector<char *> argv{const_cast<char *>(QEL_ADAPTER_TOOL)};
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    ToolRun run;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&run.out, &run.err};
    for (int open_fds = 2; open_fds > 0;) {
        if (poll(fds, 2, 30000) <= 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

class QelAdapterTool : public AdapterTest {};

TEST_F(QelAdapterTool, ListShowsLoopbackWithItsAddressAndTheEndpointHeldHere) {
    const hux_handle_t held = open_attached(2);
    const ToolRun run = run_tool({});
    hux_close(held);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("board 0  nic 00:00:00:00:00:00  serial QSA000000000000  link up"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("addresses  127.0.0.1/8\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("endpoints  1 of 8 in use: 2\n"), std::string::npos) << run.out;
    // The tool's own probe released every endpoint it attached.
    EXPECT_EQ(run_tool({}).out.find("in use:"), std::string::npos);
}

TEST_F(QelAdapterTool, JsonParsesWithAnyNameBytes) {
    // Quotes, a backslash, a line break and a byte that is no UTF-8 must all survive as JSON.
    const std::string name = "a\"b\\c\nd\xff";
    ASSERT_EQ(run_tool({"set-name", kSerialKey, name}).status, 0);
    const hux_handle_t held = open_attached(1);
    const ToolRun run = run_tool({"--json"});
    hux_close(held);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto doc = nlohmann::json::parse(run.out);  // throws on invalid JSON or UTF-8
    ASSERT_EQ(doc.at("boards").size(), 1u);
    const auto &board = doc["boards"][0];
    EXPECT_EQ(board.at("serial"), "QSA000000000000");
    EXPECT_EQ(board.at("link_up"), true);
    EXPECT_EQ(board.at("endpoints_in_use"), nlohmann::json::array({1}));
    EXPECT_EQ(board.at("addresses")[0].at("address"), "127.0.0.1");
    EXPECT_EQ(board.at("addresses")[0].at("prefix"), 8);
    EXPECT_EQ(board.at("names").at("serial"), "a\"b\\c\nd\u00ff");
    EXPECT_TRUE(board.at("names").at("mac").is_null());
}

TEST_F(QelAdapterTool, NameSetReadResetRoundTrip) {
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "cam-left"}).status, 0);
    ToolRun got = run_tool({"get-name", kSerialKey});
    EXPECT_EQ(got.status, 0);
    EXPECT_EQ(got.out, "cam-left\n");
    // The other key of the same board names another entry.
    EXPECT_EQ(run_tool({"get-name", "M=00:00:00:00:00:00"}).status, 1);
    EXPECT_NE(run_tool({}).out.find("name       \"cam-left\" (S=QSA000000000000)"),
              std::string::npos);

    ASSERT_EQ(run_tool({"reset-name", kSerialKey}).status, 0);
    got = run_tool({"get-name", kSerialKey});
    EXPECT_EQ(got.status, 1);
    EXPECT_EQ(got.out, "");
    EXPECT_EQ(got.err, "qel-adapter: no name stored for 'S=QSA000000000000'\n");
    got = run_tool({"get-name", "--json", kSerialKey});
    EXPECT_EQ(got.status, 0);
    EXPECT_TRUE(nlohmann::json::parse(got.out).at("name").is_null());
}

TEST_F(QelAdapterTool, ResetAllNamesClearsEveryKey) {
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "one"}).status, 0);
    ASSERT_EQ(run_tool({"set-name", "M=00:00:00:00:00:00", "two"}).status, 0);
    ASSERT_EQ(run_tool({"reset-all-names"}).status, 0);
    EXPECT_EQ(run_tool({"get-name", kSerialKey}).status, 1);
    EXPECT_EQ(run_tool({"get-name", "M=00:00:00:00:00:00"}).status, 1);
}

struct BadInput {
    const char *label;
    std::vector<std::string> args;
    int status;
    std::string message;  // the whole line on the error stream
};

class QelAdapterBadInput : public AdapterTest, public ::testing::WithParamInterface<BadInput> {};

TEST_P(QelAdapterBadInput, OneLineAndExitStatus) {
    const ToolRun run = run_tool(GetParam().args);
    EXPECT_EQ(run.status, GetParam().status);
    EXPECT_EQ(run.err, "qel-adapter: " + GetParam().message + "\n");
    EXPECT_EQ(run.out, "");
}

const std::string kKeyHelp =
    "': expected M= and a MAC address (M=02:1a:2b:3c:4d:5e) or S= and a serial number of at "
    "most 24 characters";

INSTANTIATE_TEST_SUITE_P(
    Cases, QelAdapterBadInput,
    ::testing::Values(BadInput{"UnknownOption",
                               {"--bogus"},
                               2,
                               "unknown option '--bogus' (qel-adapter --help shows the usage)"},
                      BadInput{"UnknownCommand",
                               {"frob"},
                               2,
                               "unknown command 'frob' (qel-adapter --help shows the usage)"},
                      BadInput{
                          "MissingName",
                          {"set-name", kSerialKey},
                          2,
                          "set-name takes a KEY and a NAME (qel-adapter --help shows the usage)"},
                      BadInput{"MacKeyWithoutSeparators",
                               {"get-name", "M=021a2b3c4d5e"},
                               2,
                               "invalid key 'M=021a2b3c4d5e" + kKeyHelp},
                      BadInput{"SerialKeyTooLong",
                               {"reset-name", "S=" + std::string(25, 'x')},
                               2,
                               "invalid key 'S=" + std::string(25, 'x') + kKeyHelp},
                      BadInput{"NameTooLong",
                               {"set-name", kSerialKey, std::string(256, 'n')},
                               2,
                               "the name has 256 characters; at most 255 are kept"},
                      BadInput{"KeyOfNoBoard",
                               {"get-name", "M=02:1a:2b:3c:4d:5e"},
                               1,
                               "no board has the key 'M=02:1a:2b:3c:4d:5e'"}),
    [](const ::testing::TestParamInfo<BadInput> &info) { return std::string(info.param.label); });

}  // namespace
