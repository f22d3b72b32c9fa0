// A GigE Vision camera in a child process on loopback: Aravis's fake camera or the simulator
// as a device. Their GVCP port is the standard one, 3956, which neither lets be chosen: a
// camera holds a lock shared by every process on this host for its life, so that camera tests
// of other builds or trees running meanwhile wait their turn instead of answering each other.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qel::recv_tool::test {

class CameraProcess {
public:
    // Starts `argv` and waits (30 s at most) until the camera at `address` answers.
    CameraProcess(const std::vector<std::string> &argv, const char *address);
    virtual ~CameraProcess();
    CameraProcess(const CameraProcess &) = delete;
    CameraProcess &operator=(const CameraProcess &) = delete;

    [[nodiscard]] bool ready() const { return ready_; }
    [[nodiscard]] const std::string &address() const { return address_; }
    // The name qel-recv gives it in its messages.
    [[nodiscard]] virtual std::string id() const = 0;
    // Freezes or thaws the camera: a frozen one answers nothing, heartbeats included.
    void freeze(bool frozen) const { kill(pid_, frozen ? SIGSTOP : SIGCONT); }

private:
    int lock_ = -1;
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string address_;
};

// Aravis's fake camera on 127.0.0.1 (it listens only on an address an interface has), with
// `extra` options.
class FakeCamera : public CameraProcess {
public:
    explicit FakeCamera(const std::vector<std::string> &extra = {});
    [[nodiscard]] std::string id() const override { return "Aravis-Fake-GV01"; }
};

// qel-camsim --device on 127.0.0.2, apart from the fake camera, with `extra` options.
class SimulatedCamera : public CameraProcess {
public:
    explicit SimulatedCamera(const std::vector<std::string> &extra = {});
    [[nodiscard]] std::string id() const override { return "qel-camsim-CS0001"; }
};

// Waits (30 s at most) until a client can take control of the camera at `address`, and gives
// it back; false if none could.
bool control_can_be_taken(const std::string &address);

// The pixels of a PNG file as 8-bit gray or RGB; empty when it cannot be read.
std::vector<uint8_t> png_pixels(const std::string &path, bool rgb);

}  // namespace qel::recv_tool::test
