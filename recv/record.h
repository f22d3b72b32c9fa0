// The parts of the stream record that the receive path owns. The stream record (stream/stream.h)
// holds one of each; only the receive path and the worker that plugs into it use them.
#pragma once

#include <cstdint>

namespace qel::recv {

// The block whose resend series reached its limit, or outlasted its call, while its later
// INCOMPLETE statuses still come: they get no request, from this call or a later one, so that
// the limit holds for the block and not for each series. Any other descriptor ends it.
struct GivenUpBlock {
    bool given_up;
    uint64_t block;

    bool holds(uint64_t id) const { return given_up && block == id; }
    void mark(uint64_t id) {
        given_up = true;
        block = id;
    }
    void clear() { given_up = false; }
};

// The resend channel of a zero-loss stream: the socket connected to the camera's control port,
// which every request of either receive path goes out on (recv/resend.h builds them).
struct ResendChannel {
    bool open;                            // a zero-loss stream's channel, set up at open
    int fd;                               // the socket; 0: none
    uint32_t last;                        // the last packet id of every request: to the block's end
    GivenUpBlock pr_given_up;             // the thread that polls the stream only
    GivenUpBlock worker_series_given_up;  // the receive worker's thread only
};

}  // namespace qel::recv
