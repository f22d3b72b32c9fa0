/* recv_worker_resend: receives a camera stream without loss. Lost packets are asked for again
 * (GigE Vision packet resend), and a receive worker thread takes blocks off the adapter as soon
 * as they arrive, so the application's loop may be slow for a while without losing any.
 *
 *   recv_worker_resend LOCAL_ADDRESS PORT CAMERA_ADDRESS[:CONTROL_PORT] [BLOCKS] [CPU] [tail]
 *
 * CAMERA_ADDRESS is where resend requests go, to its GVCP control port (3956 unless given). CPU
 * gives the worker that processor to itself: pinned there, it busy-polls for the least latency.
 * Without it (0), the worker sleeps while no block comes and this loop waits for it in
 * qel_poll_recv, so that an idle camera costs next to no processor time. Requests ask for the lost
 * packets only; "tail" makes them ask for everything from the first lost packet on, to compare.
 * Prints every block it got, then how many were lost and why; exits 1 when any block was lost. */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qel.h"

/* A block waiting for resent packets holds its buffer until it completes or its block timeout
 * (below) passes, and the blocks after it wait in their buffers until it is delivered: the
 * buffers must hold the frames of a whole block timeout, 64 of them the frames of 500 ms at up
 * to 128 frames a second. Memory is touched only as frames fill it. */
#define BUFFER_COUNT 64
#define BUFFER_BYTES (8u << 20)
#define GVCP_PORT 3956
/* A block may take BLOCK_TIMEOUT_MS to complete, asking again every RESEND_TIMEOUT_MS: its
 * series of requests lasts as long as the block may, so that a camera slow to answer for a
 * moment is asked again rather than given up early. */
#define BLOCK_TIMEOUT_MS 500
#define RESEND_TIMEOUT_MS 20
#define MAX_REQUESTS (BLOCK_TIMEOUT_MS / RESEND_TIMEOUT_MS)

/* Called on the worker thread when a block first misses packets: picks the request ids of the
 * block's resend series. It runs beside the application's thread, so it only touches its own
 * counter. MAX_REQUESTS counts rounds: with ranged requests a round asks once per gap, so a
 * series may number past its share of ids, which a camera does not mind. */
static int on_resend(qel_stream_t *stream, uint16_t *req_id, uint16_t *max_requests) {
    static uint32_t next_req_id = 1;
    (void)stream;
    /* GVCP request id 0 is not used: a series that would run past 65535 starts again at 1. */
    if (next_req_id + MAX_REQUESTS > 65536) next_req_id = 1;
    *req_id = (uint16_t)next_req_id;
    *max_requests = MAX_REQUESTS;
    next_req_id += MAX_REQUESTS;
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr,
                "usage: %s LOCAL_ADDRESS PORT CAMERA_ADDRESS[:CONTROL_PORT] [BLOCKS] [CPU] "
                "[tail]\n",
                argv[0]);
        return 2;
    }
    uint32_t local_addr = inet_addr(argv[1]);
    uint16_t port = (uint16_t)atoi(argv[2]);
    long wanted = argc > 4 ? atol(argv[4]) : 100;
    uint32_t cpu = argc > 5 ? (uint32_t)atoi(argv[5]) : 0;
    int whole_tail = argc > 6 && strcmp(argv[6], "tail") == 0;
    uint16_t camera_port = GVCP_PORT;
    char *colon = strchr(argv[3], ':');
    if (colon != NULL) {
        *colon = '\0';
        camera_port = (uint16_t)atoi(colon + 1);
    }

    qel_stream_options_t options = {0};
    options.flags = QEL_OPEN_ZEROLOSS | QEL_OPEN_DROP_INCOMPLETE;
    if (!whole_tail) options.flags |= QEL_OPEN_RANGED_RESEND; /* ask for the lost packets only */
    options.block_timeout = BLOCK_TIMEOUT_MS;
    options.resend_timeout = RESEND_TIMEOUT_MS; /* ms to wait for the answer to one request */
    options.max_requests = MAX_REQUESTS;
    options.order_mode = 2; /* deliver blocks that arrive out of order too */
    options.camera_addr = inet_addr(argv[3]);
    options.camera_port = camera_port;

    int rc = qel_init(QEL_API_VERSION);
    qel_stream_t *stream = NULL;
    if (rc == 0) rc = qel_open_stream_pr(&local_addr, port, &stream, &options, NULL);
    if (rc != 0) {
        fprintf(stderr, "cannot open a stream on %s: %s (%d)\n", argv[1], qel_strerror(rc), rc);
        return 1;
    }
    qel_buffer_t *buffers[BUFFER_COUNT] = {NULL};
    /* All buffers are made before the first is queued: queueing starts reception, and a
     * camera already streaming would otherwise find too few buffers while the rest are made. */
    for (int i = 0; i < BUFFER_COUNT && rc == 0; ++i)
        rc = qel_alloc(stream, BUFFER_BYTES, &buffers[i]);
    for (int i = 0; i < BUFFER_COUNT && rc == 0; ++i) rc = qel_queue_buffer(buffers[i]);
    /* The worker is created stopped; from start on it takes the stream's descriptors. */
    if (rc == 0)
        rc = qel_create_recv_worker(stream, cpu != 0 ? cpu : QEL_RECV_WORKER_SLEEP, on_resend);
    if (rc == 0) rc = qel_start_recv_worker(stream);

    long no_buffer = 0, too_large = 0, out_of_order = 0;
    for (long received = 0; rc == 0 && received < wanted;) {
        qel_block_t block;
        /* With a worker, polling takes what the worker has handed over; it waits up to the
         * timeout for a sleeping worker, and not at all for a busy-polling one. */
        int got = qel_poll_recv(stream, &block, cpu != 0 ? 0 : 100);
        if (got == QEL_EAGAIN) {
            /* Nothing from the busy-polling worker yet, and this loop holds no buffer: pause
             * briefly, so that the worker keeps a processor of its own on a busy machine. */
            struct timespec pause = {0, 100000};
            if (cpu != 0) nanosleep(&pause, NULL);
            continue;
        }
        /* Lost blocks: each is counted by its cause and reported at the end. */
        if (got == QEL_ENOBUFS) {
            ++no_buffer;
            continue;
        }
        if (got == QEL_ENOMEM) {
            ++too_large;
            continue;
        }
        if (got == QEL_EORDER) {
            ++out_of_order;
            continue;
        }
        if (got != 0) {
            rc = got;
            break;
        }
        printf("block %llu: %u bytes\n", (unsigned long long)block.block_id, block.payload_length);
        ++received;
        rc = qel_queue_buffer(block.buffer);
    }
    if (rc != 0) fprintf(stderr, "receive stopped: %s (%d)\n", qel_strerror(rc), rc);
    int failed = rc != 0;

    qel_stats_t stats;
    if (qel_get_stats(stream, &stats) == 0) {
        printf("complete %llu, dropped %llu, resend requests %llu, resend series %llu\n",
               (unsigned long long)stats.blocks_complete, (unsigned long long)stats.blocks_dropped,
               (unsigned long long)stats.resend_requests,
               (unsigned long long)stats.worker_resend_series);
        /* The library drops incomplete blocks itself; those are the dropped ones no result
         * above reported. */
        long incomplete = (long)stats.blocks_dropped - no_buffer - too_large - out_of_order;
        if (incomplete < 0) incomplete = 0;
        long lost = no_buffer + too_large + out_of_order + incomplete;
        printf(
            "lost %ld: no buffer queued %ld, too large %ld, out of order %ld, incomplete %ld "
            "(block timeout %llu, resend limit %llu)\n",
            lost, no_buffer, too_large, out_of_order, incomplete,
            (unsigned long long)stats.block_timeouts, (unsigned long long)stats.resend_limit_hits);
        if (lost != 0) {
            fprintf(stderr, "%ld blocks lost (see above)\n", lost);
            failed = 1;
        }
    }
    qel_close_stream(stream); /* also ends the worker */
    for (int i = 0; i < BUFFER_COUNT; ++i) {
        if (buffers[i] != NULL) qel_free(buffers[i]);
    }
    return failed;
}
