// qel-adapter run as a program, with loopback as the software adapter's only board.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "support/adapter_env.h"
#include "support/other_user.h"

namespace {

using QelAdapterTool = qel::test::AdapterTest;

constexpr const char *kSerialKey = "S=QSA000000000000";  // loopback's serial: MAC 0

struct ToolRun {
    int status;  // exit status, -1 when the tool did not exit
    std::string out, err;
    bool operator==(const ToolRun &) const = default;
};

// Runs a tool with `args` (each quoted for the shell), collecting both output streams.
ToolRun run_program(const char *tool, const std::vector<std::string> &args) {
    const qel::test::TempDir dir;
    std::string command = tool;
    for (const std::string &arg : args) {
        std::string quoted = "'";
        for (const char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " " + quoted + "'";
    }
    const int status =
        std::system((command + " >" + dir.path() + "/out 2>" + dir.path() + "/err").c_str());
    std::ifstream out(dir.path() + "/out"), err(dir.path() + "/err");
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            {std::istreambuf_iterator<char>(out), {}},
            {std::istreambuf_iterator<char>(err), {}}};
}

ToolRun run_tool(const std::vector<std::string> &args) {
    return run_program(QEL_ADAPTER_TOOL, args);
}

TEST_F(QelAdapterTool, ListShowsLoopbackAndTheEndpointHeldHereAsTextAndAsJsonWithAnyNameBytes) {
    // Quotes, a backslash and a line break survive as JSON; a byte that is no UTF-8 shows as
    // U+FFFD.
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "a\"b\\c\nd\xff"}).status, 0);
    const hux_handle_t held = open_attached(2);
    const ToolRun text = run_tool({});
    const ToolRun json = run_tool({"--json"});
    hux_close(held);
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char *line : {"board 0  nic 00:00:00:00:00:00  serial QSA000000000000  link up\n",
                             "addresses  127.0.0.1/8 (lo)\n", "endpoints  1 of 8 in use: 2\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
    }
    ASSERT_EQ(json.status, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);  // throws on invalid JSON or UTF-8
    ASSERT_EQ(doc.at("boards").size(), 1u);
    const auto &board = doc["boards"][0];
    EXPECT_EQ(board.at("serial"), "QSA000000000000");
    EXPECT_EQ(board.at("endpoints_in_use"), nlohmann::json::array({2}));
    EXPECT_EQ(board.at("names").at("serial"), "a\"b\\c\nd\ufffd");
    EXPECT_EQ(
        board.at("addresses"),
        nlohmann::json::parse(R"([{"address": "127.0.0.1", "prefix": 8, "interface": "lo"}])"));
    EXPECT_TRUE(board.at("names").at("mac").is_null());
    // The tool's own probe released every endpoint it attached.
    EXPECT_EQ(run_tool({}).out.find("in use:"), std::string::npos);
}

TEST_F(QelAdapterTool, ANameIsSetReadAndReset) {
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "cam-left"}).status, 0);
    EXPECT_EQ(run_tool({"get-name", kSerialKey}), (ToolRun{0, "cam-left\n", ""}));
    EXPECT_NE(run_tool({}).out.find("name       \"cam-left\" (S=QSA000000000000)"),
              std::string::npos);
    ASSERT_EQ(run_tool({"reset-name", kSerialKey}).status, 0);
    EXPECT_EQ(run_tool({"get-name", kSerialKey}),
              (ToolRun{1, "", "qel-adapter: no name stored for 'S=QSA000000000000'\n"}));
}

TEST_F(QelAdapterTool, QelInfoShowsEachBoardsAddressWithItsInterfaceAsTextAndAsJson) {
    const ToolRun text = run_program(QEL_INFO_TOOL, {});
    const ToolRun json = run_program(QEL_INFO_TOOL, {"--json"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_NE(text.out.find("\n  board 0: mac 00:00:00:00:00:00, link up, serial QSA000000000000\n"
                            "    address 127.0.0.1 (lo)\n"),
              std::string::npos)
        << text.out;
    ASSERT_EQ(json.status, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);
    ASSERT_EQ(doc.at("boards").size(), 1u) << json.out;
    EXPECT_EQ(doc["boards"][0].at("serial"), "QSA000000000000");
    EXPECT_EQ(doc["boards"][0].at("addresses"),
              nlohmann::json::parse(R"([{"address": "127.0.0.1", "interface": "lo"}])"));
}

// --board NAME receives at the address of the board stored under NAME: a port held there is
// reported for that address.
TEST_F(QelAdapterTool, QelRecvFindsABoardByItsStoredName) {
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "lab"}).status, 0);
    const int held = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    ASSERT_EQ(getsockname(held, reinterpret_cast<sockaddr *>(&where), &length), 0);
    const std::string port = std::to_string(ntohs(where.sin_port));
    EXPECT_EQ(run_program(QEL_RECV_TOOL, {"--board", "lab", "--port", port}),
              (ToolRun{1, "", "qel-recv: port " + port + " on 127.0.0.1 is in use\n"}));
    EXPECT_EQ(run_program(QEL_RECV_TOOL, {"--board=nobody", "--port", port}),
              (ToolRun{1, "",
                       "qel-recv: --board: no board with an address is named 'nobody' "
                       "(qel-adapter lists the boards and their names)\n"}));
    close(held);
}

// A state folder the adapter cannot use is reported as that, with the adapter's reason, never
// as a bad key.
TEST_F(QelAdapterTool, AnUnusableStateFolderIsReportedAsSuch) {
    const qel::test::TempDir dir;
    const std::string file = dir.path() + "/file", theirs = dir.path() + "/theirs";
    qel::test::write_text(file, "");
    const struct {
        std::string state_dir;
        std::string reason;
        bool needs_root;
    } cases[] = {
        {file, file + " is not a folder", false},
        {theirs, theirs + " belongs to another user", true},
        {theirs + "/state", theirs + " belongs to another user", true},
    };
    if (geteuid() == 0) {
        ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
        qel::test::give_to_other_user(theirs);
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.state_dir);
        if (c.needs_root && geteuid() != 0) continue;
        setenv("QEL_ADAPTER_STATE_DIR", c.state_dir.c_str(), 1);
        const ToolRun run = run_tool({"set-name", kSerialKey, "cam"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("qel software adapter: cannot keep adapter names: " + c.reason),
                  std::string::npos)
            << run.err;
        EXPECT_NE(run.err.find("qel-adapter: set-name failed: the adapter cannot use the place "
                               "where it keeps names"),
                  std::string::npos)
            << run.err;
    }
}

}  // namespace
