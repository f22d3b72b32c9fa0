// The built qel-recv, run as a child process: the demo, the one-line reason and exit status of
// each kind of bad input, and a saved PNG file that decodes to the frame the camera sent.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "camsim/camsim.h"
#include "recv_tool/checks.h"
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

// By default the tool asks for the lost packets only: the camera sends again little more than
// was lost. Asked for whole tails, it sends far more; either way no frame is lost.
TEST(QelRecvDemo, EveryFrameArrivesThroughResend) {
    uint64_t resent[2] = {0, 0};
    for (const bool whole_tail : {false, true}) {
        SCOPED_TRACE(whole_tail ? "whole tail" : "ranged");
        std::vector<std::string> args{"--demo", "--json", "--quiet"};
        if (whole_tail) args.emplace_back("--whole-tail-resend");
        const ToolResult r = run_qel_recv(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_GT(j["frames_sent"].get<uint64_t>(), 0u);
        EXPECT_EQ(j["frames_lost"], 0);
        EXPECT_GT(j["resend_requests"].get<uint64_t>(), 0u);
        const uint64_t lost = j["packets_lost_on_the_wire"].get<uint64_t>();
        resent[whole_tail] = j["packets_resent"].get<uint64_t>();
        ASSERT_GT(lost, 0u);
        if (!whole_tail) {
            EXPECT_LE(resent[0], lost * 3 / 2) << r.out;
        }
    }
    EXPECT_GT(resent[1], resent[0]);
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
        {"--local 127.0.0.1 --port 5 --width 64", Meanwhile::nothing, 2,
         "--packet-size, --pixel-format, --width, --height and --frame-rate set a camera "
         "qel-recv controls: they need --control-camera (try --help)"},
        {"--control-camera any --width 64", Meanwhile::nothing, 2,
         "--width and --height come together (try --help)"},
        {"--list-cameras --port 5", Meanwhile::nothing, 2,
         "--list-cameras lists and ends: it takes no stream options (try --help)"},
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

// A camera that never streams is not a receive error in any mode: the run waits the first
// frame's time, shows its summary and then says what is wrong. A receive buffer smaller than
// the adapter asks for is said once.
TEST(QelRecv, AQuietCameraEndsWithTheSummaryAndOneLineInEveryMode) {
    const uint16_t port = camsim::free_loopback_port();
    const std::string p = std::to_string(port);
    const std::string nobody_listens = std::to_string(camsim::free_loopback_port());
    const std::string no_frame =
        "qel-recv: no frame came within 0.3 s: is the camera streaming to 127.0.0.1:" + p + "?\n";
    // Kept within what any user may have, or beyond what one without privilege may.
    const std::string small = "QEL_ADAPTER_RCVBUF=65536", huge = "QEL_ADAPTER_RCVBUF=1073741824";
    const struct {
        std::vector<std::string> args;
        std::string env;
        std::string before;  // how the tool's line before the no-frame line starts
    } cases[] = {
        {{"--mode", "poll"}, small, ""},
        {{"--camera", "127.0.0.1", "--camera-port", nobody_listens}, small, ""},
        {{"--mode", "worker", "--camera", "127.0.0.1", "--camera-port", nobody_listens}, small, ""},
        {{"--mode", "worker"}, huge, "qel-recv: the socket receive buffer is "},
    };
    unsigned long long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[1]);
        if (c.env == huge && rmem_max >= (1ull << 30)) continue;
        std::vector<std::string> args{
            "--local", "127.0.0.1", "--port", p, "--json", "--quiet", "--first-frame-timeout",
            "0.3"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        // Unprivileged: a root run would be granted any buffer.
        const ToolResult r = run_qel_recv(args, geteuid() == 0, {c.env});
        EXPECT_EQ(r.status, 1);
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_EQ(j["frames_delivered"], 0) << r.out;
        // The tool's lines (the library's worker may add one of its own).
        std::vector<std::string> lines;
        std::istringstream err(r.err);
        for (std::string line; std::getline(err, line);) {
            if (line.starts_with("qel-recv: ")) lines.push_back(line + "\n");
        }
        ASSERT_EQ(lines.size(), c.before.empty() ? 1u : 2u) << r.err;
        EXPECT_EQ(lines.back(), no_frame);
        if (!c.before.empty()) {
            EXPECT_TRUE(lines[0].starts_with(c.before)) << r.err;
            EXPECT_NE(lines[0].find("not the 1073741824 asked for"), std::string::npos);
            EXPECT_NE(lines[0].find("net.core.rmem_max"), std::string::npos);
        }
    }
}

// Frames the camera sent with a packet missing: dropped by poll mode, and after a resend
// series that no one answers with resend. Each is counted as incomplete, the given-up resend
// series by what ended them; the causes add up to the frames dropped.
TEST(QelRecv, EveryLostFrameIsCountedByItsCause) {
    const struct {
        std::vector<std::string> args;
        bool resend;
    } cases[] = {
        {{"--mode", "poll"}, false},
        {{"--camera", "127.0.0.1", "--block-timeout", "50", "--max-requests", "2"}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.resend);
        const uint16_t port = camsim::free_loopback_port();
        camsim::Config config = camera(port);
        for (uint64_t frame = 0; frame < 3; ++frame) config.faults.drops.push_back({frame, 1});
        camsim::Simulator sim(config);
        std::vector<std::string> args{
            "--local",  "127.0.0.1", "--port",        std::to_string(port),
            "--frames", "4",         "--buffer-size", "4K",
            "--json",   "--quiet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        // Resend requests go to a port where no one answers.
        if (c.resend) {
            args.insert(args.end(),
                        {"--camera-port", std::to_string(camsim::free_loopback_port())});
        }
        // The camera starts once the tool receives, so that it sees the faulty frames.
        auto run = std::async(std::launch::async, [&] { return run_qel_recv(args); });
        ASSERT_TRUE(wait_until_bound(port));
        ASSERT_EQ(sim.start(), "");
        const ToolResult r = run.get();
        sim.stop();
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        const nlohmann::json &lost = j["frames_lost_by_cause"];
        EXPECT_EQ(lost["incomplete"], 3) << r.out;
        EXPECT_EQ(lost["no_buffer_queued"].get<uint64_t>() + lost["too_large"].get<uint64_t>() +
                      lost["out_of_order"].get<uint64_t>() + lost["incomplete"].get<uint64_t>(),
                  j["frames_dropped"].get<uint64_t>())
            << r.out;
        // Of the incomplete ones, those whose resend series the library gave up (the adapter
        // gives others up itself once later frames come).
        const uint64_t given_up =
            lost["block_timeout"].get<uint64_t>() + lost["resend_limit"].get<uint64_t>();
        if (c.resend) {
            EXPECT_GE(given_up, 1u) << r.out;
            EXPECT_LE(given_up, 3u) << r.out;
        } else {
            EXPECT_EQ(given_up, 0u) << r.out;
        }
    }
}

// The example of a zero-loss stream, on a stream with 1% packet loss: it counts every block it
// did not deliver (at least each gap in the block ids it printed), fails when there was any,
// and delivers the blocks it counts as received.
TEST(QelRecv, TheZeroLossExampleReportsEveryLostBlock) {
    const uint16_t port = camsim::free_loopback_port();
    camsim::Config config = camera(port);
    config.width = 320;
    config.height = 240;
    config.listen = true;
    config.control_address = "127.0.0.1";
    config.control_port = 0;
    config.faults.loss_per_mille = 10;
    camsim::Simulator sim(config);
    ASSERT_EQ(sim.start(), "");
    const ToolResult r = run_program(QEL_EXAMPLE_WORKER_RESEND,
                                     {"127.0.0.1", std::to_string(port),
                                      "127.0.0.1:" + std::to_string(sim.control_port()), "100"});
    sim.stop();
    std::istringstream lines(r.out);
    std::vector<uint64_t> ids;
    uint64_t lost = UINT64_MAX;
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("block ")) ids.push_back(std::stoull(line.substr(6)));
        if (line.starts_with("lost ")) lost = std::stoull(line.substr(5));
    }
    ASSERT_EQ(ids.size(), 100u) << r.out;
    ASSERT_NE(lost, UINT64_MAX) << r.out;
    uint64_t missing = 0;
    for (size_t i = 1; i < ids.size(); ++i) missing += ids[i] - ids[i - 1] - 1;
    EXPECT_GE(lost, missing) << r.out;
    EXPECT_EQ(r.status, lost == 0 ? 0 : 1) << r.err;
    if (lost != 0) {
        EXPECT_NE(r.err.find(" blocks lost"), std::string::npos) << r.err;
    }
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
            const std::vector<std::string> args{
                "--local",  "127.0.0.1", "--port",     std::to_string(port),
                "--frames", "1",         "--duration", "60",
                "--save",   images,      "--json",     "--quiet"};
            if (c.plant == Plant::links) {
                // The camera starts once the tool receives, so that the frame it saves is one
                // of the first, whose names the links took (a tool slow to start, under a
                // sanitizer, missed them and saved a frame no link was planted for).
                auto run = std::async(std::launch::async, [&] { return run_qel_recv(args); });
                ASSERT_TRUE(wait_until_bound(port));
                ASSERT_EQ(sim.start(), "");
                r = run.get();
            } else {
                ASSERT_EQ(sim.start(), "");
                r = run_qel_recv(args);
            }
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
