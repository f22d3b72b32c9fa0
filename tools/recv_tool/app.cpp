#include "recv_tool/app.h"

#include <csignal>
#include <cstdio>

#include "qel.h"
#include "recv_tool/board_by_name.h"
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
    if (std::string error = check_port(options.local_address, options.port);
        options.group.empty() && !error.empty()) {
        return complain(kExitFailed, error);
    }
    Receiver receiver(options);
    if (std::string error = receiver.open(); !error.empty()) return complain(kExitFailed, error);
    // Declared after the receiver: the stream is detached before it is closed.
    MetricsExport metrics;
    if (!options.metrics_file.empty()) {
        if (std::string error = metrics.start(receiver.stream()); !error.empty()) {
            return complain(kExitFailed, error);
        }
    }

    FrameSaver saver(options.save_dir, options.save_every, files::Folder::named);
    StatusPrinter status(human, true);
    Sample previous;
    const std::string error = receiver.run(
        [&](const Delivery &d) {
            if (!options.save_dir.empty()) saver.offer(*d.block, d.sequence);
        },
        [&](const Sample &now) {
            if (!options.quiet) status.show(status_line(previous, now));
            previous = now;
        },
        [] { return stop_requested.load(std::memory_order_relaxed); });
    status.finish();
    metrics.stop();  // the library's counters can be read again

    Summary summary;
    summary.stream = receiver.stream_name();
    summary.mode = mode_name(options.mode);
    summary.buffers = options.buffers;
    summary.buffer_size = receiver.buffer_size();
    summary.last = receiver.sample();
    summary.stats = receiver.stats();
    summary.saved = saver.saved();
    summary.save_error = saver.error();
    if (!error.empty()) return complain(kExitFailed, error);
    if (options.json) {
        std::printf("%s\n", summary_json(summary).c_str());
    } else {
        std::printf("%s", summary_table(summary).c_str());
    }
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
    return options.demo ? run_demo(options) : run_receive(options);
}

}  // namespace qel::recv_tool
