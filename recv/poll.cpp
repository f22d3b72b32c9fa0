// qel_poll_recv: the plain receive call.
#include "qel.h"
#include "recv/descriptor.h"
#include "recv/settle.h"
#include "stream/stream.h"

using namespace qel::recv;

extern "C" QEL_EXPORT int qel_poll_recv(qel_stream_t *stream, qel_block_t *block_out,
                                        int32_t timeout) {
    if (stream == nullptr || block_out == nullptr) return QEL_EINVAL;
    // Blocks that lack packets are dropped; one call skips any number of them.
    constexpr SettleRules kRules{"qel_poll_recv", false, false};
    for (;;) {
        DescriptorResult d;
        if (const int rc = next_descriptor(stream, timeout, d); rc != 0) {
            qel::stream::count(stream->stats->poll_errors);
            return rc;
        }
        const Outcome outcome = settle(stream, d, block_out, kRules);
        if (outcome.action == Settled::kDeliver) return 0;
        if (outcome.action != Settled::kSkip) return outcome.code;
    }
}
