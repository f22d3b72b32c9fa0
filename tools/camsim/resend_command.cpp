#include "camsim/resend_command.h"

#include "core/byte_order.h"

namespace qel::camsim {

namespace {

constexpr uint32_t kMaxStandardPacketId = 0xFFFFFF;

}  // namespace

const char *command_check_name(CommandCheck check) {
    switch (check) {
        case CommandCheck::ok:
            return "ok";
        case CommandCheck::too_short:
            return "too short";
        case CommandCheck::bad_key:
            return "bad key";
        case CommandCheck::bad_flags:
            return "bad flags";
        case CommandCheck::bad_command:
            return "not PACKETRESEND";
        case CommandCheck::bad_length:
            return "bad length";
        case CommandCheck::reserved_set:
            return "reserved field set";
        case CommandCheck::zero_block_id:
            return "block id 0";
        case CommandCheck::bad_packet_id:
            return "packet id beyond 24 bits";
        case CommandCheck::reversed_range:
            return "first packet id after last";
    }
    return "?";
}

CommandCheck parse_resend_command(std::span<const uint8_t> datagram, ResendCommand *command) {
    if (datagram.size() < kGvcpHeaderSize) return CommandCheck::too_short;
    const uint8_t *p = datagram.data();
    if (p[0] != kGvcpKey) return CommandCheck::bad_key;
    const uint8_t flags = p[1];
    if ((flags & ~(kGvcpFlagAcknowledge | kGvcpFlagExtendedIds)) != 0) {
        return CommandCheck::bad_flags;
    }
    if (load_be16(p + 2) != kPacketResendCommand) return CommandCheck::bad_command;
    const bool extended = (flags & kGvcpFlagExtendedIds) != 0;
    const uint16_t length = load_be16(p + 4);
    if (length != (extended ? kResendLengthExtended : kResendLengthStandard)) {
        return CommandCheck::bad_length;
    }
    if (datagram.size() < kGvcpHeaderSize + length) return CommandCheck::too_short;

    ResendCommand c;
    c.extended_ids = extended;
    c.request_id = load_be16(p + 6);
    const uint8_t *body = p + kGvcpHeaderSize;
    c.channel = load_be16(body);
    c.first_packet_id = load_be32(body + 4);
    c.last_packet_id = load_be32(body + 8);
    if (extended) {
        if (load_be16(body + 2) != 0) return CommandCheck::reserved_set;
        c.block_id = load_be64(body + 12);
    } else {
        c.block_id = load_be16(body + 2);
        if (c.first_packet_id > kMaxStandardPacketId || c.last_packet_id > kMaxStandardPacketId) {
            return CommandCheck::bad_packet_id;
        }
    }
    if (c.block_id == 0) return CommandCheck::zero_block_id;
    if (c.first_packet_id > c.last_packet_id) return CommandCheck::reversed_range;
    *command = c;
    return CommandCheck::ok;
}

}  // namespace qel::camsim
