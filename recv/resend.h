// Packet resend as the receive paths share it: the request datagram, and one block's series of
// requests. The thread that polls the stream (qel_poll_recv_pr) and the receive worker each run
// their own series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "qel.h"
#include "recv/descriptor.h"

namespace qel::recv {

// A GVCP PACKETRESEND request: packets `first` to `last` of one block.
struct ResendRequest {
    uint16_t req_id;
    uint16_t channel;
    uint64_t block_id;  // the camera's 16-bit number unless `extended`
    uint32_t first;
    uint32_t last;
    bool extended;  // the extended-id form: a 64-bit block id after the packet ids
};

// Bytes of the longer, extended-id request.
constexpr size_t kResendRequestMaxBytes = 28;

// Writes the whole request into `out`: its 8-byte GVCP header and exactly the payload length
// that header declares (12 bytes with standard ids, 20 with extended ids), since a camera may
// refuse a datagram whose size disagrees with its length field. Returns the datagram's size.
size_t encode_resend_request(const ResendRequest &request,
                             std::span<uint8_t, kResendRequestMaxBytes> out);

// The requests sent so far for one block, numbered on from the first request's id.
//
// The series counts rounds besides requests: a round is one report of the firmware's, and it is
// rounds that a caller's max_requests limits. On a stream that asks for gaps only
// (QEL_OPEN_RANGED_RESEND), a report that names several gaps is one request per gap and one
// round; otherwise, and for a firmware that does not report gaps, every request is a round.
struct ResendSeries {
    uint16_t first_req_id = 0;
    uint32_t sent = 0;    // requests, each with its own request id
    uint32_t rounds = 0;  // reports asked for

    uint16_t next_req_id() const { return static_cast<uint16_t>(first_req_id + sent); }
    // Whether asking for the gap an INCOMPLETE status reports begins another round.
    bool opens_round(const qel_stream_t *stream, const GapReport &gap) const;
    // Asks the camera for the packets of `block_id` that an INCOMPLETE status names, as the
    // next request of the series, which counts it whether or not it could be sent: from
    // `first_packet` to the gap's end when the stream asks for gaps only and the status
    // carries an end that fits the block, otherwise to the highest packet id (the rest of the
    // block). The send's result (qel_packet_resend).
    int request(qel_stream_t *stream, uint32_t first_packet, const GapReport &gap,
                uint64_t block_id);
};

}  // namespace qel::recv
