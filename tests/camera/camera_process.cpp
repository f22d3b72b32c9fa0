#include "camera_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "qelcamera.h"

namespace qel::recv_tool::test {

CameraProcess::CameraProcess(const std::vector<std::string> &argv, const char *address) {
    std::vector<char *> args;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        execv(args[0], args.data());
        _exit(127);
    }
    // Its first answer takes a moment: wait for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
        // One that ended (its port taken, say) is not ready, whatever else answers there.
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        qelcam_camera_t *camera = nullptr;
        if (qelcam_open(address, &camera) == QELCAM_OK) {
            qelcam_close(camera);
            ready_ = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

CameraProcess::~CameraProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGCONT);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

}  // namespace qel::recv_tool::test
