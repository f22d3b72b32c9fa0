// qel-camsim on the command line: --help documents every option, bad command lines get one
// line and a non-zero exit, a short run streams and prints its counters.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "wire_helpers.h"

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

// Every option, with a value it accepts (none for flags).
const char *const kOptions =
    "--dest 127.0.0.1|--port 5|--source 127.0.0.1|--source-port 0|--mcast-if 127.0.0.1|"
    "--mcast-ttl 1|--send-buffer 65536|--payload raw|--pixel-format rgb8|--width 8|--height 8|"
    "--data-size 100|--file /dev/null|--file-name x|--packet-size 8192|--extended-ids|"
    "--first-block-id 9|--fps 10|--packet-rate 10|--frames 1|--duration 0.5|--batch 8|"
    "--control-port 0|--control-addr 127.0.0.1|--no-control|--channel 1|--history 4|"
    "--ignore-resend|--linger 0|--seed 4|--loss 1|--burst 1|--burst-length 2|--lose-leader 1|"
    "--lose-trailer 1|--reorder 1|--reorder-distance 2|--duplicate 1|--drop 1:2|"
    "--write-frame 3|--quiet|--help";

TEST(Cli, HelpDocumentsEveryOptionAndEachIsAccepted) {
    const Result help = run_tool("--help");
    EXPECT_EQ(help.status, 0);
    std::istringstream options(kOptions);
    for (std::string given; std::getline(options, given, '|');) {
        const std::string option = given.substr(0, given.find(' '));
        EXPECT_NE(help.output.find("  " + option + " "), std::string::npos) << option;
        // --write-frame makes the run end at once without streaming.
        const Result r = run_tool(given + (option == "--write-frame" ? "" : " --write-frame 0") +
                                  " --payload raw --data-size 16 >/dev/null");
        EXPECT_EQ(r.output.find("unknown option"), std::string::npos) << given << ": " << r.output;
        EXPECT_EQ(r.output.find("needs a value"), std::string::npos) << given << ": " << r.output;
    }
}

TEST(Cli, BadCommandLinesGetOneLineAndExit2) {
    for (const char *arguments :
         {"--bogus", "stray", "--port", "--port 0", "--port 65536", "--port=abc",
          "--packet-size 63", "--packet-size 70000", "--payload jpeg", "--pixel-format bayer",
          "--fps -1", "--fps nan", "--loss 1001", "--drop 5", "--drop x:1", "--quiet=1",
          "--dest not-an-address --frames 1", "--first-block-id 70000 --frames 1",
          "--payload file --file /nonexistent/camsim"}) {
        const Result r = run_tool(arguments);
        EXPECT_EQ(r.status, 2) << arguments << ": " << r.output;
        EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 1) << arguments;
        EXPECT_EQ(r.output.rfind("qel-camsim: ", 0), 0u) << arguments << ": " << r.output;
    }
}

TEST(Cli, WriteFrameGivesAPortableGraymapOfTheFrame) {
    const Result r = run_tool("--write-frame 12 --width 30 --height 20");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.output.size(), 13u + 600);
    EXPECT_EQ(r.output.substr(0, 13), "P5\n30 20\n255\n");
    // Below the digits the ramp runs: pixel (0, 19) of frame 12.
    EXPECT_EQ(static_cast<uint8_t>(r.output[13 + 19 * 30]), 38 + 36);
}

TEST(Cli, AShortRunStreamsAndPrintsItsCounters) {
    camsim_test::UdpSocket receiver;
    const std::string arguments = "--port " + std::to_string(receiver.port()) +
                                  " --frames 3 --width 64 --height 64 --packet-rate 20000"
                                  " --control-port 0 --linger 0";
    Result r;
    std::thread tool([&] { r = run_tool(arguments); });
    const auto datagrams = receiver.receive_count(3 * 5, std::chrono::seconds(10));
    tool.join();
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(datagrams.size(), 15u);  // 4096 bytes: leader, 3 payload packets, trailer
    EXPECT_NE(r.output.find("\nframes_sent 3\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\npackets_sent 15\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("\nrequests_malformed 0\n"), std::string::npos) << r.output;
}

}  // namespace
