// The command line: what each option sets, the rules between options, and the one-line
// complaint for each kind of bad input.
#include <gtest/gtest.h>

#include <sstream>

#include "recv/options.h"

namespace qel::recv_tool {
namespace {

std::vector<std::string> split(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

struct Refused {
    const char *args;
    const char *message;
};

void PrintTo(const Refused &c, std::ostream *os) {
    *os << c.args;
}

class RefusedCommandLine : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedCommandLine, GivesItsReason) {
    const ParseResult r = parse_options(split(GetParam().args));
    EXPECT_FALSE(r.help);
    EXPECT_EQ(r.error, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, RefusedCommandLine,
    ::testing::Values(
        Refused{"--local 127.0.0.1 --port 5 --frobnicate", "unknown option '--frobnicate'"},
        Refused{"--local 127.0.0.1 --port 5 extra", "unexpected argument 'extra'"},
        Refused{"--local 127.0.0.1 --port", "option '--port' needs a value"},
        Refused{"--demo=1", "option '--demo' takes no value"},
        Refused{"--port 5", "--local ADDR is needed (or --demo)"},
        Refused{"--local 127.0.0.1", "--port N is needed (or --demo)"},
        Refused{"--local 127.0.0.256 --port 5", "--local: '127.0.0.256' is not an IPv4 address"},
        Refused{"--local 127.0.0.1 --port 65536",
                "--port: '65536' is not a number from 1 to 65535"},
        Refused{"--local 127.0.0.1 --port 5 --buffer-size 4G",
                "--buffer-size: '4G' is not a size from 1 to 4294967295 bytes"},
        Refused{"--local 127.0.0.1 --port 5 --buffer-size 0",
                "--buffer-size: '0' is not a size from 1 to 4294967295 bytes"},
        Refused{"--local 127.0.0.1 --port 5 --duration -1",
                "--duration: '-1' is not a number of seconds above 0, up to 86400"},
        Refused{"--local 127.0.0.1 --port 5 --mode fast",
                "--mode: 'fast' is not one of poll, resend, worker"},
        Refused{"--local 127.0.0.1 --port 5 --mode resend",
                "--mode resend needs --camera ADDR, where resend requests go"},
        Refused{"--local 127.0.0.1 --port 5 --mode poll --cpu 1",
                "--cpu pins the receive worker: it needs --mode worker"},
        Refused{"--local 127.0.0.1 --port 5 --group 10.0.0.1",
                "--group: '10.0.0.1' is not a multicast address (224.0.0.0/4)"},
        Refused{"--local 127.0.0.1 --port 5 --group 239.1.1.1 --camera 10.0.0.2",
                "--group and --camera: zero-loss receive is offered on unicast streams only"},
        Refused{"--demo --port 5",
                "--demo chooses its own stream: --local, --port, --group and --camera are not "
                "for it"},
        Refused{"--demo --frames 5",
                "--demo receives every frame it sends: --frames and --duration are not for it"},
        Refused{"--demo --mode poll",
                "--demo receives with resend: --mode must be resend or worker"}));

TEST(CommandLine, OptionsSetWhatTheySay) {
    const ParseResult r = parse_options(
        split("--local=10.1.2.3 --port 50010 --camera 10.1.2.9 --camera-port 4000 --channel 2 "
              "--buffers 8 --buffer-size 16M --frames 7 --duration 2.5 --save /tmp/x "
              "--save-every 3 --json --quiet --extended-ids --keep-incomplete"));
    ASSERT_EQ(r.error, "");
    const Options &o = r.options;
    EXPECT_EQ(o.local_address, "10.1.2.3");
    EXPECT_EQ(o.port, 50010);
    EXPECT_EQ(o.camera_address, "10.1.2.9");
    EXPECT_EQ(o.camera_port, 4000);
    EXPECT_EQ(o.channel, 2);
    EXPECT_EQ(o.mode, Mode::resend) << "a camera address means resend";
    EXPECT_EQ(o.buffers, 8u);
    EXPECT_EQ(o.buffer_size, 16u << 20);
    EXPECT_EQ(o.frames, 7u);
    EXPECT_DOUBLE_EQ(o.duration_s, 2.5);
    EXPECT_EQ(o.save_dir, "/tmp/x");
    EXPECT_EQ(o.save_every, 3u);
    EXPECT_TRUE(o.json && o.quiet && o.extended_ids && o.keep_incomplete);
}

struct ModeCase {
    const char *args;
    Mode mode;
    std::optional<uint32_t> cpu;
};

class ModeChoice : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ModeChoice, FollowsTheOptionsGiven) {
    const ParseResult r = parse_options(split(GetParam().args));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.options.mode, GetParam().mode);
    EXPECT_EQ(r.options.worker_cpu, GetParam().cpu);
    EXPECT_EQ(r.options.buffer_size, 0u) << "from the first block unless given";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ModeChoice,
    ::testing::Values(ModeCase{"--local 127.0.0.1 --port 5", Mode::poll, std::nullopt},
                      ModeCase{"--local 127.0.0.1 --port 5 --cpu 0", Mode::worker, 0u},
                      ModeCase{"--local 127.0.0.1 --port 5 --camera 127.0.0.2 --mode worker",
                               Mode::worker, std::nullopt},
                      ModeCase{"--demo", Mode::resend, std::nullopt},
                      ModeCase{"--demo --cpu 1", Mode::worker, 1u}));

}  // namespace
}  // namespace qel::recv_tool
