// The command line of qel-recv: what to receive, how, for how long, and what to show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/command_line.h"

namespace qel::recv_tool {

// How blocks are taken off the stream.
enum class Mode : uint8_t {
    poll,    // qel_poll_recv, sleeping in the driver's wait
    resend,  // qel_poll_recv_pr on a zero-loss stream: missing packets are asked for again
    worker,  // a receive worker thread takes the descriptors (and resends on a zero-loss stream)
};

[[nodiscard]] const char *mode_name(Mode mode);

// A camera qel-recv controls itself: found, configured, started and stopped by the run.
struct CameraControl {
    std::string which;         // address, serial number, user id or id; "any": the first
    uint32_t packet_size = 0;  // 0: as the camera finds it can send
    std::string pixel_format;  // empty: as the camera is set
    uint32_t width = 0;        // 0: as the camera is set (width and height come together)
    uint32_t height = 0;
    double frame_rate = 0;  // 0: as the camera is set
};

struct Options {
    bool demo = false;
    bool list_cameras = false;
    std::optional<CameraControl> control;
    std::string local_address;  // IPv4, dotted
    std::string board_name;     // the board's stored name, resolved to local_address at run time
    uint16_t port = 0;
    std::string group;           // multicast group; empty: unicast
    std::string camera_address;  // zero-loss: where resend requests go; empty: no resend
    uint16_t camera_port = 3956;
    uint16_t channel = 0;
    Mode mode = Mode::poll;
    bool mode_given = false;
    std::optional<uint32_t> worker_cpu;  // processor the worker is pinned to; none: not pinned
    bool busy_poll = false;  // the worker busy-polls; otherwise it sleeps while the stream is idle
    uint32_t buffers = 16;
    uint64_t buffer_size = 0;  // 0: from the first block
    uint32_t block_timeout_ms = 1000;
    uint32_t max_requests = 50;
    bool ranged_resend = true;  // requests ask for the lost packets only (QEL_OPEN_RANGED_RESEND)
    bool keep_incomplete = false;
    bool extended_ids = false;
    double duration_s = 0;  // 0: no limit
    uint64_t frames = 0;    // 0: no limit
    // A run that has seen no block at all after this long ends (with its summary): the camera
    // is not streaming here. Generous, for triggered cameras and receivers started first.
    double first_frame_timeout_s = 60;
    std::string save_dir;      // empty: save nothing
    std::string metrics_file;  // empty: no metrics
    uint64_t save_every = 100;
    bool json = false;
    bool quiet = false;  // no status lines
};

// What parsing the command line gave: options to run with, a text to show and exit 0 (help,
// version), or a one-line complaint (exit 2).
struct ParseResult {
    Options options;
    tools::CommandLine::Ask ask = tools::CommandLine::Ask::run;
    std::string error;
};

[[nodiscard]] ParseResult parse_options(const std::vector<std::string> &args);

extern const char *const kUsage;

}  // namespace qel::recv_tool
