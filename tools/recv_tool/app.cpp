#include "recv_tool/app.h"

#include <csignal>
#include <cstdio>

#include "qel.h"
#include "recv_tool/board_by_name.h"
#include "recv_tool/camera_control.h"
#include "recv_tool/checks.h"
#include "recv_tool/frame_saver.h"
#include "recv_tool/metrics_export.h"
#include "recv_tool/receiver.h"
#include "recv_tool/report.h"
#include "recv_tool/status_printer.h"

namespace qel::recv_tool {

// Lock-free, so that the signal handler may store into it.
std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

void on_stop_signal(int) {
    // Relaxed: the receive loop only needs to see the request eventually.
    stop_requested.store(true, std::memory_order_relaxed);
}

}  // namespace

int complain(int status, const std::string &message) {
    std::fprintf(stderr, "qel-recv: %s\n", message.c_str());
    return status;
}

int run_receive(Options options) {
    FILE *human = options.json ? stderr : stdout;
    if (!options.metrics_file.empty()) name_metrics_file(options.metrics_file);
    if (const int rc = qel_init(QEL_API_VERSION); rc != 0) {
        return complain(kExitFailed, std::string("cannot start the library: ") + qel_strerror(rc));
    }
    if (!options.board_name.empty()) {
        const BoardAddress board = board_address(options.board_name);
        if (!board.error.empty()) return complain(kExitFailed, board.error);
        options.local_address = board.address;
    }
    // A camera this run controls: found and configured before the stream opens, as its
    // address is where resend requests go and its interface is where the stream comes in.
    // Destroyed after the receiver: the camera is stopped and released on every way out.
    ControlledCamera camera;
    if (options.control) {
        if (std::string error = camera.open(*options.control); !error.empty()) {
            return complain(kExitFailed, error);
        }
        if (options.local_address.empty()) options.local_address = camera.interface_address();
        if (options.port == 0) options.port = free_port(options.local_address);
        if (options.mode != Mode::poll) options.camera_address = camera.address();
        // The camera says how large its blocks are: every buffer is of that size from the
        // start, rather than a few large ones until the first block has come.
        if (options.buffer_size == 0) options.buffer_size = camera.payload_size();
    }
    if (std::string error = check_port(options.local_address, options.port);
        options.group.empty() && !error.empty()) {
        return complain(kExitFailed, error);
    }
    Receiver receiver(options);
    if (std::string error = receiver.open(); !error.empty()) return complain(kExitFailed, error);
    if (std::string warning = check_receive_buffer(); !warning.empty()) complain(0, warning);
    // Declared after the receiver: the stream is detached before it is closed.
    MetricsExport metrics;
    if (!options.metrics_file.empty()) {
        if (std::string error = metrics.start(receiver.stream()); !error.empty()) {
            return complain(kExitFailed, error);
        }
    }

    if (options.control) {
        if (std::string error = camera.start(options.local_address, options.port); !error.empty()) {
            return complain(kExitFailed, error);
        }
    }

    FrameSaver saver(options.save_dir, options.save_every, files::Folder::named);
    StatusPrinter status(human, true);
    Sample previous;
    std::string camera_error;
    std::string error = receiver.run(
        [&](const Delivery &d) {
            if (!options.save_dir.empty()) saver.offer(*d.block, d.sequence);
        },
        [&](const Sample &now) {
            if (!options.quiet) status.show(status_line(previous, now));
            previous = now;
        },
        [&] {
            if (options.control) camera_error = camera.check();
            return !camera_error.empty() || stop_requested.load(std::memory_order_relaxed);
        });
    status.finish();
    if (options.control && camera_error.empty()) camera_error = camera.stop();
    if (error.empty()) error = camera_error;
    metrics.stop();  // the library's counters can be read again

    Summary summary;
    summary.stream = receiver.stream_name();
    summary.mode = mode_name(options.mode);
    summary.buffers = options.buffers;
    summary.buffer_size = receiver.buffer_size();
    summary.last = receiver.sample();
    summary.stats = receiver.stats();
    summary.losses = receiver.losses();
    summary.saved = saver.saved();
    summary.save_error = saver.error();
    // Shown whatever ended the run: what did arrive is worth as much after a failure.
    if (options.json) {
        std::printf("%s\n", summary_json(summary).c_str());
    } else {
        std::printf("%s", summary_table(summary).c_str());
    }
    std::fflush(stdout);
    if (!error.empty()) return complain(kExitFailed, error);
    return kExitOk;
}

int run_tool(const std::vector<std::string> &args) {
    const ParseResult parsed = parse_options(args);
    if (const int status = tools::answer_command_line("qel-recv", kUsage, parsed.ask, parsed.error);
        status >= 0) {
        return status;
    }
    const Options &options = parsed.options;
    if (!options.save_dir.empty()) {
        if (std::string error = check_save_dir(options.save_dir, files::Folder::named);
            !error.empty()) {
            return complain(kExitFailed, "--save: " + error);
        }
    }
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (options.list_cameras) return list_cameras(stdout, options.json);
    return options.demo ? run_demo(options) : run_receive(options);
}

}  // namespace qel::recv_tool
