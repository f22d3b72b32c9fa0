// The built qel-recv, run as a child process: the demo, the one-line reason and exit status of
// each kind of bad input, and saved PNG files that decode to the frames the camera sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "camsim/camsim.h"
#include "png_decode.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

// The JSON object on the last line of the standard output.
nlohmann::json last_json_line(const std::string &out) {
    const size_t end = out.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t start = out.rfind('\n', end);
    const std::string line = out.substr(start == std::string::npos ? 0 : start + 1);
    return nlohmann::json::parse(line, nullptr, false);
}

// The camera simulator streaming to 127.0.0.1:port until stopped (at most 20 s).
camsim::Config camera(uint16_t port, camsim::PixelFormat format) {
    camsim::Config c;
    c.dest_port = port;
    c.listen = false;
    c.pixel_format = format;
    c.width = 64;
    c.height = 48;
    c.frame_rate = 50;
    c.duration_ms = 20000;
    return c;
}

TEST(QelRecvDemo, EveryFrameArrivesThroughResendAndOneIsSaved) {
    ScratchDir dir;
    const ToolResult r = run_qel_recv({"--demo", "--json", "--quiet", "--save", dir.path()});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = last_json_line(r.out);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_GT(j["frames_sent"].get<uint64_t>(), 0u);
    EXPECT_EQ(j["frames_intact"], j["frames_sent"]);
    EXPECT_EQ(j["frames_lost"], 0);
    EXPECT_EQ(j["frames_corrupt"], 0);
    EXPECT_GT(j["packets_lost_on_the_wire"].get<uint64_t>(), 0u) << "the loss must have struck";
    EXPECT_GT(j["resend_requests"].get<uint64_t>(), 0u);
    EXPECT_EQ(j["resend_requests"], j["stats"]["resend_requests"]);
    ASSERT_EQ(j["saved"].size(), 1u);
    const std::string saved = j["saved"][0];
    EXPECT_EQ(std::filesystem::path(saved).parent_path(), dir.path());
    EXPECT_TRUE(decode_png(saved).ok);
    EXPECT_NE(r.err.find("saved as " + saved), std::string::npos) << "says where: " << r.err;
}

// ---- Bad input ----

struct BadContext {
    uint16_t port = 0;
    std::string dir;
};

struct BadInput {
    const char *name;
    int status;
    // The arguments and the whole standard error expected, made once the context is known.
    std::function<std::vector<std::string>(const BadContext &)> args;
    std::function<std::string(const BadContext &)> message;
    bool streams = false;     // a camera streams to the port meanwhile
    bool holds_port = false;  // a socket of the test holds the port
    bool unprivileged = false;
};

void PrintTo(const BadInput &c, std::ostream *os) {
    *os << c.name;
}

std::vector<std::string> on_port(const BadContext &c, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--local", "127.0.0.1", "--port", std::to_string(c.port)};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

class BadInputs : public ::testing::TestWithParam<BadInput> {};

TEST_P(BadInputs, GiveOneLineAndAFailureStatus) {
    const BadInput &b = GetParam();
    ScratchDir dir;
    BadContext context{free_udp_port(), dir.path() + "/locked"};
    if (b.unprivileged) {
        std::ifstream in("/proc/sys/net/ipv4/ip_unprivileged_port_start");
        int start = 0;
        in >> start;
        if (start <= 1) GTEST_SKIP() << "every port is open to every user here";
        // As root the run drops to nobody, who may reach the directory but not write there.
        std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all |
                                                     std::filesystem::perms::others_read |
                                                     std::filesystem::perms::others_exec);
        std::filesystem::create_directory(context.dir);
        std::filesystem::permissions(context.dir, std::filesystem::perms::owner_read |
                                                      std::filesystem::perms::owner_exec |
                                                      std::filesystem::perms::others_read |
                                                      std::filesystem::perms::others_exec);
    }
    int held = -1;
    if (b.holds_port) {
        held = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        where.sin_port = htons(context.port);
        ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
    }
    std::unique_ptr<camsim::Simulator> sim;
    if (b.streams) {
        sim = std::make_unique<camsim::Simulator>(camera(context.port, camsim::PixelFormat::mono8));
        ASSERT_EQ(sim->start(), "");
    }
    const ToolResult r = run_qel_recv(b.args(context), b.unprivileged && geteuid() == 0);
    if (sim) sim->stop();
    if (held >= 0) close(held);
    EXPECT_EQ(r.status, b.status);
    EXPECT_EQ(r.err, "qel-recv: " + b.message(context) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    QelRecv, BadInputs,
    ::testing::Values(
        BadInput{"UnknownOption", 2,
                 [](const BadContext &c) { return on_port(c, {"--frobnicate"}); },
                 [](const BadContext &) {
                     return std::string("unknown option '--frobnicate' (try --help)");
                 }},
        BadInput{"AddressNoBoardCarries", 1,
                 [](const BadContext &) {
                     return std::vector<std::string>{"--local", "192.0.2.1", "--port", "50000"};
                 },
                 [](const BadContext &) {
                     return std::string("no adapter board carries the address 192.0.2.1");
                 }},
        BadInput{"PortInUse", 1, [](const BadContext &c) { return on_port(c); },
                 [](const BadContext &c) {
                     return "port " + std::to_string(c.port) + " on 127.0.0.1 is in use";
                 },
                 false, true},
        BadInput{"BufferSmallerThanAFrame", 1,
                 [](const BadContext &c) {
                     return on_port(c, {"--buffer-size", "2K", "--frames", "3", "--quiet"});
                 },
                 [](const BadContext &) {
                     return std::string(
                         "a frame does not fit the 2048-byte buffers: give a larger "
                         "--buffer-size");
                 },
                 true},
        BadInput{"SaveWhereNoPermission", 1,
                 [](const BadContext &c) {
                     return on_port(c, {"--save", c.dir});
                 },
                 [](const BadContext &c) { return "--save: no permission to write into " + c.dir; },
                 false, false, true},
        BadInput{"PortBelow1024", 1,
                 [](const BadContext &) {
                     return std::vector<std::string>{"--local", "127.0.0.1", "--port", "1"};
                 },
                 [](const BadContext &) {
                     return std::string(
                         "no permission to receive on port 1 on 127.0.0.1 (ports below 1024 need "
                         "root or CAP_NET_BIND_SERVICE)");
                 },
                 false, false, true}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Saved frames ----

struct SaveCase {
    const char *name;
    camsim::PixelFormat format;
    std::vector<std::string> mode;
    int color_type;
};

void PrintTo(const SaveCase &c, std::ostream *os) {
    *os << c.name;
}

class SavedFrames : public ::testing::TestWithParam<SaveCase> {};

TEST_P(SavedFrames, DecodeToTheFramesTheCameraSent) {
    const SaveCase &c = GetParam();
    ScratchDir dir;
    const uint16_t port = free_udp_port();
    camsim::Simulator sim(camera(port, c.format));
    ASSERT_EQ(sim.start(), "");
    // The buffer size is left to the first block.
    std::vector<std::string> args{"--local",      "127.0.0.1", "--port", std::to_string(port),
                                  "--frames",     "3",         "--save", dir.path(),
                                  "--save-every", "2",         "--json", "--quiet"};
    args.insert(args.end(), c.mode.begin(), c.mode.end());
    const ToolResult r = run_qel_recv(args);
    sim.stop();
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = last_json_line(r.out);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["frames_delivered"], 3);
    EXPECT_EQ(j["buffer_size"], 4096u * ((sim.payload_size() + 4095) / 4096));
    ASSERT_EQ(j["saved"].size(), 2u) << "the first and the third";

    const std::regex name(R"(frame-(\d+)-block-(\d+)\.png)");
    std::vector<uint64_t> sequences;
    for (const auto &entry : j["saved"]) {
        const std::string path = entry;
        const std::string file = std::filesystem::path(path).filename();
        std::smatch m;
        ASSERT_TRUE(std::regex_match(file, m, name)) << file;
        sequences.push_back(std::stoull(m[1]));
        const auto frame = sim.frame_of_block(std::stoull(m[2]));
        ASSERT_TRUE(frame.has_value()) << file;
        const Decoded d = decode_png(path);
        ASSERT_TRUE(d.ok) << path;
        EXPECT_EQ(d.width, 64u);
        EXPECT_EQ(d.height, 48u);
        EXPECT_EQ(d.color_type, c.color_type);
        EXPECT_EQ(d.bit_depth, 8);
        EXPECT_EQ(d.pixels, sim.expected_payload(*frame)) << file;
    }
    EXPECT_EQ(sequences, (std::vector<uint64_t>{1, 3}));
}

INSTANTIATE_TEST_SUITE_P(
    QelRecv, SavedFrames,
    ::testing::Values(SaveCase{"Mono8Polling", camsim::PixelFormat::mono8, {}, PNG_COLOR_TYPE_GRAY},
                      SaveCase{"Rgb8ThroughAPinnedWorker",
                               camsim::PixelFormat::rgb8,
                               {"--cpu", "0"},
                               PNG_COLOR_TYPE_RGB}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
}  // namespace qel::recv_tool::test
