// The command line: what each option sets, the rules between options, and the one-line
// complaint for each kind of bad input.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "recv/options.h"

namespace qel::recv_tool {
namespace {

ParseResult parse(const std::string &line) {
    std::istringstream in(line);
    return parse_options({std::istream_iterator<std::string>(in), {}});
}

TEST(CommandLine, BadInputGivesItsReason) {
    const std::string at = "--local 127.0.0.1 --port 5 ";
    const std::pair<std::string, const char *> cases[] = {
        {at + "--frobnicate", "unknown option '--frobnicate'"},
        {at + "extra", "unexpected argument 'extra'"},
        {"--local 127.0.0.1 --port", "option '--port' needs a value"},
        {"--demo=1", "option '--demo' takes no value"},
        {"--port 5", "--local ADDR is needed (or --demo)"},
        {"--local 127.0.0.1", "--port N is needed (or --demo)"},
        {"--local 127.0.0.256 --port 5", "--local: '127.0.0.256' is not an IPv4 address"},
        {"--local 127.0.0.1 --port 65536", "--port: '65536' is not a number from 1 to 65535"},
        {at + "--buffer-size 4G", "--buffer-size: '4G' is not a size from 1 to 4294967295 bytes"},
        {at + "--buffer-size 0", "--buffer-size: '0' is not a size from 1 to 4294967295 bytes"},
        {at + "--duration -1", "--duration: '-1' is not a number of seconds above 0, up to 86400"},
        {at + "--mode fast", "--mode: 'fast' is not one of poll, resend, worker"},
        {at + "--mode resend", "--mode resend needs --camera ADDR, where resend requests go"},
        {at + "--mode poll --cpu 1", "--cpu pins the receive worker: it needs --mode worker"},
        {at + "--group 10.0.0.1", "--group: '10.0.0.1' is not a multicast address (224.0.0.0/4)"},
        {at + "--group 239.1.1.1 --camera 10.0.0.2",
         "--group and --camera: zero-loss receive is offered on unicast streams only"},
        {"--demo --port 5",
         "--demo chooses its own stream: --local, --port, --group and --camera are not for it"},
        {"--demo --frames 5",
         "--demo receives every frame it sends: --frames and --duration are not for it"},
        {"--demo --mode poll", "--demo receives with resend: --mode must be resend or worker"},
    };
    for (const auto &[args, message] : cases) {
        const ParseResult r = parse(args);
        EXPECT_FALSE(r.help) << args;
        EXPECT_EQ(r.error, message) << args;
    }
}

TEST(CommandLine, OptionsSetWhatTheySay) {
    const ParseResult r = parse(
        "--local=10.1.2.3 --port 50010 --camera 10.1.2.9 --camera-port 4000 --channel 2 "
        "--buffers 8 --buffer-size 16M --frames 7 --duration 2.5 --save /tmp/x "
        "--save-every 3 --json --quiet --extended-ids --keep-incomplete");
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

TEST(CommandLine, TheModeFollowsTheOptionsGiven) {
    const struct {
        const char *args;
        Mode mode;
        std::optional<uint32_t> cpu;
    } cases[] = {
        {"--local 127.0.0.1 --port 5", Mode::poll, std::nullopt},
        {"--local 127.0.0.1 --port 5 --cpu 0", Mode::worker, 0u},
        {"--local 127.0.0.1 --port 5 --camera 127.0.0.2 --mode worker", Mode::worker, std::nullopt},
        {"--demo", Mode::resend, std::nullopt},
        {"--demo --cpu 1", Mode::worker, 1u}};
    for (const auto &c : cases) {
        const ParseResult r = parse(c.args);
        ASSERT_EQ(r.error, "") << c.args;
        EXPECT_EQ(r.options.mode, c.mode) << c.args;
        EXPECT_EQ(r.options.worker_cpu, c.cpu) << c.args;
        EXPECT_EQ(r.options.buffer_size, 0u) << "from the first block unless given";
    }
}

}  // namespace
}  // namespace qel::recv_tool
