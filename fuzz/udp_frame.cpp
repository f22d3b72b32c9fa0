// Fuzz target: a frame from a packet socket's ring, from arbitrary bytes to the datagrams the
// firmware takes from it.
//
// The input: byte 0, the offload header's flags; byte 1, its segment type; bytes 2-3, its
// segment size (little-endian); the rest, the frame from its Ethernet header on. The stream is
// 127.0.0.1:50000.
//
// Whatever the frame says, the datagrams returned lie inside the frame, one after the other,
// each of the segment size but the last, and none is empty; a frame with a fault returns none.
#include <cstring>

#include "adapter/firmware/udp_frame.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace qel::adapter;
    if (size < 4) return 0;
    OffloadHeader offload;
    offload.flags = data[0];
    offload.gso_type = data[1];
    offload.gso_size = static_cast<uint16_t>(data[2] | data[3] << 8);
    const std::span<const uint8_t> frame(data + 4, size - 4);
    UdpFrame parsed(frame, offload, FrameRule{0x7F000001, 50000});
    const uint8_t *previous_end = nullptr;
    size_t previous = 0;
    for (std::span<const uint8_t> d = parsed.next(); !d.empty(); d = parsed.next()) {
        QEL_FUZZ_CHECK(parsed.fault() == FrameFault::none, "a datagram from a refused frame");
        QEL_FUZZ_CHECK(
            d.data() >= frame.data() && d.data() + d.size() <= frame.data() + frame.size(),
            "a datagram outside the frame");
        QEL_FUZZ_CHECK(previous_end == nullptr || d.data() == previous_end,
                       "datagrams not one after the other");
        QEL_FUZZ_CHECK(previous_end == nullptr || previous >= d.size(),
                       "a datagram longer than the one before it");
        previous_end = d.data() + d.size();
        previous = d.size();
    }
    return 0;
}
