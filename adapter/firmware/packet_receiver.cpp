#include "adapter/firmware/packet_receiver.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace qel::adapter {

uint64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

PacketReceiver::PacketReceiver(int socket, Clock clock, SourceRule sources)
    // Left unwritten: the kernel touches only the pages datagrams need.
    : socket_(socket),
      clock_(clock),
      scratch_(std::make_unique_for_overwrite<uint8_t[]>(kBatch * kMessageBytes)),
      sources_(sources) {}

int PacketReceiver::receive(BlockAssembler &assembler, FirmwareCounters &counters) {
    const std::optional<Placement> placement = assembler.placement();
    uint32_t batch = kBatch;
    size_t header_bytes = 0;
    // Bytes between the places of consecutive packets, and whether packet 1 showed it.
    size_t stride = 0;
    bool stride_known = false;
    if (placement) {
        header_bytes =
            placement->extended ? gvsp::kExtendedHeaderBytes : gvsp::kStandardHeaderBytes;
        stride = placement->packet_payload;
        stride_known = stride != 0;
        if (!stride_known) stride = placement->guessed_payload;
        if (stride == 0) {
            // Packet 1 tells the size of the others: only it can be placed before it came.
            batch = 1;
        } else if (placement->packets_to_next_block != 0) {
            // End the batch with the next block's leader: that block's data then lands in its
            // own buffer, in the next batch.
            batch = std::min(kBatch, placement->packets_to_next_block);
        }
    } else if (assembler.between_blocks()) {
        batch = 1;  // most likely the next leader, after which its block can be placed
    }

    for (uint32_t i = 0; i < batch; ++i) {
        uint8_t *scratch = message(i);
        Landing &landing = landings_[i];
        landing = Landing{};
        iovec *pieces = pieces_[i].data();
        size_t piece_count = 1;
        pieces[0] = iovec{scratch, kMessageBytes};
        if (placement) {
            const uint64_t id = uint64_t{placement->next_packet_id} + i;
            const uint64_t offset = (id - 1) * stride;
            if (id <= kMaxPacketsPerBlock && offset < placement->buffer_length &&
                (i == 0 || stride != 0)) {
                const size_t room = placement->buffer_length - offset;
                const size_t full = stride != 0 ? stride : room;
                const size_t length = std::min({full, room, kMessageBytes - header_bytes});
                landing = Landing{placement->buffer + offset, length, static_cast<uint32_t>(id)};
                pieces[0] = iovec{scratch, header_bytes};
                pieces[1] = iovec{landing.place, length};
                pieces[2] =
                    iovec{scratch + header_bytes + length, kMessageBytes - header_bytes - length};
                piece_count = 3;
            }
        }
        headers_[i] = mmsghdr{};
        headers_[i].msg_hdr.msg_iov = pieces;
        headers_[i].msg_hdr.msg_iovlen = piece_count;
        headers_[i].msg_hdr.msg_name = &senders_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof senders_[i];
    }

    const int got = recvmmsg(socket_, headers_.data(), batch, MSG_DONTWAIT, nullptr);
    if (got <= 0) return 0;
    const uint64_t now = clock_();
    counters.add(Counter::receive_calls);

    // First every message that is not in its place is gathered into its scratch, before any
    // packet is handed on and written somewhere.
    for (int i = 0; i < got; ++i) {
        const size_t length = headers_[i].msg_len;
        counters.add(Counter::packets);
        counters.add(Counter::bytes, length);
        is_in_place_[i] = false;
        const Landing &landing = landings_[i];
        if (landing.place == nullptr) continue;
        uint8_t *scratch = message(static_cast<uint32_t>(i));
        const size_t payload = length > header_bytes ? length - header_bytes : 0;
        gvsp::Header header;
        // Packets after packet 1 were placed by a guessed size: they are in place only if
        // packet 1 came first and confirmed it.
        const bool ours = sources_.accepts(senders_[i], headers_[i].msg_hdr.msg_namelen, now);
        if (ours && (i == 0 || stride_known) && payload != 0 && payload <= landing.length &&
            gvsp::parse_header({scratch, header_bytes}, header) == gvsp::Fault::none &&
            header.header_bytes == header_bytes && header.format == gvsp::Format::payload &&
            !header.is_error() && header.block_id == placement->block_id &&
            header.packet_id == landing.packet_id) {
            is_in_place_[i] = true;
            in_place_[i] = gvsp::Packet{header, {landing.place, payload}};
            if (!stride_known && payload == stride) stride_known = true;
            continue;
        }
        const size_t landed = std::min(payload, landing.length);
        if (landed != 0) {
            std::memcpy(scratch + header_bytes, landing.place, landed);
            counters.add(Counter::bytes_copied, landed);
        }
    }

    for (int i = 0; i < got; ++i) {
        if (is_in_place_[i]) {
            assembler.on_packet(in_place_[i], now);
            continue;
        }
        if ((headers_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0) {
            // A datagram larger than any packet: the stream's is malformed, another's foreign.
            const bool ours = sources_.accepts(senders_[i], headers_[i].msg_hdr.msg_namelen, now);
            counters.add(ours ? Counter::malformed : Counter::foreign_source);
            continue;
        }
        hand_on({message(static_cast<uint32_t>(i)), headers_[i].msg_len}, senders_[i],
                headers_[i].msg_hdr.msg_namelen, now, sources_, assembler, counters);
    }
    return got;
}

void hand_on(std::span<const uint8_t> datagram, const sockaddr_storage &sender,
             socklen_t sender_length, uint64_t now, SourceFilter &sources,
             BlockAssembler &assembler, FirmwareCounters &counters) {
    // Another sender's leader may take over a source that has gone silent.
    const bool ours = sources.accepts(sender, sender_length, now);
    if (!ours && !sources.may_take_over(sender, sender_length, now)) {
        counters.add(Counter::foreign_source);
        return;
    }
    gvsp::Packet packet;
    if (gvsp::parse(datagram, packet) != gvsp::Fault::none) {
        counters.add(ours ? Counter::malformed : Counter::foreign_source);
        return;
    }
    if (packet.header.format == gvsp::Format::leader) {
        if (sources.on_leader(sender, sender_length, now)) counters.add(Counter::source_changes);
    } else if (!ours) {
        counters.add(Counter::foreign_source);
        return;
    }
    assembler.on_packet(packet, now);
}

}  // namespace qel::adapter
