// Every tool answers its command line alike: -h and --help print the usage and exit 0,
// --version prints one line, a value comes as "--name value" or "--name=value", and a line
// the tool cannot take gets one line on standard error and exit 2. Pixel formats are named.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/pixel_formats.h"

extern char **environ;

namespace {

struct ToolRun {
    int status = -1;  // exit status; -1 when the tool did not exit
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

ToolRun run(const std::string &tool, const std::vector<std::string> &args) {
    char out_path[] = "/tmp/qel-tools-test-XXXXXX";
    char err_path[] = "/tmp/qel-tools-test-XXXXXX";
    const int out = mkstemp(out_path);
    const int err = mkstemp(err_path);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    std::vector<std::string> words{tool};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ToolRun r;
    pid_t pid = 0;
    if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out);
    close(err);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    std::remove(out_path);
    std::remove(err_path);
    return r;
}

struct Tool {
    const char *name;
    const char *path;
};

constexpr Tool kTools[] = {
    {"qel-info", QEL_INFO_TOOL}, {"qel-camsim", QEL_CAMSIM_TOOL}, {"qel-adapter", QEL_ADAPTER_TOOL},
    {"qel-recv", QEL_RECV_TOOL}, {"qel-soak", QEL_SOAK_TOOL},
};

TEST(ToolCommandLines, EveryToolAnswersHelpVersionValuesAndMistakesAlike) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of standard output
        std::string err;  // the whole standard error but for "<tool>: "; empty: none at all
    };
    for (const Tool &tool : kTools) {
        const std::string usage = std::string("Usage: ") + tool.name;
        const Case cases[] = {
            {{"-h"}, 0, usage, ""},
            {{"--help"}, 0, usage, ""},
            {{"--version"}, 0, std::string(tool.name) + " " + QEL_PROJECT_VERSION + "\n", ""},
            {{"--bogus"}, 2, "", "unknown option '--bogus' (try --help)"},
            {{"--bogus=1"}, 2, "", "unknown option '--bogus' (try --help)"},
            {{"-x"}, 2, "", "unknown option '-x' (try --help)"},
            {{"--help=1"}, 2, "", "option '--help' takes no value (try --help)"},
            {{"stray"}, 2, "", ""},  // each says why in its own words
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(tool.name) + " " + c.args[0]);
            const ToolRun r = run(tool.path, c.args);
            EXPECT_EQ(r.status, c.status) << r.err;
            EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
            if (c.status == 0) {
                EXPECT_EQ(r.err, "");
            } else {
                EXPECT_TRUE(r.out.empty()) << r.out;
                EXPECT_EQ(r.err.rfind(std::string(tool.name) + ": ", 0), 0u) << r.err;
                EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
                if (!c.err.empty()) {
                    EXPECT_EQ(r.err, std::string(tool.name) + ": " + c.err + "\n");
                }
            }
        }
    }
}

// A value given either way reaches the tool: a refused one is quoted back, a taken one shows.
TEST(ToolCommandLines, AValueComesWithASpaceOrAnEqualsSign) {
    const struct {
        const char *path;
        std::vector<std::string> args;
        int status;
        std::string out;  // the start of standard output
        std::string err;  // the whole standard error
    } cases[] = {
        {QEL_CAMSIM_TOOL,
         {"--write-frame=0", "--width=4", "--height", "2"},
         0,
         "P5\n4 2\n255\n",
         ""},
        {QEL_SOAK_TOOL,
         {"--loss=1000"},
         2,
         "",
         "qel-soak: --loss: '1000' is not a number from 0 to 999 (try --help)\n"},
        {QEL_SOAK_TOOL,
         {"--loss", "1000"},
         2,
         "",
         "qel-soak: --loss: '1000' is not a number from 0 to 999 (try --help)\n"},
        {QEL_SOAK_TOOL,
         {"--loss"},
         2,
         "",
         "qel-soak: option '--loss' needs a value (try --help)\n"},
        {QEL_RECV_TOOL,
         {"--local", "127.0.0.1", "--board=lab", "--port=1"},
         2,
         "",
         "qel-recv: --local and --board: give one of them, the board's address or its name "
         "(try --help)\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0]);
        const ToolRun r = run(c.path, c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out.substr(0, c.out.size()), c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(PixelFormats, NamesAndCodesAnswerEachOther) {
    using qel::tools::pixel_format_code;
    using qel::tools::pixel_format_name;
    EXPECT_EQ(pixel_format_name(0x01080009), "BayerRG8");
    EXPECT_EQ(pixel_format_code("bayerrg8"), 0x01080009u);
    EXPECT_EQ(pixel_format_code("Mono9"), std::nullopt);
    EXPECT_EQ(pixel_format_name(0x0108ffff), "0x0108ffff");
    // No name or code is in the table twice.
    for (const auto &a : qel::tools::kPixelFormats) {
        EXPECT_EQ(pixel_format_code(a.name), a.code) << a.name;
        EXPECT_EQ(pixel_format_name(a.code), a.name) << a.name;
    }
}

}  // namespace
