// qel-recv finds, configures, starts, receives from, stops and releases Aravis's fake GigE
// Vision camera on loopback; and says in one line why it cannot when the camera is missing or
// held by another client.
#include <gtest/gtest.h>

#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "camera_process.h"
#include "qelcamera.h"
#include "recv_tool/checks.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

// Aravis's fake camera.
class FakeCamera : public CameraProcess {
public:
    FakeCamera() : CameraProcess({QEL_ARV_FAKE_CAMERA, "-i", "127.0.0.1"}) {}
};

// Every frame arrives complete, in both receive modes with resend, and the camera is free for
// the next controller afterwards.
TEST(CameraControl, QelRecvStreamsFromTheCameraAndGivesItBack) {
    FakeCamera fake;
    ASSERT_TRUE(fake.ready());
    for (const char *mode : {"resend", "worker"}) {
        SCOPED_TRACE(mode);
        const ToolResult r =
            run_qel_recv({"--control-camera", "127.0.0.1", "--mode", mode, "--width", "64",
                          "--height", "48", "--pixel-format", "Mono8", "--frame-rate", "50",
                          "--packet-size", "1400", "--frames", "20", "--json", "--quiet"});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        EXPECT_EQ(j["frames_delivered"], 20) << r.out;
        EXPECT_EQ(j["frames_incomplete"], 0) << r.out;
        EXPECT_EQ(j["frames_dropped"], 0) << r.out;
        // The image size asked for: a Mono8 frame of 64x48.
        EXPECT_EQ(j["bytes"], 20 * 64 * 48) << r.out;
        qelcam_camera_t *next = nullptr;
        EXPECT_EQ(qelcam_open("127.0.0.1", &next), QELCAM_OK) << qelcam_last_error();
        qelcam_close(next);
    }
}

TEST(CameraControl, ACameraThatCannotBeHadGivesOneLineAndAFailureStatus) {
    FakeCamera fake;
    ASSERT_TRUE(fake.ready());
    qelcam_camera_t *held = nullptr;
    ASSERT_EQ(qelcam_open("127.0.0.1", &held), QELCAM_OK) << qelcam_last_error();
    ToolResult r = run_qel_recv({"--control-camera", "127.0.0.1", "--frames", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qel-recv: camera Aravis-Fake-GV01 is controlled by another client\n");
    qelcam_close(held);
    // An address no camera answers on (a documentation network).
    r = run_qel_recv({"--control-camera", "192.0.2.1", "--frames", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "qel-recv: no GigE Vision camera answered as 192.0.2.1\n");
}

// A camera that stops answering while qel-recv controls it: the run ends with one line and
// status 1 (and its summary, when the camera had streamed).
TEST(CameraControl, ACameraThatStopsAnsweringEndsTheRun) {
    FakeCamera fake;
    ASSERT_TRUE(fake.ready());
    const uint16_t port = qel::recv_tool::free_port("127.0.0.1");
    ASSERT_NE(port, 0);
    auto run = std::async(std::launch::async, [&] {
        return run_qel_recv({"--control-camera", "127.0.0.1", "--port", std::to_string(port),
                             "--duration", "45", "--json", "--quiet"});
    });
    const bool bound = wait_until_bound(port);
    fake.freeze(true);
    const ToolResult r = run.get();
    fake.freeze(false);
    ASSERT_TRUE(bound);
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<std::string> lines;
    std::istringstream err(r.err);
    for (std::string line; std::getline(err, line);) {
        if (line.starts_with("qel-recv: ")) lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 1u) << r.err;
    // It froze while streaming (the usual case), or while being configured or started.
    const bool lost =
        lines[0] == "qel-recv: lost control of camera Aravis-Fake-GV01: it stopped answering";
    EXPECT_TRUE(lost || lines[0].starts_with("qel-recv: the camera did not start") ||
                lines[0].starts_with("qel-recv: the camera did not take the stream destination"))
        << r.err;
    // Once it streamed, the run shows its summary too.
    if (lost) {
        EXPECT_TRUE(nlohmann::json::parse(r.out, nullptr, false).is_object()) << r.out;
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
