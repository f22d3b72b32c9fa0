// qel-soak: a long zero-loss stream through the whole receive path, checked frame by frame.
//
// The camera simulator (in-process) streams to loopback with random packet loss; the software
// adapter's firmware reassembles; the library receives with qel_poll_recv_pr (or through a
// receive worker), asking for every missing packet again (for the lost packets only, unless told
// to ask for whole tails). Every frame
// is compared byte for byte with what was sent. At the end it prints the frames sent, delivered,
// lost and corrupt, the resends, and the resident memory at the start and the end, and exits
// non-zero when a frame was lost or corrupt or the memory grew by more than the margin.
#include <arpa/inet.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "api/tools_door.h"
#include "camsim/camsim.h"
#include "common/command_line.h"
#include "qel.h"

namespace {

using namespace qel;

using Clock = std::chrono::steady_clock;

struct Options {
    uint64_t duration_s = 600;
    uint32_t loss_per_mille = 10;
    double fps = 100;
    uint32_t width = 640;
    uint32_t height = 480;
    uint32_t packet_size = 1400;
    uint32_t buffers = 64;
    uint64_t rss_margin_kb = 4096;
    uint32_t burst_per_mille = 0;
    uint32_t burst_length = 10;
    bool ranged_resend = true;
    bool worker = false;
};

constexpr const char *kUsage = R"(Usage: qel-soak [OPTION]...
Streams from the camera simulator through the software adapter on loopback with packet loss,
receives with packet resend and checks every frame byte for byte; exits 1 when a frame was
lost or corrupt or the resident memory grew by more than the margin.

  --duration SECONDS     length of the stream (default 600)
  --loss PM              chance per mille that a packet is lost, 0 to 999 (default 10)
  --fps N                frames per second (default 100)
  --width N              image width in pixels (default 640)
  --height N             image height in pixels (default 480)
  --packet-size BYTES    GVSP packet size as a camera counts it, the IP packet with its
                         IP and UDP headers (default 1400)
  --buffers N            buffers queued, 1 to 1024 (default 64)
  --rss-margin-kb N      growth of resident memory allowed, in KiB (default 4096)
  --burst PM             chance per mille that a burst of lost packets starts at a packet
                         (default 0)
  --burst-length N       packets lost in one burst (default 10)
  --whole-tail-resend    ask for everything from the first missing packet to the end of the
                         block, not only for the packets lost (to compare)
  --worker               receive through a receive worker (it sends the resend requests),
                         not with qel_poll_recv_pr
  -h, --help             show this text and exit
  --version              show the version and exit
)";

constexpr tools::OptionSpec kOptions[] = {
    {"duration", true},
    {"loss", true},
    {"fps", true},
    {"width", true},
    {"height", true},
    {"buffers", true},
    {"packet-size", true},
    {"rss-margin-kb", true},
    {"burst", true},
    {"burst-length", true},
    {"whole-tail-resend", false},
    {"worker", false},
};

Options parse(const tools::CommandLine &line) {
    if (!line.operands.empty()) {
        throw tools::UsageError{"unexpected argument '" + line.operands[0] + "'"};
    }
    Options o;
    for (const tools::GivenOption &option : line.options) {
        const auto number = [&](uint64_t min, uint64_t max) {
            return tools::unsigned_value(option, min, max);
        };
        if (option.name == "duration") {
            o.duration_s = number(1, 86400 * 30);
        } else if (option.name == "loss") {
            o.loss_per_mille = static_cast<uint32_t>(number(0, 999));
        } else if (option.name == "fps") {
            o.fps = static_cast<double>(number(1, 100000));
        } else if (option.name == "width") {
            o.width = static_cast<uint32_t>(number(1, 65535));
        } else if (option.name == "height") {
            o.height = static_cast<uint32_t>(number(1, 65535));
        } else if (option.name == "packet-size") {
            o.packet_size =
                static_cast<uint32_t>(number(camsim::kMinPacketSize, camsim::kMaxPacketSize));
        } else if (option.name == "buffers") {
            o.buffers = static_cast<uint32_t>(number(1, 1024));
        } else if (option.name == "rss-margin-kb") {
            o.rss_margin_kb = number(0, UINT64_MAX);
        } else if (option.name == "burst") {
            o.burst_per_mille = static_cast<uint32_t>(number(0, 999));
        } else if (option.name == "burst-length") {
            o.burst_length = static_cast<uint32_t>(number(1, 1000));
        } else if (option.name == "whole-tail-resend") {
            o.ranged_resend = false;
        } else if (option.name == "worker") {
            o.worker = true;
        }
    }
    return o;
}

// Resident memory of this process in KiB, from /proc/self/statm (its second field, in pages).
uint64_t resident_kb() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long long size = 0;
    unsigned long long resident = 0;
    const int got = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    if (got != 2) return 0;
    return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

struct Tally {
    uint64_t delivered = 0;
    uint64_t corrupt = 0;     // delivered with other bytes or length than sent
    uint64_t incomplete = 0;  // delivered incomplete, or lost by the library
    uint64_t errors = 0;      // other results of the receive call
};

constexpr uint32_t kMaxRequests = 50;

// The receive worker's resend series: consecutive request ids, kMaxRequests rounds each.
int on_resend(qel_stream_t *, uint16_t *req_id, uint16_t *max_requests) {
    static uint16_t next_req_id = 0;
    *req_id = next_req_id;
    *max_requests = kMaxRequests;
    next_req_id = static_cast<uint16_t>(next_req_id + 64);
    return 0;
}

int run(const Options &o) {
    if (int rc = qel_init(QEL_API_VERSION); rc != 0) {
        std::fprintf(stderr, "qel-soak: qel_init failed: %d\n", rc);
        return 2;
    }
    camsim::Config config;
    config.dest_address = "127.0.0.1";
    config.dest_port = camsim::free_loopback_port();
    config.control_address = "127.0.0.1";
    config.control_port = camsim::free_loopback_port();
    config.payload = camsim::PayloadKind::image;
    config.width = o.width;
    config.height = o.height;
    config.packet_size = o.packet_size;
    // Extended ids: a block id names one frame for the whole run.
    config.extended_ids = true;
    config.frame_rate = o.fps;
    config.duration_ms = o.duration_s * 1000;
    config.history_frames = 256;
    config.faults.seed = 1;
    config.faults.loss_per_mille = o.loss_per_mille;
    config.faults.burst_per_mille = o.burst_per_mille;
    config.faults.burst_length = o.burst_length;
    camsim::Simulator sim(config);
    if (!sim.config_error().empty()) {
        std::fprintf(stderr, "qel-soak: %s\n", sim.config_error().c_str());
        return 2;
    }

    const uint32_t loopback = inet_addr("127.0.0.1");
    qel_stream_options_t options{};
    options.flags = QEL_OPEN_ZEROLOSS | QEL_OPEN_EXTENDED_ID;
    if (o.ranged_resend) options.flags |= QEL_OPEN_RANGED_RESEND;
    options.block_timeout = 1000;
    options.max_requests = kMaxRequests;
    options.order_mode = 2;
    options.camera_addr = loopback;
    options.camera_port = config.control_port;
    qel_stream_t *stream = nullptr;
    hux_handle_t endpoint_handle = HUX_INVALID_HANDLE;
    if (int rc =
            qel_open_stream_pr(&loopback, config.dest_port, &stream, &options, &endpoint_handle);
        rc != 0) {
        std::fprintf(stderr, "qel-soak: opening the stream failed: %d\n", rc);
        return 2;
    }
    std::vector<qel_buffer_t *> buffers;
    for (uint32_t i = 0; i < o.buffers; ++i) {
        qel_buffer_t *b = nullptr;
        if (qel_alloc(stream, sim.payload_size() + 4096, &b) != 0 || qel_queue_buffer(b) != 0) {
            std::fprintf(stderr, "qel-soak: buffer %u could not be queued\n", i);
            return 2;
        }
        buffers.push_back(b);
    }
    if (o.worker &&
        (qel_create_recv_worker(stream, 0, on_resend) != 0 || qel_start_recv_worker(stream) != 0)) {
        std::fprintf(stderr, "qel-soak: the receive worker did not start\n");
        return 2;
    }
    if (std::string error = sim.start(); !error.empty()) {
        std::fprintf(stderr, "qel-soak: the simulator did not start: %s\n", error.c_str());
        return 2;
    }
    std::printf(
        "qel-soak: %llu s, %ux%u Mono8 at %.0f frames/s, %u per mille packet loss, %u per mille "
        "bursts of %u, %s resend, %s\n",
        static_cast<unsigned long long>(o.duration_s), o.width, o.height, o.fps, o.loss_per_mille,
        o.burst_per_mille, o.burst_length, o.ranged_resend ? "ranged" : "whole-tail",
        o.worker ? "receive worker" : "qel_poll_recv_pr");
    std::fflush(stdout);

    Tally tally;
    std::vector<uint8_t> expected(sim.payload_size());
    const auto started = Clock::now();
    // The start's memory is taken once the stream runs and every buffer has been touched.
    const auto warm = started + std::chrono::seconds(std::min<uint64_t>(5, o.duration_s / 4 + 1));
    uint64_t rss_start = 0;
    auto next_report = started + std::chrono::seconds(60);
    auto idle_since = Clock::now();
    uint16_t req_base = 0;
    for (;;) {
        const auto now = Clock::now();
        if (rss_start == 0 && now >= warm) rss_start = resident_kb();
        if (now >= next_report) {
            std::printf(
                "  %llu s: %llu frames delivered, %llu resend requests, rss %llu KiB\n",
                static_cast<unsigned long long>(
                    std::chrono::duration_cast<std::chrono::seconds>(now - started).count()),
                static_cast<unsigned long long>(tally.delivered),
                static_cast<unsigned long long>(sim.counters().resend_requests),
                static_cast<unsigned long long>(resident_kb()));
            std::fflush(stdout);
            next_report += std::chrono::seconds(60);
        }
        qel_block_t block{};
        qel_pr_status_t status{};
        // With the worker, blocks come complete (it asks for lost packets; the incomplete ones
        // it cannot complete are dropped).
        const int rc = o.worker ? qel_poll_recv(stream, &block, 0)
                                : qel_poll_recv_pr(stream, &block, req_base, &status);
        if (rc == QEL_EAGAIN) {
            // Done once sending has ended and nothing more has come for two seconds.
            if (!sim.sending() && now - idle_since > std::chrono::seconds(2)) break;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        idle_since = now;
        req_base = static_cast<uint16_t>(req_base + 64);
        if (rc != 0) {
            ++tally.errors;
            continue;
        }
        ++tally.delivered;
        if (!o.worker && status.status != 2) ++tally.incomplete;
        const auto frame = sim.frame_of_block(block.block_id);
        if (!frame || block.payload_length != expected.size() ||
            !sim.expected_payload(*frame, 0, expected) ||
            std::memcmp(block.data, expected.data(), expected.size()) != 0) {
            ++tally.corrupt;
        }
        if (qel_queue_buffer(block.buffer) != 0) ++tally.errors;
    }
    const uint64_t rss_end = resident_kb();
    sim.stop();
    qel_stats_t stats{};
    (void)qel_get_stats(stream, &stats);
    const camsim::Counters sent = sim.counters();
    const std::vector<tools_door::FirmwareCount> firmware =
        tools_door::firmware_counters(endpoint_handle);
    qel_close_stream(stream);
    for (qel_buffer_t *b : buffers) qel_free(b);

    const uint64_t lost = sent.frames_sent > tally.delivered - tally.incomplete
                              ? sent.frames_sent - (tally.delivered - tally.incomplete)
                              : 0;
    std::printf("frames sent %llu, delivered %llu, lost %llu, corrupt %llu, receive errors %llu\n",
                static_cast<unsigned long long>(sent.frames_sent),
                static_cast<unsigned long long>(tally.delivered),
                static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(tally.corrupt),
                static_cast<unsigned long long>(tally.errors));
    std::printf(
        "packets sent %llu, withheld %llu, resend requests %llu (camera answered %llu, "
        "%llu packets resent)\n",
        static_cast<unsigned long long>(sent.packets_sent),
        static_cast<unsigned long long>(sent.packets_withheld),
        static_cast<unsigned long long>(stats.resend_requests),
        static_cast<unsigned long long>(sent.resend_requests),
        static_cast<unsigned long long>(sent.packets_resent));
    std::printf("resent per lost %.2f\n", sent.packets_withheld == 0
                                              ? 0.0
                                              : static_cast<double>(sent.packets_resent) /
                                                    static_cast<double>(sent.packets_withheld));
    std::printf("camera: %llu error packets (no longer held), %llu malformed requests\n",
                static_cast<unsigned long long>(sent.error_packets),
                static_cast<unsigned long long>(sent.requests_malformed));
    std::printf("firmware:");
    for (const tools_door::FirmwareCount &count : firmware) {
        if (count.value != 0) {
            std::printf(" %.*s %llu", static_cast<int>(count.name.size()), count.name.data(),
                        static_cast<unsigned long long>(count.value));
        }
    }
    std::printf("\n");
    const int64_t growth = static_cast<int64_t>(rss_end) - static_cast<int64_t>(rss_start);
    std::printf("rss start %llu KiB, end %llu KiB, growth %lld KiB (margin %llu)\n",
                static_cast<unsigned long long>(rss_start),
                static_cast<unsigned long long>(rss_end), static_cast<long long>(growth),
                static_cast<unsigned long long>(o.rss_margin_kb));
    const bool memory_flat = rss_start != 0 && growth <= static_cast<int64_t>(o.rss_margin_kb);
    const bool ok =
        lost == 0 && tally.corrupt == 0 && tally.errors == 0 && sent.frames_sent > 0 && memory_flat;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    const tools::CommandLine line = tools::parse_command_line(kOptions, argc, argv);
    if (const int status = tools::answer_command_line("qel-soak", kUsage, line.ask, line.error);
        status >= 0) {
        return status;
    }
    try {
        return run(parse(line));
    } catch (const tools::UsageError &error) {
        return tools::usage_error("qel-soak", error.message);
    }
}
