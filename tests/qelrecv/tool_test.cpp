// The built qel-recv, run as a child process: the demo, the one-line reason and exit status of
// each kind of bad input, and saved PNG files that decode to the frames the camera sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "camsim/camsim.h"
#include "png_decode.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

namespace fs = std::filesystem;

// The JSON object on the last line of the standard output.
nlohmann::json last_json_line(const std::string &out) {
    const size_t end = out.find_last_not_of('\n');
    if (end == std::string::npos) return {};
    const size_t start = out.rfind('\n', end);
    return nlohmann::json::parse(out.substr(start == std::string::npos ? 0 : start + 1), nullptr,
                                 false);
}

// The camera simulator streaming to 127.0.0.1:port until stopped (at most 20 s).
camsim::Config camera(uint16_t port, camsim::PixelFormat format = camsim::PixelFormat::mono8) {
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
    EXPECT_EQ(fs::path(saved).parent_path(), dir.path());
    EXPECT_TRUE(decode_png(saved).ok);
    EXPECT_NE(r.err.find("saved as " + saved), std::string::npos) << "says where: " << r.err;
}

// `text` with {port} and {dir} replaced.
std::string fill(std::string text, uint16_t port, const std::string &dir) {
    text = std::regex_replace(text, std::regex("\\{port\\}"), std::to_string(port));
    return std::regex_replace(text, std::regex("\\{dir\\}"), dir);
}

enum class Meanwhile { nothing, camera_streams, port_held, run_unprivileged };

TEST(QelRecv, BadInputGivesOneLineAndAFailureStatus) {
    const struct {
        const char *args;
        Meanwhile meanwhile;
        int status;
        const char *message;  // the whole standard error but for "qel-recv: "
    } cases[] = {
        {"--local 127.0.0.1 --port {port} --frobnicate", Meanwhile::nothing, 2,
         "unknown option '--frobnicate' (try --help)"},
        {"--local 192.0.2.1 --port 50000", Meanwhile::nothing, 1,
         "no adapter board carries the address 192.0.2.1"},
        {"--local 127.0.0.1 --port {port}", Meanwhile::port_held, 1,
         "port {port} on 127.0.0.1 is in use"},
        {"--local 127.0.0.1 --port {port} --buffer-size 2K --frames 3 --quiet",
         Meanwhile::camera_streams, 1,
         "a frame does not fit the 2048-byte buffers: give a larger --buffer-size"},
        {"--local 127.0.0.1 --port {port} --save {dir}", Meanwhile::run_unprivileged, 1,
         "--save: no permission to write into {dir}"},
        {"--local 127.0.0.1 --port 1", Meanwhile::run_unprivileged, 1,
         "no permission to receive on port 1 on 127.0.0.1 (ports below 1024 need root or "
         "CAP_NET_BIND_SERVICE)"},
    };
    int unprivileged_start = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivileged_start;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        if (c.meanwhile == Meanwhile::run_unprivileged && unprivileged_start <= 1) {
            continue;  // every port is open to every user here
        }
        ScratchDir scratch;
        const uint16_t port = free_udp_port();
        const std::string dir = scratch.path() + "/locked";
        if (c.meanwhile == Meanwhile::run_unprivileged) {
            // As root the run drops to nobody, who may reach the directory but not write there.
            using fs::perms;
            fs::permissions(scratch.path(),
                            perms::owner_all | perms::others_read | perms::others_exec);
            fs::create_directory(dir);
            fs::permissions(dir, perms::owner_read | perms::owner_exec | perms::others_read |
                                     perms::others_exec);
        }
        const int held = socket(AF_INET, SOCK_DGRAM, 0);
        if (c.meanwhile == Meanwhile::port_held) {
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            where.sin_port = htons(port);
            ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&where), sizeof where), 0);
        }
        camsim::Simulator sim(camera(port));
        if (c.meanwhile == Meanwhile::camera_streams) {
            ASSERT_EQ(sim.start(), "");
        }
        std::istringstream words(fill(c.args, port, dir));
        const std::vector<std::string> args{std::istream_iterator<std::string>(words), {}};
        const ToolResult r =
            run_qel_recv(args, c.meanwhile == Meanwhile::run_unprivileged && geteuid() == 0);
        sim.stop();
        close(held);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "qel-recv: " + fill(c.message, port, dir) + "\n");
    }
}

// Mono8 received by polling, RGB8 through a pinned worker.
TEST(QelRecv, SavedFramesDecodeToTheFramesTheCameraSent) {
    const struct {
        camsim::PixelFormat format;
        std::vector<std::string> mode;
        int color_type;
    } cases[] = {{camsim::PixelFormat::mono8, {}, PNG_COLOR_TYPE_GRAY},
                 {camsim::PixelFormat::rgb8, {"--cpu", "0"}, PNG_COLOR_TYPE_RGB}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.color_type);
        ScratchDir dir;
        const uint16_t port = free_udp_port();
        camsim::Simulator sim(camera(port, c.format));
        ASSERT_EQ(sim.start(), "");
        // The buffer size is left to the first block.
        std::vector<std::string> args{"--local",  "127.0.0.1", "--port",       std::to_string(port),
                                      "--frames", "3",         "--save",       dir.path(),
                                      "--json",   "--quiet",   "--save-every", "2"};
        args.insert(args.end(), c.mode.begin(), c.mode.end());
        const ToolResult r = run_qel_recv(args);
        sim.stop();
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = last_json_line(r.out);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["frames_delivered"], 3);
        EXPECT_EQ(j["buffer_size"], 4096u * ((sim.payload_size() + 4095) / 4096));
        ASSERT_EQ(j["saved"].size(), 2u) << "the first and the third";
        std::vector<uint64_t> sequences;
        for (const std::string path : j["saved"]) {
            const std::string file = fs::path(path).filename();
            std::smatch m;
            ASSERT_TRUE(std::regex_match(file, m, std::regex(R"(frame-(\d+)-block-(\d+)\.png)")))
                << file;
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
}

}  // namespace
}  // namespace qel::recv_tool::test
