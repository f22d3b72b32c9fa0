// qel-recv's receiver in-process, on the software adapter's loopback board: what it keeps
// allocated once the first block has given the frame size.
#include <gtest/gtest.h>

#include <map>

#include "camsim/camsim.h"
#include "recv_tool/receiver.h"
#include "stream/stream.h"
#include "support/capture.h"
#include "tool_run.h"

namespace qel::recv_tool::test {
namespace {

// Sizes of the buffers the stream holds (allocated and not yet freed), each with its count.
std::map<uint64_t, size_t> held_buffers(const qel_stream_t *stream) {
    std::map<uint64_t, size_t> sizes;
    for (const qel_buffer_t *b = stream->owned; b != nullptr; b = b->owned_next) ++sizes[b->size];
    return sizes;
}

// Without --buffer-size the first blocks go into large trial buffers. Each is released as it
// comes back, so that the stream soon holds only the buffers asked for, of the frame's size, in
// every receive mode. (Received until that holds, for at most a few seconds of frames.)
TEST(QelRecvReceiver, TrialBuffersAreReleasedOnceTheFrameSizeIsKnown) {
    ScratchDir dirs;
    qel::test::ScopedEnv ifaces("QEL_ADAPTER_IFACES", "lo");
    qel::test::ScopedEnv run("QEL_ADAPTER_RUN_DIR", dirs.path() + "/run");
    qel::test::ScopedEnv state("QEL_ADAPTER_STATE_DIR", dirs.path() + "/state");
    ASSERT_EQ(qel_init(QEL_API_VERSION), 0);
    // The worker sleeps while the stream is idle unless asked to busy-poll.
    const std::pair<Mode, bool> modes[] = {
        {Mode::poll, false}, {Mode::resend, false}, {Mode::worker, false}, {Mode::worker, true}};
    for (const auto &[mode, busy_poll] : modes) {
        SCOPED_TRACE(std::string(mode_name(mode)) + (busy_poll ? ", busy-poll" : ""));
        camsim::Config camera;
        camera.dest_port = camsim::free_loopback_port();
        camera.control_address = "127.0.0.1";
        camera.control_port = camsim::free_loopback_port();
        camera.width = 64;
        camera.height = 48;
        camera.frame_rate = 200;
        camsim::Simulator sim(camera);
        Options options;
        options.local_address = "127.0.0.1";
        options.port = camera.dest_port;
        options.mode = mode;
        options.buffers = 6;
        options.frames = 600;
        options.busy_poll = busy_poll;
        if (mode == Mode::resend) {
            options.camera_address = "127.0.0.1";
            options.camera_port = camera.control_port;
        }
        Receiver receiver(options);
        ASSERT_EQ(receiver.open(), "");
        EXPECT_EQ(receiver.stream()->worker.sleeps, mode == Mode::worker && !busy_poll);
        ASSERT_EQ(sim.start(), "");
        // A 64x48 Mono8 frame fits one page.
        const std::map<uint64_t, size_t> wanted{{4096, options.buffers}};
        const auto settled = [&] { return held_buffers(receiver.stream()) == wanted; };
        EXPECT_EQ(receiver.run(nullptr, nullptr, settled), "");
        sim.stop();
        EXPECT_EQ(held_buffers(receiver.stream()), wanted);
    }
}

}  // namespace
}  // namespace qel::recv_tool::test
