// The demo: the camera simulator streams in this process on loopback with 1% of its packets
// lost on the way, and the stream is received with resend. Every frame is compared with what
// the simulator sent; one is saved as PNG.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>

#include "camsim/camsim.h"
#include "common/pixel_formats.h"
#include "qel.h"
#include "recv_tool/app.h"
#include "recv_tool/checks.h"
#include "recv_tool/frame_saver.h"
#include "recv_tool/receiver.h"
#include "recv_tool/report.h"
#include "recv_tool/status_printer.h"

namespace qel::recv_tool {

namespace {

constexpr uint64_t kDemoFrames = 100;
constexpr double kDemoFrameRate = 30;  // about 3.3 s of stream
constexpr uint32_t kDemoLossPerMille = 10;
// Frames still missing this long after the simulator sent its last are lost.
constexpr auto kDemoGrace = std::chrono::seconds(2);

}  // namespace

int run_demo(const Options &given) {
    FILE *human = given.json ? stderr : stdout;
    const uint16_t stream_port = camsim::free_loopback_port();
    const uint16_t control_port = camsim::free_loopback_port();
    if (stream_port == 0 || control_port == 0) {
        return complain(kExitFailed, "demo: no free UDP port on loopback");
    }
    // The software adapter ends a block that waits for resent packets after 200 ms by default;
    // on a loaded machine the simulator's answer may take longer. A setting the user made
    // stands.
    setenv("QEL_ADAPTER_BLOCK_TIMEOUT_MS", "2000", 0);

    camsim::Config config;
    config.dest_address = "127.0.0.1";
    config.dest_port = stream_port;
    config.control_address = "127.0.0.1";
    config.control_port = control_port;
    config.frames = kDemoFrames;
    config.frame_rate = kDemoFrameRate;
    config.faults.loss_per_mille = kDemoLossPerMille;
    camsim::Simulator sim(config);
    if (std::string error = sim.config_error(); !error.empty()) {
        return complain(kExitFailed, "demo: " + error);
    }

    Options options = given;
    options.local_address = "127.0.0.1";
    options.port = stream_port;
    options.camera_address = "127.0.0.1";
    options.camera_port = control_port;
    // The frame size is known: every buffer is of it from the start, where a few probe buffers
    // would leave the first frames, held while their packets are asked for again, without one.
    if (options.buffer_size == 0) options.buffer_size = sim.payload_size();
    // Without --save, a folder of the user's own under the temporary folder: refused when
    // another user made it first.
    const bool named = !given.save_dir.empty();
    const files::Folder save_kind = named ? files::Folder::named : files::Folder::own;
    const std::string save_dir =
        named ? given.save_dir
              : (std::filesystem::temp_directory_path() / "qel-recv-demo").string();
    if (!named) {
        if (std::string error = check_save_dir(save_dir, save_kind); !error.empty()) {
            return complain(kExitFailed, "demo: cannot save a frame: " + error +
                                             " (choose a folder with --save)");
        }
    }

    if (const int rc = qel_init(QEL_API_VERSION); rc != 0) {
        return complain(kExitFailed, std::string("cannot start the library: ") + qel_strerror(rc));
    }
    Receiver receiver(options);
    if (std::string error = receiver.open(); !error.empty()) {
        return complain(kExitFailed, "demo: " + error);
    }
    std::fprintf(human,
                 "demo: camera simulator on 127.0.0.1 sends %llu frames of %ux%u %s at %.0f "
                 "frames/s to port %u, losing %.1f%% of its packets; receiving with %s\n",
                 static_cast<unsigned long long>(kDemoFrames), config.width, config.height,
                 tools::pixel_format_name(static_cast<uint32_t>(config.pixel_format)).c_str(),
                 kDemoFrameRate, stream_port, kDemoLossPerMille / 10.0,
                 options.mode == Mode::worker ? "a receive worker and resend" : "resend");
    std::fflush(human);
    if (std::string error = sim.start(); !error.empty()) {
        return complain(kExitFailed, "demo: the camera simulator did not start: " + error);
    }

    DemoCheck check;
    std::vector<bool> seen(kDemoFrames, false);
    FrameSaver saver(save_dir, 1, save_kind);
    std::vector<uint8_t> expected;
    // The first intact frame is kept, to be saved at the end should no frame need a resend.
    std::optional<std::vector<uint8_t>> first_copy;
    qel_block_t first_block{};
    uint64_t first_sequence = 0;
    std::string saved_what;

    StatusPrinter status(human, false);
    Sample previous;
    std::optional<std::chrono::steady_clock::time_point> sent_at;
    const std::string error = receiver.run(
        [&](const Delivery &d) {
            const qel_block_t &b = *d.block;
            const std::optional<uint64_t> frame = sim.frame_of_block(b.block_id);
            bool intact = false;
            if (frame && *frame < kDemoFrames) {
                expected = sim.expected_payload(*frame);
                intact = d.complete && b.payload_length == expected.size() &&
                         std::memcmp(b.data, expected.data(), expected.size()) == 0;
            }
            if (intact && !seen[*frame]) {
                seen[*frame] = true;
                ++check.frames_intact;
            } else if (!intact) {
                ++check.frames_corrupt;
            }
            if (!given.quiet) {
                std::fprintf(human, "frame %3llu  block %3llu  %ux%u  %s, %s",
                             static_cast<unsigned long long>(frame.value_or(0)),
                             static_cast<unsigned long long>(b.block_id), b.u.image.size_x,
                             b.u.image.size_y, d.complete ? "complete" : "INCOMPLETE",
                             intact ? "equal to the frame sent" : "NOT EQUAL to the frame sent");
                if (d.resend_count > 0) {
                    std::fprintf(human, "  (%u resend request%s)", d.resend_count,
                                 d.resend_count == 1 ? "" : "s");
                }
                std::fputc('\n', human);
            }
            if (!intact || !saved_what.empty()) return;
            if (d.resend_count > 0) {
                // A frame that arrived whole only through resent packets is the one to show.
                if (const std::string path = saver.save(b, d.sequence); !path.empty()) {
                    saved_what = "frame " + std::to_string(*frame) +
                                 " (completed by resent packets) saved as " + path;
                }
            } else if (!first_copy) {
                first_copy.emplace(static_cast<const uint8_t *>(b.data),
                                   static_cast<const uint8_t *>(b.data) + b.payload_length);
                first_block = b;
                first_sequence = d.sequence;
            }
        },
        [&](const Sample &now) {
            if (!given.quiet) status.show(status_line(previous, now));
            previous = now;
        },
        [&] {
            if (stop_requested.load(std::memory_order_relaxed)) return true;
            if (sim.sending()) return false;
            const auto now = std::chrono::steady_clock::now();
            if (!sent_at) sent_at = now;
            const Sample s = receiver.sample();
            return s.delivered + s.dropped >= sim.counters().frames_sent ||
                   now - *sent_at > kDemoGrace;
        });
    sim.stop();
    if (!error.empty()) return complain(kExitFailed, "demo: " + error);
    if (saved_what.empty() && first_copy) {
        first_block.data = first_copy->data();
        if (const std::string path = saver.save(first_block, first_sequence); !path.empty()) {
            saved_what = "frame saved as " + path;
        }
    }

    const camsim::Counters sent = sim.counters();
    check.frames_sent = sent.frames_sent;
    check.frames_lost = sent.frames_sent - std::min(sent.frames_sent, check.frames_intact);
    check.packets_withheld = sent.packets_withheld;
    check.packets_resent = sent.packets_resent;

    Summary summary;
    summary.stream = receiver.stream_name() + " from the camera simulator";
    summary.mode = mode_name(options.mode);
    summary.buffers = options.buffers;
    summary.buffer_size = receiver.buffer_size();
    summary.last = receiver.sample();
    summary.stats = receiver.stats();
    summary.losses = receiver.losses();
    summary.demo = check;
    summary.saved = saver.saved();
    summary.save_error = saver.error();
    if (options.json) {
        std::printf("%s\n", summary_json(summary).c_str());
    } else {
        std::printf("%s", summary_table(summary).c_str());
    }
    const bool all_intact = check.frames_sent > 0 && check.frames_lost == 0 &&
                            check.frames_corrupt == 0 && sim.send_error().empty();
    if (all_intact) {
        std::fprintf(human,
                     "demo: all %llu frames arrived complete and equal to what was sent; %llu "
                     "packets lost on the way were asked for again and resent\n",
                     static_cast<unsigned long long>(check.frames_sent),
                     static_cast<unsigned long long>(sent.packets_withheld));
    } else {
        complain(kExitFailed, "demo: " + std::to_string(check.frames_lost) + " of " +
                                  std::to_string(check.frames_sent) + " frames lost, " +
                                  std::to_string(check.frames_corrupt) + " corrupt" +
                                  (sim.send_error().empty() ? "" : "; " + sim.send_error()));
    }
    if (!saved_what.empty()) {
        std::fprintf(human, "demo: %s\n", saved_what.c_str());
    } else if (!saver.error().empty()) {
        std::fprintf(human, "demo: no frame saved: %s\n", saver.error().c_str());
    }
    return all_intact ? kExitOk : kExitFailed;
}

}  // namespace qel::recv_tool
