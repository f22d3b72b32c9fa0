/* recv_worker_resend: receives a camera stream without loss. Lost packets are asked for again
 * (GigE Vision packet resend), and a receive worker thread takes blocks off the adapter as soon
 * as they arrive, so the application's loop may be slow for a while without losing any.
 *
 *   recv_worker_resend LOCAL_ADDRESS PORT CAMERA_ADDRESS [BLOCKS] [CPU]
 *
 * CAMERA_ADDRESS is where resend requests go (its GVCP port, 3956). CPU pins the worker to
 * that processor (0: not pinned). Prints the stream's counters at the end. */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "qel.h"

#define BUFFER_COUNT 8
#define BUFFER_BYTES (16u << 20)
#define GVCP_PORT 3956

/* Called on the worker thread when a block first misses packets: picks the request ids of the
 * block's resend series. It runs beside the application's thread, so it only touches its own
 * counter. */
static int on_resend(qel_stream_t *stream, uint16_t *req_id, uint16_t *max_requests) {
    static uint16_t next_req_id = 1;
    (void)stream;
    *req_id = next_req_id;
    *max_requests = 8;
    next_req_id = (uint16_t)(next_req_id + 8);
    if (next_req_id == 0) next_req_id = 1; /* GVCP request id 0 is not used */
    return 0;
}

static void pause_1ms(void) {
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, NULL);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s LOCAL_ADDRESS PORT CAMERA_ADDRESS [BLOCKS] [CPU]\n", argv[0]);
        return 2;
    }
    uint32_t local_addr = inet_addr(argv[1]);
    uint16_t port = (uint16_t)atoi(argv[2]);
    long wanted = argc > 4 ? atol(argv[4]) : 100;
    uint32_t cpu = argc > 5 ? (uint32_t)atoi(argv[5]) : 0;

    qel_stream_options_t options = {0};
    options.flags = QEL_OPEN_ZEROLOSS | QEL_OPEN_DROP_INCOMPLETE;
    options.block_timeout = 500; /* ms a block may take to complete while resending */
    options.resend_timeout = 20; /* ms to wait for the answer to one request */
    options.max_requests = 8;
    options.order_mode = 2; /* deliver blocks that arrive out of order too */
    options.camera_addr = inet_addr(argv[3]);
    options.camera_port = GVCP_PORT;

    int rc = qel_init(QEL_API_VERSION);
    qel_stream_t *stream = NULL;
    if (rc == 0) rc = qel_open_stream_pr(&local_addr, port, &stream, &options, NULL);
    if (rc != 0) {
        fprintf(stderr, "cannot open a stream on %s: %s (%d)\n", argv[1], qel_strerror(rc), rc);
        return 1;
    }
    qel_buffer_t *buffers[BUFFER_COUNT] = {NULL};
    for (int i = 0; i < BUFFER_COUNT && rc == 0; ++i) {
        rc = qel_alloc(stream, BUFFER_BYTES, &buffers[i]);
        if (rc == 0) rc = qel_queue_buffer(buffers[i]);
    }
    /* The worker is created stopped; from start on it takes the stream's descriptors. */
    if (rc == 0) rc = qel_create_recv_worker(stream, cpu, on_resend);
    if (rc == 0) rc = qel_start_recv_worker(stream);

    for (long received = 0; rc == 0 && received < wanted;) {
        qel_block_t block;
        /* With a worker, polling never waits in the driver: it takes what the worker has. */
        int got = qel_poll_recv(stream, &block, 0);
        if (got == QEL_EAGAIN) { /* nothing from the worker yet */
            pause_1ms();
            continue;
        }
        if (got == QEL_ENOMEM || got == QEL_ENOBUFS || got == QEL_EORDER) continue; /* lost */
        if (got != 0) {
            rc = got;
            break;
        }
        printf("block %llu: %u bytes\n", (unsigned long long)block.block_id, block.payload_length);
        ++received;
        rc = qel_queue_buffer(block.buffer);
    }
    if (rc != 0) fprintf(stderr, "receive stopped: %s (%d)\n", qel_strerror(rc), rc);

    qel_stats_t stats;
    if (qel_get_stats(stream, &stats) == 0) {
        printf("complete %llu, dropped %llu, resend requests %llu, resend series %llu\n",
               (unsigned long long)stats.blocks_complete, (unsigned long long)stats.blocks_dropped,
               (unsigned long long)stats.resend_requests,
               (unsigned long long)stats.worker_resend_series);
    }
    qel_close_stream(stream); /* also ends the worker */
    for (int i = 0; i < BUFFER_COUNT; ++i) {
        if (buffers[i] != NULL) qel_free(buffers[i]);
    }
    return rc == 0 ? 0 : 1;
}
