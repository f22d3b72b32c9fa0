// The software adapter's own settings, read from the environment each time they are needed
// (so a test or a tool may change them between uses).
#pragma once

#include <cstdint>
#include <string>

#include "core/private_files.h"

namespace qel::adapter {

// Where endpoint lock files live: QEL_ADAPTER_RUN_DIR, else the user's run-time folder
// (files::runtime_folder: $XDG_RUNTIME_DIR/qel, /run/user/<uid>/qel, or one in the user's
// state folder), never a name in a shared folder that another user could make first.
std::string run_dir();

// Where persistent state (adapter names) lives: QEL_ADAPTER_STATE_DIR, else
// $XDG_STATE_HOME/qel, else <home>/.local/state/qel. Empty when no home can be found.
std::string state_dir();

// Bytes of an endpoint's descriptor ring: QEL_ADAPTER_RING_BYTES, default 65536. Always a
// power of two between kMinRingBytes and kMaxRingBytes; other values are rounded up to a power
// of two and clamped, text that is not a number gives the default.
uint32_t ring_bytes();
constexpr uint32_t kDefaultRingBytes = 65536;
constexpr uint32_t kMinRingBytes = 4096;
constexpr uint32_t kMaxRingBytes = 64u << 20;

// Receive buffer asked for on filter sockets: QEL_ADAPTER_RCVBUF, default 64 MiB, clamped to
// [kMinReceiveBuffer, kMaxReceiveBuffer].
int receive_buffer_bytes();
constexpr int kDefaultReceiveBuffer = 64 << 20;
constexpr int kMinReceiveBuffer = 4096;
constexpr int kMaxReceiveBuffer = 1 << 30;

// The firmware's resend interval: how long a block may receive nothing before it is reported
// as missing packets, and how often it is reported again while it misses them.
// QEL_ADAPTER_RESEND_INTERVAL_MS, default 10, clamped to [1, kMaxFirmwareMs].
uint32_t resend_interval_ms();
constexpr uint32_t kDefaultResendIntervalMs = 10;

// How long a block may take, from its first packet, before the firmware ends it incomplete.
// QEL_ADAPTER_BLOCK_TIMEOUT_MS, default 200, clamped to [1, kMaxFirmwareMs].
uint32_t block_timeout_ms();
constexpr uint32_t kDefaultBlockTimeoutMs = 200;
constexpr uint32_t kMaxFirmwareMs = 600000;

// Whether an endpoint takes its stream's packets from any sender: QEL_ADAPTER_ANY_SOURCE=1.
// Otherwise (the default) one sender is the stream's source (source_filter.h).
bool accept_any_source();

// How the firmware receives a stream's packets: QEL_ADAPTER_RECEIVE=socket reads the filter's
// UDP socket; =ring a packet socket's memory-mapped ring (packet_ring.h), which needs
// CAP_NET_RAW (a filter add fails without it); =auto the ring where this process may open
// one, else the socket. Unset or anything else: kDefaultReceivePath.
enum class ReceivePath { socket, ring, automatic };
ReceivePath receive_path();
constexpr ReceivePath kDefaultReceivePath = ReceivePath::socket;

// Opens `path` as a folder of this user's own (files::open_folder), made when missing. When it
// cannot be used, says on standard error why, naming `what` the adapter keeps there.
files::Opened open_private_dir(const std::string &path, const char *what);

}  // namespace qel::adapter
