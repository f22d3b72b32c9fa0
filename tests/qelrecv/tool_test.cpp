// The built qel-recv, run as a child process: the demo, the one-line reason and exit status of
// each kind of bad input, and a saved PNG file that decodes to the frame the camera sent.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "camsim/camsim.h"
#include "recv_tool/frame_saver.h"
#include "recv_tool/png_writer.h"
#include "support/other_user.h"
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
    const ToolResult r =
        run_qel_recv({"--local", "127.0.0.1", "--port", std::to_string(port), "--frames", "1",
                      "--save", dir.path() + "/made/here", "--json", "--quiet"});
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

TEST(QelRecv, AFormatThatCannotBeSavedIsNamedWithThoseThatCan) {
    const std::vector<uint8_t> pixels(8);
    EXPECT_EQ(write_png(-1, "x.png", {tools::pixel_format("BayerRG8"), 4, 2, 0, pixels}),
              "pixel format BayerRG8 cannot be saved as PNG; Mono8, Mono16, RGB8 and BGR8 can");
}

// Gaps between frames longer than the poll's wait of 100 ms are waited through.
TEST(QelRecv, ASlowCameraIsWaitedFor) {
    const uint16_t port = camsim::free_loopback_port();
    camsim::Config config = camera(port);
    config.frame_rate = 4;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.start(), "");
    const ToolResult r = run_qel_recv(
        {"--local", "127.0.0.1", "--port", std::to_string(port), "--frames", "3", "--quiet"});
    sim.stop();
    EXPECT_EQ(r.status, 0) << r.err;
}

// --metrics FILE: the telemetry add-on writes the stream's counters there, and the summary
// still reads them from the library once the export has ended.
TEST(QelRecv, MetricsGoToTheNamedFileAndTheSummaryKeepsItsCounters) {
    ScratchDir dir;
    const std::string file = dir.path() + "/qel.prom";
    const uint16_t port = camsim::free_loopback_port();
    camsim::Simulator sim(camera(port));
    ASSERT_EQ(sim.start(), "");
    const ToolResult r = run_qel_recv({"--local", "127.0.0.1", "--port=" + std::to_string(port),
                                       "--frames", "20", "--metrics=" + file, "--json", "--quiet"},
                                      false, {std::string("LD_LIBRARY_PATH=") + QEL_ADDON_DIR});
    sim.stop();
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    EXPECT_EQ(j["stats"]["blocks_complete"], 20) << r.out;
    // Ending the export may wait for its pass: that wait is not part of the run. 20 frames at
    // 50 a second take 0.4 s; the export writes every five.
    EXPECT_LT(j["seconds"].get<double>(), 4.5) << r.out;
    const std::string text = qel::test::read_text(file);
    EXPECT_NE(text.find("\nqel_stream_blocks_complete_total{board=\"0\""), std::string::npos)
        << text;
}

// A run folder the adapter cannot use is reported with the adapter's reason, and blamed on no
// one else.
TEST(QelRecv, AnUnusableRunFolderIsReportedAsSuch) {
    ScratchDir dir;
    const std::string file = dir.path() + "/file";
    qel::test::write_text(file, "");
    const ToolResult r = run_qel_recv(
        {"--local", "127.0.0.1", "--port", std::to_string(camsim::free_loopback_port())}, false,
        {"QEL_ADAPTER_RUN_DIR=" + file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qel software adapter: cannot keep endpoint locks: " + file +
                         " is not a folder\nqel-recv: the adapter refused its endpoints: access "
                         "refused (13)\n");
}

// Another user's folder, or links another user planted where images go: nothing of theirs is
// written, and the run says why it saved nothing.
TEST(QelRecv, NoImageIsWrittenThroughAnotherUsersFolderOrLink) {
    QEL_NEED_ROOT();
    using qel::test::give_to_other_user;
    enum class Plant { demo_folder, save_folder, links };
    const struct {
        Plant plant;
        int status;
        std::string message;  // part of the standard error
    } cases[] = {
        {Plant::demo_folder, 1, "qel-recv-demo belongs to another user"},
        {Plant::save_folder, 1, "belongs to another user"},
        {Plant::links, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.plant));
        ScratchDir dir;
        const std::string images =
            dir.path() + (c.plant == Plant::demo_folder ? "/qel-recv-demo" : "/images");
        // Open to all; where the links are planted, sticky as /tmp is (a folder the tool
        // accepts when named).
        const mode_t mode = c.plant == Plant::links ? 01777 : 0777;
        ASSERT_EQ(mkdir(images.c_str(), mode), 0);
        ASSERT_EQ(chmod(images.c_str(), mode), 0);
        const std::string victim = dir.path() + "/victim";
        qel::test::write_text(victim, "precious");
        if (c.plant == Plant::links) {
            for (uint64_t block = 1; block <= 20; ++block) {
                const std::string link = images + "/" + frame_file_name(1, block);
                ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
                give_to_other_user(link);
            }
        } else {
            give_to_other_user(images);
        }
        const uint16_t port = camsim::free_loopback_port();
        camsim::Simulator sim(camera(port));
        ToolResult r;
        if (c.plant == Plant::demo_folder) {
            setenv("TMPDIR", dir.path().c_str(), 1);
            r = run_qel_recv({"--demo", "--json", "--quiet"});
            unsetenv("TMPDIR");
        } else {
            ASSERT_EQ(sim.start(), "");
            r = run_qel_recv({"--local", "127.0.0.1", "--port", std::to_string(port), "--frames",
                              "1", "--save", images, "--json", "--quiet"});
            sim.stop();
        }
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(qel::test::read_text(victim), "precious");
        for (const auto &entry : std::filesystem::directory_iterator(images)) {
            EXPECT_TRUE(entry.is_symlink()) << "written into their folder: " << entry.path();
        }
        if (c.plant == Plant::links) {
            const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
            EXPECT_EQ(j["saved"].size(), 0u) << r.out;
            EXPECT_NE(j["save_error"].get<std::string>().find("is a symbolic link"),
                      std::string::npos)
                << r.out;
        }
    }
}

}  // namespace
}  // namespace qel::recv_tool::test
