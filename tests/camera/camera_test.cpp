// qel-recv finds, configures, starts, receives from, stops and releases Aravis's fake GigE
// Vision camera on loopback; and says in one line why it cannot when a camera does not answer,
// refuses control, is held by another client or stops answering, leaving nothing held.
// Streaming runs carry a --duration: a camera whose frames never come fails the test with
// qel-recv's summary instead of holding it until ctest's timeout.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "camera_process.h"
#include "qelcamera.h"
#include "recv_tool/checks.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

// The fake camera's Mono8 test pattern at its default gain and exposure: a diagonal ramp that
// moves one step a frame, `frame` being the frame's 16-bit block id.
uint8_t ramp(uint32_t x, uint32_t y, uint64_t frame) {
    return static_cast<uint8_t>((x + y + frame % 65536) % 255);
}

// The block id in the name qel-recv gives a saved frame; 0 when it has none.
uint64_t saved_block_id(const std::string &path) {
    std::smatch m;
    return std::regex_search(path, m, std::regex(R"(-block-(\d+)\.png$)")) ? std::stoull(m[1]) : 0;
}

// Every frame arrives complete and equal to the camera's test pattern, in both receive modes
// with resend, and the camera is free for the next controller afterwards.
TEST(CameraControl, QelRecvStreamsFromTheCameraAndGivesItBack) {
    constexpr uint32_t kWidth = 64, kHeight = 48;
    FakeCamera fake;
    ASSERT_TRUE(fake.ready());
    for (const char *mode : {"resend", "worker"}) {
        SCOPED_TRACE(mode);
        const ScratchDir dir;
        const ToolResult r = run_qel_recv({"--control-camera", "127.0.0.1",
                                           "--mode",           mode,
                                           "--width",          std::to_string(kWidth),
                                           "--height",         std::to_string(kHeight),
                                           "--pixel-format",   "Mono8",
                                           "--frame-rate",     "50",
                                           "--packet-size",    "1400",
                                           "--frames",         "20",
                                           "--duration",       "120",
                                           "--save",           dir.path(),
                                           "--save-every",     "1",
                                           "--json",           "--quiet"});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["frames_delivered"], 20) << r.out;
        EXPECT_EQ(j["frames_incomplete"], 0) << r.out;
        EXPECT_EQ(j["frames_dropped"], 0) << r.out;
        // The image size asked for: a Mono8 frame of 64x48.
        EXPECT_EQ(j["bytes"], 20 * kWidth * kHeight) << r.out;
        ASSERT_EQ(j["saved"].size(), 20u) << r.out;
        for (const std::string path : j["saved"]) {
            const uint64_t frame = saved_block_id(path);
            ASSERT_NE(frame, 0u) << path;
            const std::vector<uint8_t> pixels = png_pixels(path, false);
            ASSERT_EQ(pixels.size(), size_t{kWidth} * kHeight) << path;
            size_t wrong = 0;
            for (uint32_t y = 0; y < kHeight; ++y) {
                for (uint32_t x = 0; x < kWidth; ++x) {
                    wrong += pixels[y * kWidth + x] != ramp(x, y, frame);
                }
            }
            EXPECT_EQ(wrong, 0u) << path;
        }
        EXPECT_TRUE(control_can_be_taken(fake.address()));
    }
}

// The fake camera can lose packets itself but does not resend any: qel-recv asks, counts each
// frame it could not deliver by its cause, and ends when the frames asked for were delivered.
TEST(CameraControl, ACameraThatLosesPacketsAndDoesNotResendIsCountedAndEnds) {
    FakeCamera fake({"--gvsp-lost-ratio", "10"});  // per thousand packets
    ASSERT_TRUE(fake.ready());
    // 320x240 Mono8 in 1400-byte packets: 57 packets a frame, about two frames in five
    // missing one.
    const ToolResult r =
        run_qel_recv({"--control-camera", "127.0.0.1", "--mode", "resend", "--width", "320",
                      "--height", "240", "--frame-rate", "50", "--packet-size", "1400", "--frames",
                      "30", "--duration", "120", "--json", "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_TRUE(j.is_object()) << r.out;
    EXPECT_EQ(j["frames_delivered"], 30) << r.out;
    const uint64_t lost =
        j["frames_incomplete"].get<uint64_t>() + j["frames_dropped"].get<uint64_t>();
    EXPECT_GT(lost, 0u) << r.out;
    EXPECT_GT(j["resend_requests"], 0) << r.out;
    // Each one under one cause (block timeouts and resend limits are kinds of incomplete).
    const nlohmann::json &causes = j["frames_lost_by_cause"];
    uint64_t by_cause = 0;
    for (const char *cause : {"no_buffer_queued", "too_large", "out_of_order", "firmware_status",
                              "incomplete", "watchdog"}) {
        by_cause += causes[cause].get<uint64_t>();
    }
    EXPECT_EQ(by_cause, lost) << r.out;
    EXPECT_GT(causes["incomplete"], 0) << r.out;
    EXPECT_TRUE(control_can_be_taken(fake.address()));
}

// The lines qel-recv wrote on standard error about itself.
std::vector<std::string> own_lines(const std::string &err) {
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("qel-recv: ")) lines.push_back(line);
    }
    return lines;
}

// Both devices: the fake camera and the simulator.
std::unique_ptr<CameraProcess> device(bool simulated, const std::vector<std::string> &extra = {}) {
    if (simulated) return std::make_unique<SimulatedCamera>(extra);
    return std::make_unique<FakeCamera>(extra);
}

TEST(CameraControl, ACameraThatIsControlledByAnotherClientGivesOneLineAndAFailureStatus) {
    for (const bool simulated : {false, true}) {
        SCOPED_TRACE(simulated ? "simulator" : "fake camera");
        const auto camera = device(simulated);
        ASSERT_TRUE(camera->ready());
        qelcam_camera_t *held = nullptr;
        ASSERT_EQ(qelcam_open(camera->address().c_str(), &held), QELCAM_OK) << qelcam_last_error();
        const ToolResult r = run_qel_recv({"--control-camera", camera->address(), "--frames", "1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "qel-recv: camera " + camera->id() + " is controlled by another client\n");
        qelcam_close(held);
        // It did not take control behind the holder's back.
        EXPECT_TRUE(control_can_be_taken(camera->address()));
    }
}

TEST(CameraControl, ACameraThatRefusesControlGivesOneLineAndAFailureStatus) {
    SimulatedCamera camera({"--refuse-control"});
    ASSERT_TRUE(camera.ready());
    const ToolResult r = run_qel_recv({"--control-camera", camera.address(), "--frames", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qel-recv: camera " + camera.id() + " refused control\n");
}

TEST(CameraControl, ACameraThatDoesNotAnswerGivesOneLineAndAFailureStatus) {
    // A loopback address nothing listens on.
    const ToolResult r = run_qel_recv({"--control-camera", "127.0.0.213", "--frames", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qel-recv: no GigE Vision camera answered as 127.0.0.213\n");
}

// A camera that stops answering while qel-recv controls it: the run ends with one line and
// status 1 (and its summary, when the camera had streamed); once it answers again, nothing
// holds it.
TEST(CameraControl, ACameraThatStopsAnsweringEndsTheRun) {
    for (const bool simulated : {false, true}) {
        SCOPED_TRACE(simulated ? "simulator" : "fake camera");
        const auto camera = device(simulated);
        ASSERT_TRUE(camera->ready());
        const uint16_t port = qel::recv_tool::free_port("127.0.0.1");
        ASSERT_NE(port, 0);
        auto run = std::async(std::launch::async, [&] {
            return run_qel_recv({"--control-camera", camera->address(), "--port",
                                 std::to_string(port), "--duration", "45", "--json", "--quiet"});
        });
        const bool bound = wait_until_bound(port);
        camera->freeze(true);
        const ToolResult r = run.get();
        camera->freeze(false);
        ASSERT_TRUE(bound);
        EXPECT_EQ(r.status, 1) << r.err;
        const std::vector<std::string> lines = own_lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        // It froze while streaming (the usual case), or while being configured or started.
        const bool lost = lines[0] == "qel-recv: lost control of camera " + camera->id() +
                                          ": it stopped answering";
        EXPECT_TRUE(
            lost || lines[0].starts_with("qel-recv: the camera did not start") ||
            lines[0].starts_with("qel-recv: the camera did not take the stream destination"))
            << r.err;
        // Once it streamed, the run shows its summary too.
        if (lost) {
            EXPECT_TRUE(nlohmann::json::parse(r.out, nullptr, false).is_object()) << r.out;
        }
        EXPECT_TRUE(control_can_be_taken(camera->address()));
    }
}

TEST(CameraControl, TheCameraIsListedWithTheInterfaceThatReachesIt) {
    FakeCamera fake;
    ASSERT_TRUE(fake.ready());
    const ToolResult r = run_qel_recv({"--list-cameras", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
    bool found = false;
    for (const auto &camera : j) {
        if (camera["address"] != "127.0.0.1") continue;
        found = true;
        EXPECT_EQ(camera["interface"], "lo");
        EXPECT_EQ(camera["interface_address"], "127.0.0.1");
        // The software adapter of the test runs on loopback.
        EXPECT_EQ(camera["adapter_board"], true);
    }
    EXPECT_TRUE(found) << r.out;
}

}  // namespace
}  // namespace qel::recv_tool::test
