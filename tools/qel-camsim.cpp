// qel-camsim: a GigE Vision camera simulator. Streams GVSP blocks to an address and port and
// answers GVCP PACKETRESEND commands on its control port, with seeded faults on demand.
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "camsim/camsim.h"
#include "camsim/device.h"
#include "camsim/stop_signal.h"
#include "common/command_line.h"
#include "common/pixel_formats.h"

namespace {

using qel::camsim::Config;
using qel::camsim::PayloadKind;
using qel::camsim::PixelFormat;

constexpr const char *kUsage = R"(Usage: qel-camsim [OPTION]...
A GigE Vision camera on the wire: streams GVSP blocks to an address and port and answers
GVCP PACKETRESEND commands on its control port. Every byte of frame n is a function of n and
its position (see --write-frame), so a receiver can check what it reassembled. At the end the
counters are printed to standard output, one "name value" per line.

Stream:
  --dest ADDR            destination IPv4 address, unicast or multicast (default 127.0.0.1)
  --port N               destination UDP port (default 50000)
  --source ADDR          local address to send from (default: any)
  --source-port N        local UDP port to send from (default: any)
  --mcast-if ADDR        address of the interface that sends to a multicast group
                         (default: the system's choice)
  --mcast-ttl N          multicast time to live, 0 to 255 (default 1)
  --send-buffer BYTES    socket send buffer (default 4194304)

Payload:
  --payload KIND         image, raw, file, chunk, extended-chunk or image-chunk (image with
                         extended chunk data, payload type 0x4001) (default image)
  --pixel-format FMT     Mono8, Mono16, RGB8, BGR8 or BayerRG8 (default Mono8); images
                         show the frame number in digits in their top-left corner
  --width N              image width in pixels, 1 to 65535 (default 640)
  --height N             image height in pixels, 1 to 65535 (default 480)
  --data-size BYTES      size of a raw block, or of a generated file (default 65536)
  --file PATH            file payload: every block carries this file's contents
  --file-name NAME       file name the file leader carries (default camsim.bin)

Packets:
  --packet-size BYTES    size of a GVSP packet as an IP packet, as a camera counts it: its
                         IP and UDP headers (28 bytes) and GVSP header (8 bytes, 20 with
                         extended ids) included, the rest is data; 92 to 65535 (default
                         1400; 1500 fills a standard Ethernet frame; jumbo frames e.g. 8192)
  --extended-ids         64-bit block ids and 32-bit packet ids (default: 16 and 24 bits)
  --first-block-id N     block id of the first frame, not 0 (default 1); 16-bit ids wrap
                         from 65535 to 1

Pace and length:
  --fps X                frames per second (default: as fast as it can)
  --packet-rate X        packets per second (default: as fast as it can)
  --frames N             number of frames to send (default: no limit)
  --duration SECONDS     stop sending after this time (default: no limit)
  --batch N              packets per sendmmsg call, 1 to 1024 (default 64)
  --segmentation         hand runs of full packets to the kernel as one segmented send
                         (UDP segmentation offload, where the kernel and the route allow
                         it): a faster sender for benchmarks; a packet socket on this host
                         then sees each run as one frame (default: one send per packet)

Packet resend:
  --control-port N       UDP port for GVCP commands (default 3956; 0: any free port)
  --control-addr ADDR    address to listen on for commands (default 0.0.0.0)
  --no-control           do not listen for commands at all
  --channel N            stream channel index that commands must name (default 0)
  --history N            most recent frames held for resending (default 64); older ones
                         are answered with error-status packets (0x8012)
  --ignore-resend        count valid commands but answer none
  --linger SECONDS       keep answering commands after the last frame (default 0.5)

Faults (applied to first sendings only; chances are per mille, 0 to 1000):
  --seed N               seed of the fault generator (default 1); the same seed gives the
                         same faults packet for packet
  --loss PM              chance that a packet is withheld
  --burst PM             chance that a burst of lost packets starts at a packet
  --burst-length N       packets lost in one burst (default 8)
  --lose-leader PM       chance that a frame's leader is withheld
  --lose-trailer PM      chance that a frame's trailer is withheld
  --reorder PM           chance that a packet is sent later than its place
  --reorder-distance N   packets a reordered packet is sent after, 1 to 64 (default 3)
  --duplicate PM         chance that a packet is sent twice
  --drop FRAME:PACKET    withhold exactly this packet (frame numbers count from 0);
                         may be given more than once

GigE Vision device:
  --device               be a camera that clients discover and control on the control port
                         (discovery, registers, a GenICam description, control privilege
                         and heartbeat) and stream only between their AcquisitionStart and
                         AcquisitionStop, to the destination they set; the stream options
                         above are its settings until a client changes them, --frames limits
                         each acquisition; runs until interrupted
  --refuse-control       as a device, deny every client control (access denied)

Other:
  --write-frame N        write frame N's expected payload to standard output and exit
                         (images as PGM or PPM, BGR8 images and other payloads as raw
                         bytes)
  --quiet                print nothing but errors
  -h, --help             show this text and exit
  --version              show the version and exit
)";

using qel::tools::GivenOption;
using qel::tools::positive_value;
using qel::tools::unsigned_value;
using qel::tools::UsageError;

constexpr qel::tools::OptionSpec kOptions[] = {
    {"dest", true},           {"port", true},
    {"source", true},         {"source-port", true},
    {"mcast-if", true},       {"mcast-ttl", true},
    {"send-buffer", true},    {"payload", true},
    {"pixel-format", true},   {"width", true},
    {"height", true},         {"data-size", true},
    {"file", true},           {"file-name", true},
    {"packet-size", true},    {"extended-ids", false},
    {"first-block-id", true}, {"fps", true},
    {"packet-rate", true},    {"frames", true},
    {"duration", true},       {"batch", true},
    {"segmentation", false},  {"control-port", true},
    {"control-addr", true},   {"no-control", false},
    {"channel", true},        {"history", true},
    {"ignore-resend", false}, {"linger", true},
    {"seed", true},           {"loss", true},
    {"burst", true},          {"burst-length", true},
    {"lose-leader", true},    {"lose-trailer", true},
    {"reorder", true},        {"reorder-distance", true},
    {"duplicate", true},      {"drop", true},
    {"device", false},        {"refuse-control", false},
    {"write-frame", true},    {"quiet", false},
};

uint32_t parse_per_mille(const GivenOption &option) {
    return static_cast<uint32_t>(unsigned_value(option, 0, 1000));
}

PayloadKind parse_payload(const std::string &text) {
    for (const PayloadKind kind :
         {PayloadKind::image, PayloadKind::raw, PayloadKind::file, PayloadKind::chunk,
          PayloadKind::extended_chunk, PayloadKind::image_extended_chunk}) {
        if (text == qel::camsim::payload_kind_name(kind)) return kind;
    }
    throw UsageError{"--payload: '" + text +
                     "' is not one of image, raw, file, chunk, extended-chunk, image-chunk"};
}

// Any format's name is understood; the simulator draws a few of them.
PixelFormat parse_pixel_format(const std::string &text) {
    const auto code = qel::tools::pixel_format_code(text);
    for (const PixelFormat format : qel::camsim::kPixelFormats) {
        if (code == static_cast<uint32_t>(format)) return format;
    }
    throw UsageError{"--pixel-format: '" + text +
                     "' is not one the simulator draws: Mono8, Mono16, RGB8, BGR8, BayerRG8"};
}

qel::camsim::PacketRef parse_drop(const GivenOption &option) {
    const size_t colon = option.value.find(':');
    if (colon == std::string::npos) {
        throw UsageError{"--drop: '" + option.value + "' is not FRAME:PACKET"};
    }
    qel::camsim::PacketRef ref;
    ref.frame = unsigned_value({"drop", option.value.substr(0, colon)}, 0, UINT64_MAX);
    ref.packet_id = static_cast<uint32_t>(
        unsigned_value({"drop", option.value.substr(colon + 1)}, 0, UINT32_MAX));
    return ref;
}

struct Options {
    Config config;
    double linger_seconds = 0.5;
    bool quiet = false;
    bool write_frame = false;
    uint64_t frame_to_write = 0;
    bool device = false;
};

Options parse(const qel::tools::CommandLine &line) {
    if (!line.operands.empty()) throw UsageError{"unexpected argument '" + line.operands[0] + "'"};
    Options o;
    Config &c = o.config;
    for (const GivenOption &option : line.options) {
        const std::string &name = option.name;
        const std::string &value = option.value;
        const auto u16 = [&](uint64_t min) {
            return static_cast<uint16_t>(unsigned_value(option, min, 65535));
        };
        const auto u32 = [&](uint64_t min, uint64_t max) {
            return static_cast<uint32_t>(unsigned_value(option, min, max));
        };
        if (name == "dest") {
            c.dest_address = value;
        } else if (name == "port") {
            c.dest_port = u16(1);
        } else if (name == "source") {
            c.source_address = value;
        } else if (name == "source-port") {
            c.source_port = u16(0);
        } else if (name == "mcast-if") {
            c.multicast_interface = value;
        } else if (name == "mcast-ttl") {
            c.multicast_ttl = static_cast<uint8_t>(u32(0, 255));
        } else if (name == "send-buffer") {
            c.send_buffer_bytes = u32(4096, 1u << 30);
        } else if (name == "payload") {
            c.payload = parse_payload(value);
        } else if (name == "pixel-format") {
            c.pixel_format = parse_pixel_format(value);
        } else if (name == "width") {
            c.width = u32(1, 65535);
        } else if (name == "height") {
            c.height = u32(1, 65535);
        } else if (name == "data-size") {
            c.data_size = unsigned_value(option, 1, qel::camsim::kMaxPayloadBytes);
        } else if (name == "file") {
            c.file_path = value;
        } else if (name == "file-name") {
            c.file_name = value;
        } else if (name == "packet-size") {
            c.packet_size = u32(qel::camsim::kMinPacketSize, qel::camsim::kMaxPacketSize);
        } else if (name == "extended-ids") {
            c.extended_ids = true;
        } else if (name == "first-block-id") {
            c.first_block_id = unsigned_value(option, 1, UINT64_MAX);
        } else if (name == "fps") {
            c.frame_rate = positive_value(option);
        } else if (name == "packet-rate") {
            c.packet_rate = positive_value(option);
        } else if (name == "frames") {
            c.frames = unsigned_value(option, 1, UINT64_MAX);
        } else if (name == "duration") {
            c.duration_ms = static_cast<uint64_t>(std::ceil(positive_value(option) * 1000));
        } else if (name == "batch") {
            c.batch_packets = u32(1, 1024);
        } else if (name == "segmentation") {
            c.segmentation = true;
        } else if (name == "control-port") {
            c.control_port = u16(0);
        } else if (name == "control-addr") {
            c.control_address = value;
        } else if (name == "no-control") {
            c.listen = false;
        } else if (name == "channel") {
            c.channel = u16(0);
        } else if (name == "history") {
            c.history_frames = u32(1, 1 << 20);
        } else if (name == "ignore-resend") {
            c.ignore_resend = true;
        } else if (name == "linger") {
            char *end = nullptr;
            o.linger_seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || end != value.c_str() + value.size() ||
                !std::isfinite(o.linger_seconds) || o.linger_seconds < 0) {
                throw UsageError{"--linger: '" + value + "' is not a number of seconds"};
            }
        } else if (name == "seed") {
            c.faults.seed = unsigned_value(option, 0, UINT64_MAX);
        } else if (name == "loss") {
            c.faults.loss_per_mille = parse_per_mille(option);
        } else if (name == "burst") {
            c.faults.burst_per_mille = parse_per_mille(option);
        } else if (name == "burst-length") {
            c.faults.burst_length = u32(1, 1u << 24);
        } else if (name == "lose-leader") {
            c.faults.leader_loss_per_mille = parse_per_mille(option);
        } else if (name == "lose-trailer") {
            c.faults.trailer_loss_per_mille = parse_per_mille(option);
        } else if (name == "reorder") {
            c.faults.reorder_per_mille = parse_per_mille(option);
        } else if (name == "reorder-distance") {
            c.faults.reorder_distance = u32(1, 64);
        } else if (name == "duplicate") {
            c.faults.duplicate_per_mille = parse_per_mille(option);
        } else if (name == "drop") {
            c.faults.drops.push_back(parse_drop(option));
        } else if (name == "device") {
            o.device = true;
        } else if (name == "refuse-control") {
            c.refuse_control = true;
        } else if (name == "write-frame") {
            o.write_frame = true;
            o.frame_to_write = unsigned_value(option, 0, UINT64_MAX);
        } else if (name == "quiet") {
            o.quiet = true;
        }
    }
    return o;
}

int write_frame(const Options &o) {
    qel::camsim::Simulator sim(o.config);
    const std::vector<uint8_t> bytes = sim.expected_payload(o.frame_to_write);
    if (bytes.empty()) {
        std::fprintf(stderr, "qel-camsim: %s\n", sim.config_error().c_str());
        return 2;
    }
    // PGM and PPM hold Mono8, RGB8 and, as its mosaic, BayerRG8; Mono16 too, as the same
    // value is in both bytes of a pixel. BGR8 is written as it is sent.
    const PixelFormat format = o.config.pixel_format;
    if (o.config.payload == PayloadKind::image && format != PixelFormat::bgr8) {
        std::printf("P%c\n%u %u\n%u\n", format == PixelFormat::rgb8 ? '6' : '5', o.config.width,
                    o.config.height, format == PixelFormat::mono16 ? 65535U : 255U);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "qel-camsim: cannot write the frame: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

volatile std::sig_atomic_t g_signalled = 0;

void on_signal(int) {
    g_signalled = 1;
}

void print_counters(const qel::camsim::Counters &c, double seconds) {
    std::printf("frames_sent %llu\n", static_cast<unsigned long long>(c.frames_sent));
    std::printf("packets_sent %llu\n", static_cast<unsigned long long>(c.packets_sent));
    std::printf("bytes_sent %llu\n", static_cast<unsigned long long>(c.bytes_sent));
    std::printf("packets_withheld %llu\n", static_cast<unsigned long long>(c.packets_withheld));
    std::printf("packets_duplicated %llu\n", static_cast<unsigned long long>(c.packets_duplicated));
    std::printf("packets_reordered %llu\n", static_cast<unsigned long long>(c.packets_reordered));
    std::printf("resend_requests %llu\n", static_cast<unsigned long long>(c.resend_requests));
    std::printf("packets_resent %llu\n", static_cast<unsigned long long>(c.packets_resent));
    std::printf("bytes_resent %llu\n", static_cast<unsigned long long>(c.bytes_resent));
    std::printf("error_packets %llu\n", static_cast<unsigned long long>(c.error_packets));
    std::printf("requests_ignored %llu\n", static_cast<unsigned long long>(c.requests_ignored));
    std::printf("requests_malformed %llu\n", static_cast<unsigned long long>(c.requests_malformed));
    std::printf("send_errors %llu\n", static_cast<unsigned long long>(c.send_errors));
    std::printf("seconds %.3f\n", seconds);
    std::printf("gbit_per_second %.3f\n",
                seconds > 0 ? static_cast<double>(c.bytes_sent) * 8 / seconds / 1e9 : 0.0);
}

// Serves as a device until interrupted.
int run_device(const Options &o) {
    if (o.config.payload != PayloadKind::image || !o.config.listen) {
        return qel::tools::usage_error("qel-camsim",
                                       "--device streams images and needs its control port");
    }
    qel::camsim::Device device(o.config);
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const uint64_t start = qel::camsim::monotonic_ns();
    if (const std::string error = device.start(); !error.empty()) {
        std::fprintf(stderr, "qel-camsim: %s\n", error.c_str());
        return 1;
    }
    if (!o.quiet) {
        std::fprintf(stderr, "qel-camsim: GigE Vision device on %s:%u, waiting for a controller\n",
                     o.config.control_address.c_str(), device.control_port());
    }
    while (!g_signalled) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    device.stop();
    const double seconds = static_cast<double>(qel::camsim::monotonic_ns() - start) / 1e9;
    if (!o.quiet) print_counters(device.counters(), seconds);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const qel::tools::CommandLine line = qel::tools::parse_command_line(kOptions, argc, argv);
    if (const int status =
            qel::tools::answer_command_line("qel-camsim", kUsage, line.ask, line.error);
        status >= 0) {
        return status;
    }
    Options o;
    try {
        o = parse(line);
    } catch (const UsageError &error) {
        return qel::tools::usage_error("qel-camsim", error.message);
    }
    if (o.write_frame) return write_frame(o);
    if (o.device) return run_device(o);

    qel::camsim::Simulator sim(o.config);
    if (const std::string error = sim.config_error(); !error.empty()) {
        std::fprintf(stderr, "qel-camsim: %s\n", error.c_str());
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    const uint64_t start = qel::camsim::monotonic_ns();
    if (const std::string error = sim.start(); !error.empty()) {
        std::fprintf(stderr, "qel-camsim: %s\n", error.c_str());
        return 1;
    }
    const Config &c = o.config;
    if (!o.quiet) {
        std::fprintf(stderr,
                     "qel-camsim: %s blocks of %llu bytes in %u packets of at most %u bytes to "
                     "%s:%u from port %u; control port %s\n",
                     qel::camsim::payload_kind_name(c.payload),
                     static_cast<unsigned long long>(sim.payload_size()),
                     sim.trailer_packet_id() + 1, c.packet_size, c.dest_address.c_str(),
                     c.dest_port, sim.source_port(),
                     c.listen ? std::to_string(sim.control_port()).c_str() : "off");
    }
    while (!g_signalled && !sim.wait_sent(std::chrono::milliseconds(50))) {
    }
    const double seconds = static_cast<double>(qel::camsim::monotonic_ns() - start) / 1e9;
    // Receivers may still ask for packets of the last frames.
    const auto linger_end = std::chrono::steady_clock::now() +
                            std::chrono::microseconds(static_cast<int64_t>(o.linger_seconds * 1e6));
    while (!g_signalled && c.listen && std::chrono::steady_clock::now() < linger_end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    sim.stop();
    if (!o.quiet) print_counters(sim.counters(), seconds);
    if (const std::string error = sim.send_error(); !error.empty()) {
        std::fprintf(stderr, "qel-camsim: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
