// GVCP PACKETRESEND commands as they arrive on the control port. Every field is checked; a
// datagram that is not a well-formed command is refused with the reason.
#pragma once

#include <cstdint>
#include <span>

namespace qel::camsim {

inline constexpr uint8_t kGvcpKey = 0x42;
inline constexpr uint8_t kGvcpFlagAcknowledge = 0x01;
inline constexpr uint8_t kGvcpFlagExtendedIds = 0x10;
inline constexpr uint16_t kPacketResendCommand = 0x0040;
inline constexpr size_t kGvcpHeaderSize = 8;
inline constexpr uint16_t kResendLengthStandard = 12;
inline constexpr uint16_t kResendLengthExtended = 20;

struct ResendCommand {
    bool extended_ids = false;
    uint16_t request_id = 0;
    uint16_t channel = 0;
    uint64_t block_id = 0;
    uint32_t first_packet_id = 0;
    uint32_t last_packet_id = 0;
};

enum class CommandCheck {
    ok,
    too_short,       // shorter than the header, or than the header plus its payload length
    bad_key,         // not 0x42
    bad_flags,       // a flag other than acknowledge and extended ids
    bad_command,     // not PACKETRESEND
    bad_length,      // not 12 (standard ids) or 20 (extended ids)
    reserved_set,    // extended ids: the reserved 16 bits are not 0
    zero_block_id,   // block id 0 is never sent
    bad_packet_id,   // standard ids: a packet id wider than 24 bits
    reversed_range,  // first packet id after the last
};

[[nodiscard]] const char *command_check_name(CommandCheck check);

// Reads a command. Bytes after the payload that its length announces are allowed and not
// looked at (requests are often sent as 28 bytes whatever their length says).
[[nodiscard]] CommandCheck parse_resend_command(std::span<const uint8_t> datagram,
                                                ResendCommand *command);

}  // namespace qel::camsim
