// A GigE Vision camera in a child process on loopback: Aravis's fake camera or the simulator
// as a device. Its GVCP port is the standard one, 3956, so one runs at a time.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qel::recv_tool::test {

class CameraProcess {
public:
    // Starts `argv` and waits (30 s at most) until control of the camera at `address` can be
    // taken and given back.
    explicit CameraProcess(const std::vector<std::string> &argv, const char *address = "127.0.0.1");
    ~CameraProcess();
    CameraProcess(const CameraProcess &) = delete;
    CameraProcess &operator=(const CameraProcess &) = delete;

    [[nodiscard]] bool ready() const { return ready_; }
    // Freezes or thaws the camera: a frozen one answers nothing, heartbeats included.
    void freeze(bool frozen) const { kill(pid_, frozen ? SIGSTOP : SIGCONT); }

private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

}  // namespace qel::recv_tool::test
