#include "recv/options.h"

#include <arpa/inet.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qel::recv_tool {

const char *const kUsage = R"(Usage: qel-recv --local ADDR --port N [OPTION]...
       qel-recv --demo [OPTION]...
Receives one GigE Vision stream through the adapter and reports it: one status line a second
while it runs, a summary at the end.

Stream:
  --local ADDR           local IPv4 address the stream is sent to (an adapter board's)
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
  --buffers N            number of buffers, 1 to 4096 (default 16)
  --buffer-size BYTES    size of each buffer, suffixes K, M, G allowed (default: the size
                         of the first block that arrives)
  --block-timeout MS     with resend: time a block may take to complete (default 1000)
  --max-requests N       with resend: requests per block at most (default 50)
  --keep-incomplete      deliver incomplete blocks instead of dropping them

Length (the first limit met ends the run; none: until interrupted):
  --duration SECONDS     receive for this long
  --frames N             receive this many frames

Output:
  --save DIR             write received images as PNG into DIR (Mono8, Mono16, RGB8, BGR8)
  --save-every N         write the first image and every Nth after it (default 100)
  --json                 print the summary as one JSON object on standard output; status
                         lines and messages go to standard error
  --quiet                no status lines
  --help                 show this text and exit

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

struct Fail {
    std::string message;
};

uint64_t parse_unsigned(const std::string &option, const std::string &text, uint64_t min,
                        uint64_t max) {
    uint64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || ptr != end || value < min || value > max) {
        throw Fail{option + ": '" + text + "' is not a number from " + std::to_string(min) +
                   " to " + std::to_string(max)};
    }
    return value;
}

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

double parse_seconds(const std::string &option, const std::string &text) {
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    // A day at most: longer runs are given no limit at all.
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(value) || value <= 0 ||
        value > 86400) {
        throw Fail{option + ": '" + text + "' is not a number of seconds above 0, up to 86400"};
    }
    return value;
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
    if (o.worker_cpu && o.mode_given && o.mode != Mode::worker) {
        throw Fail{"--cpu pins the receive worker: it needs --mode worker"};
    }
    if (o.worker_cpu) o.mode = Mode::worker;
    if (o.demo) {
        if (local_given || port_given || !o.group.empty() || !o.camera_address.empty()) {
            throw Fail{
                "--demo chooses its own stream: --local, --port, --group and --camera "
                "are not for it"};
        }
        // Every frame the simulator sends is accounted for: a shorter run would count the
        // frames it left as lost.
        if (o.frames != 0 || o.duration_s != 0) {
            throw Fail{
                "--demo receives every frame it sends: --frames and --duration are not "
                "for it"};
        }
        if (o.mode_given && o.mode == Mode::poll) {
            throw Fail{"--demo receives with resend: --mode must be resend or worker"};
        }
        if (!o.mode_given && !o.worker_cpu) o.mode = Mode::resend;
        return;
    }
    if (!local_given) throw Fail{"--local ADDR is needed (or --demo)"};
    if (!port_given) throw Fail{"--port N is needed (or --demo)"};
    if (!o.group.empty() && !is_multicast(o.group)) {
        throw Fail{"--group: '" + o.group + "' is not a multicast address (224.0.0.0/4)"};
    }
    if (!o.group.empty() && !o.camera_address.empty()) {
        throw Fail{"--group and --camera: zero-loss receive is offered on unicast streams only"};
    }
    if (!o.mode_given && !o.worker_cpu && !o.camera_address.empty()) o.mode = Mode::resend;
    if (o.mode == Mode::resend && o.camera_address.empty()) {
        throw Fail{"--mode resend needs --camera ADDR, where resend requests go"};
    }
}

}  // namespace

ParseResult parse_options(const std::vector<std::string> &args) {
    ParseResult result;
    Options &o = result.options;
    bool local_given = false;
    bool port_given = false;
    try {
        for (size_t i = 0; i < args.size(); ++i) {
            std::string arg = args[i];
            std::string value;
            bool has_value = false;
            if (const size_t eq = arg.find('=');
                arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg.resize(eq);
                has_value = true;
            }
            auto flag = [&](const char *name) {
                if (arg != name) return false;
                if (has_value) throw Fail{"option '" + arg + "' takes no value"};
                return true;
            };
            auto option = [&](const char *name) {
                if (arg != name) return false;
                if (!has_value) {
                    if (i + 1 >= args.size()) throw Fail{"option '" + arg + "' needs a value"};
                    value = args[++i];
                }
                return true;
            };
            if (flag("--help")) {
                result.help = true;
                return result;
            } else if (flag("--demo")) {
                o.demo = true;
            } else if (option("--local")) {
                o.local_address = parse_ipv4(arg, value);
                local_given = true;
            } else if (option("--port")) {
                o.port = static_cast<uint16_t>(parse_unsigned(arg, value, 1, 65535));
                port_given = true;
            } else if (option("--group")) {
                o.group = parse_ipv4(arg, value);
            } else if (option("--camera")) {
                o.camera_address = parse_ipv4(arg, value);
            } else if (option("--camera-port")) {
                o.camera_port = static_cast<uint16_t>(parse_unsigned(arg, value, 1, 65535));
            } else if (option("--channel")) {
                o.channel = static_cast<uint16_t>(parse_unsigned(arg, value, 0, 65535));
            } else if (flag("--extended-ids")) {
                o.extended_ids = true;
            } else if (option("--mode")) {
                o.mode = parse_mode(value);
                o.mode_given = true;
            } else if (option("--cpu")) {
                // The library pins to processor cpu mod 32.
                o.worker_cpu = static_cast<uint32_t>(parse_unsigned(arg, value, 0, 31));
            } else if (option("--buffers")) {
                o.buffers = static_cast<uint32_t>(parse_unsigned(arg, value, 1, 4096));
            } else if (option("--buffer-size")) {
                // The adapter describes a buffer's length in 32 bits.
                o.buffer_size = parse_bytes(arg, value, UINT32_MAX);
            } else if (option("--block-timeout")) {
                o.block_timeout_ms = static_cast<uint32_t>(parse_unsigned(arg, value, 1, 600000));
            } else if (option("--max-requests")) {
                o.max_requests = static_cast<uint32_t>(parse_unsigned(arg, value, 1, 65535));
            } else if (flag("--keep-incomplete")) {
                o.keep_incomplete = true;
            } else if (option("--duration")) {
                o.duration_s = parse_seconds(arg, value);
            } else if (option("--frames")) {
                o.frames = parse_unsigned(arg, value, 1, UINT64_MAX);
            } else if (option("--save")) {
                if (value.empty()) throw Fail{"--save: the directory name is empty"};
                o.save_dir = value;
            } else if (option("--save-every")) {
                o.save_every = parse_unsigned(arg, value, 1, UINT64_MAX);
            } else if (flag("--json")) {
                o.json = true;
            } else if (flag("--quiet")) {
                o.quiet = true;
            } else if (arg.rfind("-", 0) == 0) {
                throw Fail{"unknown option '" + arg + "'"};
            } else {
                throw Fail{"unexpected argument '" + arg + "'"};
            }
        }
        check_together(o, local_given, port_given);
    } catch (const Fail &fail) {
        result.error = fail.message;
    }
    return result;
}

}  // namespace qel::recv_tool
