// qel-adapter run as a program, with loopback as the software adapter's only board.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/wait.h>

#include <fstream>
#include <iterator>

#include "support/adapter_env.h"

namespace {

using QelAdapterTool = qel::test::AdapterTest;

constexpr const char *kSerialKey = "S=QSA000000000000";  // loopback's serial: MAC 0

struct ToolRun {
    int status;  // exit status, -1 when the tool did not exit
    std::string out, err;
    bool operator==(const ToolRun &) const = default;
};

// Runs qel-adapter with `args` (each quoted for the shell), collecting both output streams.
ToolRun run_tool(const std::vector<std::string> &args) {
    const qel::test::TempDir dir;
    std::string command = QEL_ADAPTER_TOOL;
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

TEST_F(QelAdapterTool, ListShowsLoopbackAndTheEndpointHeldHereAsTextAndAsJsonWithAnyNameBytes) {
    // Quotes, a backslash, a line break and a byte that is no UTF-8 must all survive as JSON.
    ASSERT_EQ(run_tool({"set-name", kSerialKey, "a\"b\\c\nd\xff"}).status, 0);
    const hux_handle_t held = open_attached(2);
    const ToolRun text = run_tool({});
    const ToolRun json = run_tool({"--json"});
    hux_close(held);
    ASSERT_EQ(text.status, 0) << text.err;
    for (const char *line : {"board 0  nic 00:00:00:00:00:00  serial QSA000000000000  link up\n",
                             "addresses  127.0.0.1/8\n", "endpoints  1 of 8 in use: 2\n"}) {
        EXPECT_NE(text.out.find(line), std::string::npos) << text.out;
    }
    ASSERT_EQ(json.status, 0) << json.err;
    const auto doc = nlohmann::json::parse(json.out);  // throws on invalid JSON or UTF-8
    ASSERT_EQ(doc.at("boards").size(), 1u);
    const auto &board = doc["boards"][0];
    EXPECT_EQ(board.at("serial"), "QSA000000000000");
    EXPECT_EQ(board.at("endpoints_in_use"), nlohmann::json::array({2}));
    EXPECT_EQ(board.at("names").at("serial"), "a\"b\\c\nd\u00ff");
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

}  // namespace
