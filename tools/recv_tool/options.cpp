#include "recv_tool/options.h"

#include <arpa/inet.h>

#include <charconv>

namespace qel::recv_tool {

const char *const kUsage = R"(Usage: qel-recv --local ADDR --port N [OPTION]...
       qel-recv --board NAME --port N [OPTION]...
       qel-recv --control-camera WHICH [OPTION]...
       qel-recv --list-cameras
       qel-recv --demo [OPTION]...
Receives one GigE Vision stream through the adapter and reports it: one status line a second
while it runs, a summary at the end.

Camera control (when built with Aravis):
  --list-cameras         list the GigE Vision cameras that answer, with the interface that
                         reaches each and whether an adapter board carries it
  --control-camera WHICH take control of the camera WHICH (its address, serial number, user
                         id or id; any: the first that answers), point its stream at --local
                         (default: the interface that reaches it) and --port (default: a free
                         one), start it, receive with packet resend from it, and at the end
                         stop it and give control back
  --packet-size BYTES    with --control-camera: the stream's packet size (default: the
                         largest the camera finds passes the path)
  --pixel-format NAME    with --control-camera: set this pixel format (Mono8, ...)
  --width N, --height N  with --control-camera: set this image size (both together)
  --frame-rate FPS       with --control-camera: set this frame rate

Stream:
  --local ADDR           local IPv4 address the stream is sent to (an adapter board's)
  --board NAME           the board of this name (qel-adapter set-name), at its address
  --port N               UDP port the stream is sent to
  --group ADDR           receive this multicast group on the board of --local
  --camera ADDR          zero-loss: the camera's address, where resend requests go
  --camera-port N        the camera's control port for resend requests (default 3956)
  --channel N            stream channel index the resend requests name (default 0)
  --extended-ids         the camera uses 64-bit block ids and 32-bit packet ids

Receiving:
  --mode MODE            poll: plain polling (the default without --camera);
                         resend: polling with packet resend (the default with --camera);
                         worker: a receive worker thread takes the blocks (and resends
                         with --camera)
  --cpu N                pin the receive worker to processor N (implies --mode worker)
  --busy-poll            the receive worker polls without pause, for the least latency,
                         keeping a processor busy even while no frame comes (implies
                         --mode worker; by default the worker sleeps while the stream is idle)
  --buffers N            number of buffers, 1 to 4096 (default 16)
  --buffer-size BYTES    size of each buffer, suffixes K, M, G allowed (default: the size
                         of the first block that arrives)
  --block-timeout MS     with resend: time a block may take to complete (default 1000)
  --max-requests N       with resend: rounds of requests per block at most (default 50)
  --whole-tail-resend    with resend: ask for everything from the first missing packet to
                         the end of the block, not only for the packets lost (to compare)
  --keep-incomplete      deliver incomplete blocks instead of dropping them

Length (the first limit met ends the run; none: until interrupted):
  --duration SECONDS     receive for this long
  --frames N             receive this many frames
  --first-frame-timeout SECONDS
                         end the run when no frame at all has come after this long
                         (default 60): the camera is not streaming to this address

Output:
  --save DIR             write received images as PNG into DIR (Mono8, Mono16, RGB8, BGR8)
  --save-every N         write the first image and every Nth after it (default 100)
  --metrics FILE         the telemetry add-on writes the stream's counters to FILE in the
                         Prometheus text format about every five seconds; meanwhile the
                         status lines show the frames and the throughput, and the
                         library's counters reach the summary only
  --json                 print the summary as one JSON object on standard output; status
                         lines and messages go to standard error
  --quiet                no status lines
  -h, --help             show this text and exit
  --version              show the version and exit

Demo:
  --demo                 start the camera simulator in this process on loopback, with 1%
                         packet loss, receive its stream with resend for a few seconds,
                         check every frame against what was sent and save one as PNG
                         (into --save DIR, else a folder under the temporary directory);
                         --mode worker, --cpu, --buffers, --buffer-size, --json and --quiet
                         apply to it as well
)";

const char *mode_name(Mode mode) {
    switch (mode) {
        case Mode::poll:
            return "poll";
        case Mode::resend:
            return "resend";
        case Mode::worker:
            return "worker";
    }
    return "?";
}

namespace {

using tools::GivenOption;
using tools::unsigned_value;
using Fail = tools::UsageError;

constexpr tools::OptionSpec kOptions[] = {
    {"demo", false},         {"local", true},
    {"board", true},         {"port", true},
    {"group", true},         {"camera", true},
    {"camera-port", true},   {"channel", true},
    {"extended-ids", false}, {"mode", true},
    {"cpu", true},           {"buffers", true},
    {"buffer-size", true},   {"block-timeout", true},
    {"max-requests", true},  {"keep-incomplete", false},
    {"duration", true},      {"frames", true},
    {"save", true},          {"save-every", true},
    {"metrics", true},       {"json", false},
    {"quiet", false},        {"first-frame-timeout", true},
    {"list-cameras", false}, {"control-camera", true},
    {"packet-size", true},   {"pixel-format", true},
    {"width", true},         {"height", true},
    {"frame-rate", true},    {"whole-tail-resend", false},
    {"busy-poll", false},
};

// A byte count with an optional binary suffix: 4096, 64K, 16M, 1G.
uint64_t parse_bytes(const std::string &option, const std::string &text, uint64_t max) {
    std::string digits = text;
    uint64_t unit = 1;
    if (!digits.empty()) {
        switch (digits.back()) {
            case 'k':
            case 'K':
                unit = uint64_t{1} << 10;
                break;
            case 'm':
            case 'M':
                unit = uint64_t{1} << 20;
                break;
            case 'g':
            case 'G':
                unit = uint64_t{1} << 30;
                break;
            default:
                break;
        }
        if (unit != 1) digits.pop_back();
    }
    uint64_t value = 0;
    const char *end = digits.data() + digits.size();
    const auto [ptr, error] = std::from_chars(digits.data(), end, value);
    if (digits.empty() || error != std::errc() || ptr != end || value == 0 || value > max / unit) {
        throw Fail{option + ": '" + text + "' is not a size from 1 to " + std::to_string(max) +
                   " bytes"};
    }
    return value * unit;
}

// A dotted IPv4 address, checked here so that later steps never see a malformed one.
std::string parse_ipv4(const std::string &option, const std::string &text) {
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        throw Fail{option + ": '" + text + "' is not an IPv4 address"};
    }
    return text;
}

Mode parse_mode(const std::string &text) {
    if (text == "poll") return Mode::poll;
    if (text == "resend") return Mode::resend;
    if (text == "worker") return Mode::worker;
    throw Fail{"--mode: '" + text + "' is not one of poll, resend, worker"};
}

bool is_multicast(const std::string &address) {
    in_addr a{};
    inet_pton(AF_INET, address.c_str(), &a);
    return (ntohl(a.s_addr) >> 28) == 0xE;
}

// Rules between options, once all are known.
void check_together(Options &o, bool local_given, bool port_given) {
    if (o.list_cameras) {
        if (o.demo || local_given || port_given || o.control || !o.board_name.empty()) {
            throw Fail{"--list-cameras lists and ends: it takes no stream options"};
        }
        return;
    }
    if (o.busy_poll) {
        if (o.mode_given && o.mode != Mode::worker) {
            throw Fail{"--busy-poll is how the receive worker waits: it needs --mode worker"};
        }
        o.mode = Mode::worker;
    }
    if (o.control && o.control->which.empty()) {
        throw Fail{
            "--packet-size, --pixel-format, --width, --height and --frame-rate set a "
            "camera qel-recv controls: they need --control-camera"};
    }
    if (o.control) {
        if ((o.control->width == 0) != (o.control->height == 0)) {
            throw Fail{"--width and --height come together"};
        }
        if (o.demo || !o.group.empty() || !o.camera_address.empty() || !o.board_name.empty()) {
            throw Fail{
                "--control-camera chooses the camera and its stream: --demo, --group, "
                "--camera and --board are not for it"};
        }
        // The camera's address is learnt when it is opened; poll mode receives without resend.
        if (!o.mode_given && !o.worker_cpu && !o.busy_poll) o.mode = Mode::resend;
        return;
    }
    if (o.worker_cpu && o.mode_given && o.mode != Mode::worker) {
        throw Fail{"--cpu pins the receive worker: it needs --mode worker"};
    }
    if (o.worker_cpu) o.mode = Mode::worker;
    if (o.demo) {
        if (local_given || !o.board_name.empty() || port_given || !o.group.empty() ||
            !o.camera_address.empty()) {
            throw Fail{
                "--demo chooses its own stream: --local, --board, --port, --group and --camera "
                "are not for it"};
        }
        // Every frame the simulator sends is accounted for: a shorter run would count the
        // frames it left as lost.
        if (o.frames != 0 || o.duration_s != 0) {
            throw Fail{
                "--demo receives every frame it sends: --frames and --duration are not "
                "for it"};
        }
        if (!o.metrics_file.empty()) throw Fail{"--demo checks frames: --metrics is not for it"};
        if (o.mode_given && o.mode == Mode::poll) {
            throw Fail{"--demo receives with resend: --mode must be resend or worker"};
        }
        if (!o.mode_given && !o.worker_cpu && !o.busy_poll) o.mode = Mode::resend;
        return;
    }
    if (local_given && !o.board_name.empty()) {
        throw Fail{"--local and --board: give one of them, the board's address or its name"};
    }
    if (!local_given && o.board_name.empty()) {
        throw Fail{"--local ADDR or --board NAME is needed (or --demo)"};
    }
    if (!port_given) throw Fail{"--port N is needed (or --demo)"};
    if (!o.group.empty() && !is_multicast(o.group)) {
        throw Fail{"--group: '" + o.group + "' is not a multicast address (224.0.0.0/4)"};
    }
    if (!o.group.empty() && !o.camera_address.empty()) {
        throw Fail{"--group and --camera: zero-loss receive is offered on unicast streams only"};
    }
    if (!o.mode_given && !o.worker_cpu && !o.busy_poll && !o.camera_address.empty())
        o.mode = Mode::resend;
    if (o.mode == Mode::resend && o.camera_address.empty()) {
        throw Fail{"--mode resend needs --camera ADDR, where resend requests go"};
    }
}

}  // namespace

ParseResult parse_options(const std::vector<std::string> &args) {
    ParseResult result;
    const tools::CommandLine line = tools::parse_command_line(kOptions, args);
    result.ask = line.ask;
    result.error = line.error;
    if (line.ask != tools::CommandLine::Ask::run || !line.error.empty()) return result;
    Options &o = result.options;
    bool local_given = false;
    bool port_given = false;
    auto control = [&]() -> CameraControl & {
        if (!o.control) o.control.emplace();
        return *o.control;
    };
    try {
        if (!line.operands.empty()) throw Fail{"unexpected argument '" + line.operands[0] + "'"};
        for (const GivenOption &option : line.options) {
            const std::string &name = option.name;
            const std::string &value = option.value;
            const std::string arg = "--" + name;
            if (name == "demo") {
                o.demo = true;
            } else if (name == "local") {
                o.local_address = parse_ipv4(arg, value);
                local_given = true;
            } else if (name == "board") {
                if (value.empty()) throw Fail{"--board: the name is empty"};
                o.board_name = value;
            } else if (name == "port") {
                o.port = static_cast<uint16_t>(unsigned_value(option, 1, 65535));
                port_given = true;
            } else if (name == "group") {
                o.group = parse_ipv4(arg, value);
            } else if (name == "camera") {
                o.camera_address = parse_ipv4(arg, value);
            } else if (name == "camera-port") {
                o.camera_port = static_cast<uint16_t>(unsigned_value(option, 1, 65535));
            } else if (name == "channel") {
                o.channel = static_cast<uint16_t>(unsigned_value(option, 0, 65535));
            } else if (name == "extended-ids") {
                o.extended_ids = true;
            } else if (name == "mode") {
                o.mode = parse_mode(value);
                o.mode_given = true;
            } else if (name == "cpu") {
                // The library pins to processor cpu mod 32.
                o.worker_cpu = static_cast<uint32_t>(unsigned_value(option, 0, 31));
            } else if (name == "busy-poll") {
                o.busy_poll = true;
            } else if (name == "buffers") {
                o.buffers = static_cast<uint32_t>(unsigned_value(option, 1, 4096));
            } else if (name == "buffer-size") {
                // The adapter describes a buffer's length in 32 bits.
                o.buffer_size = parse_bytes(arg, value, UINT32_MAX);
            } else if (name == "block-timeout") {
                o.block_timeout_ms = static_cast<uint32_t>(unsigned_value(option, 1, 600000));
            } else if (name == "max-requests") {
                o.max_requests = static_cast<uint32_t>(unsigned_value(option, 1, 65535));
            } else if (name == "keep-incomplete") {
                o.keep_incomplete = true;
            } else if (name == "whole-tail-resend") {
                o.ranged_resend = false;
            } else if (name == "duration") {
                // A day at most: longer runs are given no limit at all.
                o.duration_s = tools::positive_value(option, 86400);
            } else if (name == "list-cameras") {
                o.list_cameras = true;
            } else if (name == "control-camera") {
                if (value.empty()) throw Fail{"--control-camera: the camera is not named"};
                control().which = value;
            } else if (name == "packet-size") {
                control().packet_size = static_cast<uint32_t>(unsigned_value(option, 576, 16384));
            } else if (name == "pixel-format") {
                if (value.empty()) throw Fail{"--pixel-format: the name is empty"};
                control().pixel_format = value;
            } else if (name == "width") {
                control().width = static_cast<uint32_t>(unsigned_value(option, 1, 65535));
            } else if (name == "height") {
                control().height = static_cast<uint32_t>(unsigned_value(option, 1, 65535));
            } else if (name == "frame-rate") {
                control().frame_rate = tools::positive_value(option, 100000);
            } else if (name == "first-frame-timeout") {
                o.first_frame_timeout_s = tools::positive_value(option, 86400);
            } else if (name == "frames") {
                o.frames = unsigned_value(option, 1, UINT64_MAX);
            } else if (name == "save") {
                if (value.empty()) throw Fail{"--save: the directory name is empty"};
                o.save_dir = value;
            } else if (name == "save-every") {
                o.save_every = unsigned_value(option, 1, UINT64_MAX);
            } else if (name == "metrics") {
                if (value.empty()) throw Fail{"--metrics: the file name is empty"};
                o.metrics_file = value;
            } else if (name == "json") {
                o.json = true;
            } else if (name == "quiet") {
                o.quiet = true;
            }
        }
        check_together(o, local_given, port_given);
    } catch (const Fail &fail) {
        result.error = fail.message;
    }
    return result;
}

}  // namespace qel::recv_tool
