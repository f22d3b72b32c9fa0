#include "camera_process.h"

#include <fcntl.h>
#include <png.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "qelcamera.h"

namespace qel::recv_tool::test {

namespace {

// Tried until it succeeds or 30 s passed.
template <typename Try>
bool within_30s(Try attempt) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        if (attempt()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool take_and_give_back(const std::string &address) {
    qelcam_camera_t *camera = nullptr;
    if (qelcam_open(address.c_str(), &camera) != QELCAM_OK) return false;
    qelcam_close(camera);
    return true;
}

std::vector<std::string> with(std::vector<std::string> argv,
                              const std::vector<std::string> &extra) {
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}

}  // namespace

CameraProcess::CameraProcess(const std::vector<std::string> &argv, const char *address)
    : address_(address) {
    // The port is this host's, whichever tree's tests run: wait for it without limit, as
    // ctest's own timeout bounds a test.
    lock_ = open("/tmp/qel-test-gvcp-3956.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lock_ < 0 || flock(lock_, LOCK_EX) != 0) return;
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    // Its first answer takes a moment: wait for it (control given back at once when it was
    // granted). One that ended (its port taken, say) is not ready, whatever else answers there.
    ready_ = within_30s([&] {
                 if (pid_ <= 0 || waitpid(pid_, nullptr, WNOHANG) == pid_) {
                     pid_ = -1;
                     return true;
                 }
                 qelcam_camera_t *camera = nullptr;
                 const int result = qelcam_open(address_.c_str(), &camera);
                 qelcam_close(camera);
                 return result != QELCAM_ENOTFOUND;
             }) &&
             pid_ > 0;
}

CameraProcess::~CameraProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGCONT);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (lock_ >= 0) close(lock_);
}

FakeCamera::FakeCamera(const std::vector<std::string> &extra)
    : CameraProcess(with({QEL_ARV_FAKE_CAMERA, "-i", "127.0.0.1"}, extra), "127.0.0.1") {}

SimulatedCamera::SimulatedCamera(const std::vector<std::string> &extra)
    : CameraProcess(
          with({QEL_CAMSIM_TOOL, "--device", "--control-addr", "127.0.0.2", "--quiet"}, extra),
          "127.0.0.2") {}

bool control_can_be_taken(const std::string &address) {
    return within_30s([&] { return take_and_give_back(address); });
}

std::vector<uint8_t> png_pixels(const std::string &path, bool rgb) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return {};
    image.format = rgb ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return {};
    return pixels;
}

}  // namespace qel::recv_tool::test
