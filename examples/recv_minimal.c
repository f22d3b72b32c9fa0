/* recv_minimal: receives blocks of one camera stream and prints a line for each.
 *
 *   recv_minimal LOCAL_ADDRESS PORT [BLOCKS]
 *
 * LOCAL_ADDRESS is the adapter interface's IPv4 address that the camera streams to, PORT the
 * UDP port it sends to. Stops after BLOCKS blocks (default 10). */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

#include "qel.h"

#define BUFFER_COUNT 4
#define BUFFER_BYTES (16u << 20) /* room for one block each */

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s LOCAL_ADDRESS PORT [BLOCKS]\n", argv[0]);
        return 2;
    }
    uint32_t local_addr = inet_addr(argv[1]); /* network order, as the library wants it */
    uint16_t port = (uint16_t)atoi(argv[2]);
    long wanted = argc > 3 ? atol(argv[3]) : 10;

    int rc = qel_init(QEL_API_VERSION);
    qel_stream_t *stream = NULL;
    if (rc == 0) rc = qel_open_stream(&local_addr, port, &stream, 0, NULL);
    if (rc != 0) {
        fprintf(stderr, "cannot open a stream on %s: %s (%d)\n", argv[1], qel_strerror(rc), rc);
        return 1;
    }

    /* Buffers are pinned with the stream's endpoint; the firmware fills the first one queued. */
    qel_buffer_t *buffers[BUFFER_COUNT] = {NULL};
    for (int i = 0; i < BUFFER_COUNT && rc == 0; ++i) {
        rc = qel_alloc(stream, BUFFER_BYTES, &buffers[i]);
        if (rc == 0) rc = qel_queue_buffer(buffers[i]);
    }

    for (long received = 0; rc == 0 && received < wanted;) {
        qel_block_t block;
        int got = qel_poll_recv(stream, &block, 1000 /* ms */);
        if (got == QEL_EAGAIN || got == QEL_ETIMEDOUT) continue; /* nothing this second */
        if (got == QEL_ENOMEM || got == QEL_ENOBUFS) continue;   /* a block lost; go on */
        if (got != 0) {
            rc = got;
            break;
        }
        printf("block %llu: payload type %#x, %u bytes\n", (unsigned long long)block.block_id,
               block.payload_type, block.payload_length);
        ++received;
        rc = qel_queue_buffer(block.buffer); /* done with the data: hand the buffer back */
    }
    if (rc != 0) fprintf(stderr, "receive stopped: %s (%d)\n", qel_strerror(rc), rc);

    qel_close_stream(stream);
    for (int i = 0; i < BUFFER_COUNT; ++i) {
        if (buffers[i] != NULL) qel_free(buffers[i]);
    }
    return rc == 0 ? 0 : 1;
}
