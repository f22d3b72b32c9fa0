// The camera simulator: a GigE Vision camera on the wire. It streams GVSP blocks to an address
// and port and answers GVCP PACKETRESEND commands on its control port, with faults on demand.
// This is the one header of the simulator library; qel-camsim, the tests and qel-recv --demo
// use it in-process:
//
//   qel::camsim::Config config;
//   config.dest_port = 50000;
//   config.frames = 100;
//   qel::camsim::Simulator sim(config);
//   if (std::string error = sim.start(); !error.empty()) { ... }
//   sim.wait_sent(std::chrono::seconds(5));
//   std::vector<uint8_t> expected = sim.expected_payload(7);  // the bytes of frame 7's block
//   sim.stop();
//
// Everything a block carries is a pure function of the configuration and the frame number, so
// a receiver can check every byte it reassembled against expected_payload(frame), and the
// simulator resends a packet by building it again rather than keeping copies of its frames.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace qel::camsim {

// A packet size means what a camera's stream channel packet size means: the whole IP packet,
// its IPv4 header (20 bytes, no options) and UDP header (8 bytes) included. A packet of 1500
// bytes carries 1472 bytes of GVSP header and data.
inline constexpr uint32_t kIpUdpHeaderSize = 28;
inline constexpr uint32_t kDefaultPacketSize = 1400;
// The largest IPv4 packet.
inline constexpr uint32_t kMaxPacketSize = 65535;
// Room for every leader with extended ids.
inline constexpr uint32_t kMinPacketSize = 92;
// A block never carries more than this (also the cap on a file payload read from disk).
inline constexpr uint64_t kMaxPayloadBytes = uint64_t{1} << 30;
inline constexpr uint16_t kDefaultControlPort = 3956;
inline constexpr uint16_t kDefaultStreamPort = 50000;

// What a block carries, each with its GVSP payload type.
enum class PayloadKind : uint8_t {
    image,                 // 0x0001: the test pattern
    raw,                   // 0x0002: raw data
    file,                  // 0x0003: a file (read from disk, or generated)
    chunk,                 // 0x0004: chunk data only
    extended_chunk,        // 0x0005: the older extended chunk mode (image leader, chunk data)
    image_extended_chunk,  // 0x4001: image with chunk data following it
};

// Pixel formats of the image test patterns (GenICam PFNC codes).
enum class PixelFormat : uint32_t {
    mono8 = 0x01080001,
    mono16 = 0x01100007,
    rgb8 = 0x02180014,
    bgr8 = 0x02180015,
    bayer_rg8 = 0x01080009,
};
inline constexpr PixelFormat kPixelFormats[] = {PixelFormat::mono8, PixelFormat::mono16,
                                                PixelFormat::rgb8, PixelFormat::bgr8,
                                                PixelFormat::bayer_rg8};

// One packet of one frame: a fault that withholds exactly this packet on its first sending.
struct PacketRef {
    uint64_t frame = 0;
    uint32_t packet_id = 0;
};

// Faults applied to the first sending of every frame (never to resent packets). All chances
// are per mille and drawn from a generator seeded with (seed, frame number), so a run is
// reproducible packet for packet whatever the timing.
struct FaultConfig {
    uint64_t seed = 1;
    uint32_t loss_per_mille = 0;          // any packet is withheld
    uint32_t burst_per_mille = 0;         // a burst of burst_length lost packets starts here
    uint32_t burst_length = 8;            // packets lost in one burst
    uint32_t leader_loss_per_mille = 0;   // the frame's leader is withheld
    uint32_t trailer_loss_per_mille = 0;  // the frame's trailer is withheld
    uint32_t reorder_per_mille = 0;       // a packet is sent reorder_distance packets later
    uint32_t reorder_distance = 3;
    uint32_t duplicate_per_mille = 0;  // a packet is sent twice in a row
    std::vector<PacketRef> drops;      // exactly these packets are withheld

    [[nodiscard]] bool any() const;
};

struct Config {
    // Where the stream goes. A multicast group as destination is sent with the given TTL on
    // the interface that carries multicast_interface (an IPv4 address; empty: the default).
    std::string dest_address = "127.0.0.1";
    uint16_t dest_port = kDefaultStreamPort;
    std::string source_address;  // empty: any local address
    uint16_t source_port = 0;    // 0: any
    std::string multicast_interface;
    uint8_t multicast_ttl = 1;
    uint32_t send_buffer_bytes = 4 << 20;

    // What the blocks carry.
    PayloadKind payload = PayloadKind::image;
    PixelFormat pixel_format = PixelFormat::mono8;
    uint32_t width = 640;
    uint32_t height = 480;
    uint64_t data_size = 65536;            // bytes of a raw block, or of a generated file
    std::string file_path;                 // file payload: send this file's contents in every block
    std::string file_name = "camsim.bin";  // the name a file block's leader carries

    // How the blocks are cut into packets.
    bool extended_ids = false;
    uint64_t first_block_id = 1;                // block id of frame 0; never 0
    uint32_t packet_size = kDefaultPacketSize;  // IP packet bytes of a full GVSP packet

    // Pacing and length: frames per second and packets per second (0: as fast as it can),
    // a number of frames and a time limit (0: no limit). Sending ends at the first limit met.
    double frame_rate = 0;
    double packet_rate = 0;
    uint64_t frames = 0;
    uint64_t duration_ms = 0;
    uint32_t batch_packets = 64;  // packets handed to the kernel per system call
    // Runs of full packets go to the kernel as one segmented send each (UDP segmentation
    // offload), where the kernel allows it. Off by default, one send per packet as a camera
    // sends: a packet socket on the sending host (tshark, Aravis's receiver) sees a segmented
    // run as one oversized frame.
    bool segmentation = false;

    // Packet resend service.
    bool listen = true;  // open the control port at all
    std::string control_address = "0.0.0.0";
    uint16_t control_port = kDefaultControlPort;  // 0: any free port (see Simulator::control_port)
    uint16_t channel = 0;                         // stream channel index the requests must name
    bool ignore_resend = false;                   // count valid requests but answer none
    bool refuse_control = false;                  // as a device: deny every client control
    uint32_t history_frames = 64;                 // most recent frames still held for resending

    FaultConfig faults;
};

// What the simulator served, counted since start. Stream counters count first sendings.
struct Counters {
    uint64_t frames_sent = 0;
    uint64_t packets_sent = 0;        // stream packets handed to the kernel (duplicates too)
    uint64_t bytes_sent = 0;          // UDP payload bytes of those packets
    uint64_t packets_withheld = 0;    // packets that faults kept back
    uint64_t packets_duplicated = 0;  // extra copies sent by the duplicate fault
    uint64_t packets_reordered = 0;   // packets the reorder fault sent late
    uint64_t resend_requests = 0;     // valid PACKETRESEND commands answered
    uint64_t packets_resent = 0;      // packets sent again with their data, marked as resent
    uint64_t bytes_resent = 0;
    uint64_t error_packets = 0;       // error-status packets sent for packets no longer held
    uint64_t requests_ignored = 0;    // valid commands left unanswered (ignore mode)
    uint64_t requests_malformed = 0;  // datagrams on the control port that were not valid
    uint64_t send_errors = 0;         // packets the kernel refused
};

// Checks a configuration; returns an empty text when it is usable, else a one-line reason.
[[nodiscard]] std::string validate(const Config &config);

// GVSP payload type code of a payload kind.
[[nodiscard]] uint16_t payload_type_code(PayloadKind kind);
// Bytes of one pixel; 0 for a format the simulator does not draw.
[[nodiscard]] uint32_t bytes_per_pixel(PixelFormat format);
// The format's GenICam name ("Mono8", ...).
[[nodiscard]] const char *pixel_format_name(PixelFormat format);
[[nodiscard]] const char *payload_kind_name(PayloadKind kind);

// The block id that frame `frame` carries: first_block_id + frame, skipping 0 where the ids
// wrap (at 16 bits with standard ids, at 64 bits with extended ids).
[[nodiscard]] uint64_t block_id_for_frame(const Config &config, uint64_t frame);

class Simulator {
public:
    explicit Simulator(Config config);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Why the configuration cannot be sent (validate, the file payload, the packet layout);
    // empty when it can. Known from construction on.
    [[nodiscard]] std::string config_error() const;

    // Opens the sockets and starts the sender and the resend listener. Returns an empty
    // text on success, else a one-line reason (nothing is left running then). Once only.
    // Leaders carry the CLOCK_MONOTONIC time in nanoseconds at which their frame started.
    [[nodiscard]] std::string start();
    // Stops sending and listening, waits for both threads and closes the sockets (their ports
    // are free afterwards). Safe to call more than once.
    void stop();
    // Waits until every frame was sent (or the duration passed, or sending failed); false
    // when the time ran out first. Resend requests are still answered afterwards until stop.
    bool wait_sent(std::chrono::milliseconds timeout);
    [[nodiscard]] bool sending() const;
    // Why sending stopped early, empty when it did not.
    [[nodiscard]] std::string send_error() const;

    // Serves one GVCP datagram that was read elsewhere as its control port would: a
    // PACKETRESEND is answered. For a simulator started without a control port of its own
    // (listen false) behind a part that owns the port; from one thread at a time.
    void serve_command(std::span<const uint8_t> datagram);

    [[nodiscard]] Counters counters() const;
    [[nodiscard]] const Config &config() const;
    // Ports actually bound, once started (useful when the configuration asked for 0).
    [[nodiscard]] uint16_t control_port() const;
    [[nodiscard]] uint16_t source_port() const;

    // Geometry of every block: payload bytes and the id of the trailer packet (payload
    // packets are 1 to trailer_packet_id - 1).
    [[nodiscard]] uint64_t payload_size() const;
    [[nodiscard]] uint32_t trailer_packet_id() const;
    [[nodiscard]] uint32_t payload_bytes_per_packet() const;
    [[nodiscard]] uint64_t block_id_for_frame(uint64_t frame) const;
    // The most recent frame started so far that carried `block_id` (16-bit ids repeat), none
    // when no frame sent so far carried it. For receivers that know only the block id.
    [[nodiscard]] std::optional<uint64_t> frame_of_block(uint64_t block_id) const;
    // The exact bytes a receiver reassembles for frame `frame` (its block's payload).
    [[nodiscard]] std::vector<uint8_t> expected_payload(uint64_t frame) const;
    // The same bytes for [offset, offset + out.size()) of the payload; false when the range
    // is outside the payload.
    bool expected_payload(uint64_t frame, uint64_t offset, std::span<uint8_t> out) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A UDP port on 127.0.0.1 that nobody uses right now (0 when none could be found): a socket
// binds to port 0, and the kernel's choice is read back and released. For a simulator's
// destination in tests, demos and benchmarks.
[[nodiscard]] uint16_t free_loopback_port();

}  // namespace qel::camsim
