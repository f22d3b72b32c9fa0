// The camera simulator as a GigE Vision device on loopback, driven by real clients: Aravis's
// own tools find, set and stream from it, and qel-recv controls it as it controls a camera,
// receiving every frame as the simulator draws it, with control given back at the end.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "camera_process.h"
#include "core/byte_order.h"
#include "qelcamera.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The pixels of frame `frame` as qel-camsim --write-frame gives them (without the PGM or PPM
// header when it has one).
std::vector<uint8_t> written_frame(uint64_t frame, const std::vector<std::string> &image,
                                   bool header) {
    std::vector<std::string> args = {"--write-frame", std::to_string(frame)};
    args.insert(args.end(), image.begin(), image.end());
    const ToolResult r = run_program(QEL_CAMSIM_TOOL, args);
    EXPECT_EQ(r.status, 0) << r.err;
    // The header is three lines: magic, size, maximum value.
    size_t body = 0;
    for (int line = 0; header && line < 3 && body != std::string::npos; ++line) {
        body = r.out.find('\n', body);
        if (body != std::string::npos) ++body;
    }
    if (body == std::string::npos) return {};
    return {r.out.begin() + static_cast<std::ptrdiff_t>(body), r.out.end()};
}

TEST(SimulatedCamera, AravisToolsFindSetAndStreamFromIt) {
    SimulatedCamera camera;
    ASSERT_TRUE(camera.ready());
    // Broadcast discovery finds it, under the id its names make.
    ToolResult r = run_program(QEL_ARV_TOOL, {});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, camera.id() + " (127.0.0.2)")) << r.out;
    // Features are written through the GenICam description and stay written.
    r = run_program(QEL_ARV_TOOL, {"-a", "127.0.0.2", "control", "Width=128", "Height=100",
                                   "PixelFormat=RGB8", "DeviceModelName"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "DeviceModelName = camsim")) << r.out;
    r = run_program(QEL_ARV_TOOL,
                    {"-a", "127.0.0.2", "control", "Width", "PixelFormat", "PayloadSize"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Width = 128")) << r.out;
    EXPECT_TRUE(contains(r.out, "PixelFormat = RGB8")) << r.out;
    EXPECT_TRUE(contains(r.out, "PayloadSize = 38400")) << r.out;
}

// The counter `name` as arv-camera-test prints it at the end ("name = value"); -1 if absent.
long long arv_counter(const std::string &text, const std::string &name) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(name + R"(\s*=\s*(\d+))"))) return -1;
    return std::stoll(m[1]);
}

// arv-camera-test streams until interrupted, printing the frame rate every second: it runs
// until it reported frames three times, and its counters show every frame complete.
TEST(SimulatedCamera, ArvCameraTestStreamsCompleteFrames) {
    SimulatedCamera camera({"--loss", "10"});
    ASSERT_TRUE(camera.ready());
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        // Line-buffered, so that its reports come while it runs; packet timeout and frame
        // retention long enough for resent packets on a loaded machine.
        execlp("stdbuf", "stdbuf", "-oL", QEL_ARV_CAMERA_TEST, "-n", "127.0.0.2", "-w", "320", "-h",
               "240", "-f", "50", "-p", "200", "-m", "1000", nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string text;
    bool interrupted = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 1000) == 1) {
            char chunk[4096];
            const ssize_t n = read(out[0], chunk, sizeof chunk);
            if (n <= 0) break;  // it ended
            text.append(chunk, static_cast<size_t>(n));
        }
        size_t reports = 0;
        for (size_t at = 0; (at = text.find(" frames/s", at)) != std::string::npos; ++at) {
            ++reports;
        }
        if (!interrupted && (reports >= 3 || std::chrono::steady_clock::now() > deadline)) {
            kill(pid, SIGINT);
            interrupted = true;
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_GT(arv_counter(text, "n_completed_buffers"), 0) << text;
    EXPECT_EQ(arv_counter(text, "n_failures"), 0) << text;
    EXPECT_EQ(arv_counter(text, "n_size_mismatch_errors"), 0) << text;
    // The seeded loss was made good by resending.
    EXPECT_GT(arv_counter(text, "n_resent_packets"), 0) << text;
}

// Every frame arrives complete, lost packets resent, and equal to what the simulator draws;
// control is free again afterwards.
TEST(SimulatedCamera, QelRecvReceivesEveryFrameTheSimulatorDraws) {
    SimulatedCamera camera({"--loss", "20"});
    ASSERT_TRUE(camera.ready());
    for (const std::string format : {"Mono8", "RGB8", "BGR8"}) {
        SCOPED_TRACE(format);
        const ScratchDir dir;
        const ToolResult r = run_qel_recv(
            {"--control-camera", "127.0.0.2", "--width",      "320",    "--height",      "240",
             "--pixel-format",   format,      "--frame-rate", "50",     "--packet-size", "1400",
             "--frames",         "10",        "--duration",   "120",    "--save",        dir.path(),
             "--save-every",     "1",         "--json",       "--quiet"});
        ASSERT_EQ(r.status, 0) << r.err;
        const nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << r.out;
        EXPECT_EQ(j["frames_delivered"], 10) << r.out;
        EXPECT_EQ(j["frames_incomplete"], 0) << r.out;
        EXPECT_EQ(j["frames_dropped"], 0) << r.out;
        // The seeded loss was made good by resending.
        EXPECT_GT(j["resend_requests"], 0) << r.out;
        ASSERT_EQ(j["saved"].size(), 10u) << r.out;
        const bool color = format != "Mono8";
        for (const std::string path : j["saved"]) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(path, m, std::regex(R"(-block-(\d+)\.png$)"))) << path;
            // Each acquisition starts again at frame 0, block id 1.
            const uint64_t frame = std::stoull(m[1]) - 1;
            const std::vector<uint8_t> expected = written_frame(
                frame, {"--width", "320", "--height", "240", "--pixel-format", format},
                format != "BGR8");
            ASSERT_EQ(expected.size(), 320u * 240 * (color ? 3 : 1)) << path;
            std::vector<uint8_t> pixels = png_pixels(path, color);
            // The PNG holds BGR8 images in RGB order.
            if (format == "BGR8") {
                for (size_t i = 0; i + 2 < pixels.size(); i += 3)
                    std::swap(pixels[i], pixels[i + 2]);
            }
            EXPECT_TRUE(pixels == expected) << path;
        }
        qelcam_camera_t *next = nullptr;
        EXPECT_EQ(qelcam_open("127.0.0.2", &next), QELCAM_OK) << qelcam_last_error();
        qelcam_close(next);
    }
}

// A GVCP client that takes control and then says nothing more.
class SilentController {
public:
    SilentController() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in device{};
        device.sin_family = AF_INET;
        device.sin_port = htons(3956);
        device.sin_addr.s_addr = htonl(0x7F000002);
        connected_ = fd_ >= 0 &&
                     connect(fd_, reinterpret_cast<const sockaddr *>(&device), sizeof device) == 0;
    }
    ~SilentController() {
        if (fd_ >= 0) close(fd_);
    }
    SilentController(const SilentController &) = delete;
    SilentController &operator=(const SilentController &) = delete;

    // WRITEREG of one register; its acknowledge's status (-1: none came).
    int write(uint32_t address, uint32_t value) {
        uint8_t command[16] = {0x42, 0x01};
        store_be16(command + 2, 0x0082);
        store_be16(command + 4, 8);
        store_be16(command + 6, ++request_id_);
        store_be32(command + 8, address);
        store_be32(command + 12, value);
        if (!connected_ || send(fd_, command, sizeof command, 0) != sizeof command) return -1;
        pollfd p{fd_, POLLIN, 0};
        uint8_t ack[64];
        if (poll(&p, 1, 10000) != 1) return -1;
        const ssize_t n = recv(fd_, ack, sizeof ack, 0);
        if (n < 8 || load_be16(ack + 6) != request_id_) return -1;
        return load_be16(ack);
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    uint16_t request_id_ = 0;
};

TEST(SimulatedCamera, ControlLapsesWhenTheControllerFallsSilent) {
    SimulatedCamera camera;
    ASSERT_TRUE(camera.ready());
    SilentController silent;
    ASSERT_EQ(silent.write(0x0A00, 2), 0);      // control
    ASSERT_EQ(silent.write(0x0938, 60000), 0);  // heartbeat timeout, ms: ample to be refused
    qelcam_camera_t *next = nullptr;
    EXPECT_EQ(qelcam_open("127.0.0.2", &next), QELCAM_EBUSY);
    ASSERT_EQ(silent.write(0x0938, 500), 0);  // the shortest, and then not a word more
    // Once the heartbeat lapses, the next client takes control.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int result = QELCAM_EBUSY;
    while (result == QELCAM_EBUSY && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        result = qelcam_open("127.0.0.2", &next);
    }
    ASSERT_EQ(result, QELCAM_OK) << qelcam_last_error();
    // The silent client's control is gone: now it is the one refused.
    EXPECT_EQ(silent.write(0x10000, 64), 0x8006);  // access denied
    qelcam_close(next);
}

}  // namespace
}  // namespace qel::recv_tool::test
