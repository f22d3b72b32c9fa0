// qel-adapter run as a program, with loopback as the software adapter's only board.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
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
