// The built qel-recv, run as a child process: the demo, the one-line reason and exit status of
// each kind of bad input, and a saved PNG file that decodes to the frame the camera sent.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "camsim/camsim.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

// The camera simulator streaming 64x48 mono8 frames to 127.0.0.1:port until stopped.
camsim::Config camera(uint16_t port) {
    camsim::Config c;
    c.dest_port = port;
    c.listen = false;
    c.width = 64;
    c.height = 48;
    c.frame_rate = 50;
    return c;
}

TEST(QelRecvDemo, EveryFrameArrivesThroughResend) {
    const ToolResult r = run_qel_recv({"--demo", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_GT(j["frames_sent"].get<uint64_t>(), 0u);
    EXPECT_EQ(j["frames_lost"], 0);
    EXPECT_GT(j["resend_requests"].get<uint64_t>(), 0u);
}

enum class Meanwhile { nothing, camera_streams, port_held, run_unprivileged };

TEST(QelRecv, BadInputGivesOneLineAndAFailureStatus) {
    const uint16_t port = camsim::free_loopback_port();
    const std::string p = std::to_string(port);
    const struct {
        std::string args;
        Meanwhile meanwhile;
        int status;
        std::string message;  // the whole standard error but for "qel-recv: "
    } cases[] = {
        {"--frobnicate", Meanwhile::nothing, 2, "unknown option '--frobnicate' (try --help)"},
        {"--local 192.0.2.1 --port 50000", Meanwhile::nothing, 1,
         "no adapter board carries the address 192.0.2.1"},
        {"--local 127.0.0.1 --port " + p, Meanwhile::port_held, 1,
         "port " + p + " on 127.0.0.1 is in use"},
        {"--local 127.0.0.1 --port " + p + " --buffer-size 2K --frames 3 --quiet",
         Meanwhile::camera_streams, 1,
         "a frame does not fit the 2048-byte buffers: give a larger --buffer-size"},
        {"--local 127.0.0.1 --port 1", Meanwhile::run_unprivileged, 1,
         "no permission to receive on port 1 on 127.0.0.1 (ports below 1024 need root or "
         "CAP_NET_BIND_SERVICE)"},
    };
    int unprivileged_start = 0;
    std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivileged_start;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        if (c.meanwhile == Meanwhile::run_unprivileged && unprivileged_start <= 1) continue;
        camsim::Config camera_config = camera(port);
        // A camera sending from the port itself holds it.
        if (c.meanwhile == Meanwhile::port_held) camera_config.source_port = port;
        camsim::Simulator sim(camera_config);
        if (c.meanwhile == Meanwhile::camera_streams || c.meanwhile == Meanwhile::port_held) {
            ASSERT_EQ(sim.start(), "");
        }
        std::istringstream words(c.args);
        const ToolResult r =
            run_qel_recv({std::istream_iterator<std::string>(words), {}},
                         c.meanwhile == Meanwhile::run_unprivileged && geteuid() == 0);
        sim.stop();
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "qel-recv: " + c.message + "\n");
    }
}

TEST(QelRecv, ASavedFrameDecodesToTheFrameTheCameraSent) {
    ScratchDir dir;
    const uint16_t port = camsim::free_loopback_port();
    camsim::Simulator sim(camera(port));
    ASSERT_EQ(sim.start(), "");
    const ToolResult r = run_qel_recv({"--local", "127.0.0.1", "--port", std::to_string(port),
                                       "--frames", "1", "--save", dir.path(), "--json", "--quiet"});
    sim.stop();
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_EQ(j["saved"].size(), 1u) << r.out;
    const std::string path = j["saved"][0];
    std::smatch m;
    ASSERT_TRUE(std::regex_search(path, m, std::regex(R"(-block-(\d+)\.png$)"))) << path;
    const auto frame = sim.frame_of_block(std::stoull(m[1]));
    ASSERT_TRUE(frame.has_value()) << path;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << path;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
    EXPECT_EQ(pixels, sim.expected_payload(*frame));
}

}  // namespace
}  // namespace qel::recv_tool::test
