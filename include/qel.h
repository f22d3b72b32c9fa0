/*
 * qel: receive GigE Vision streams through an adapter whose firmware reassembles each block
 * straight into an application buffer.
 *
 * The one API header of the library. Usable from C and C++. All functions return 0 on
 * success or one of the QEL_E* result codes below unless their comment says otherwise.
 */
#ifndef QEL_H
#define QEL_H

#include <stddef.h>
#include <stdint.h>

#include "hux.h"

#ifdef __cplusplus
extern "C" {
#endif

/* API version: major number in the high byte, minor number in the low byte. An application
 * passes the version it was compiled against to qel_init. */
#define QEL_API_VERSION 0x0102
#define QEL_RELEASE "2.0.1.0"

/* Result codes. These numbers are the library's own on every host; they are not the host's
 * errno values (on Linux 40, 110 and 138 mean other things). qel_strerror gives the text. */
#define QEL_OK 0
#define QEL_ENOENT 2           /* no such entry, or no such name stored */
#define QEL_EORDER 5           /* block dropped because it arrived out of order */
#define QEL_ENXIO 6            /* driver speaks another API, or no such device or address */
#define QEL_EAGAIN 11          /* nothing yet: no block within the timeout */
#define QEL_ENOMEM 12          /* out of memory, or a block too large for its buffer */
#define QEL_EACCES 13          /* access refused */
#define QEL_EBUSY 16           /* busy: the device or endpoint is in use */
#define QEL_ENODEV 19          /* no such device */
#define QEL_EINVAL 22          /* invalid argument or state */
#define QEL_ENOSYS 40          /* not implemented */
#define QEL_ENOADDR 110        /* no adapter interface carries the address */
#define QEL_ENOBUFS 10055      /* no buffer was queued for a block */
#define QEL_ENOBUFINVOLVED 119 /* used inside: a status that involved no buffer */
#define QEL_ETIMEDOUT 138      /* used inside: a driver wait whose time passed */

/* Text of a result code: the library's own text for its codes, the C library's for others.
 * Never null. */
QEL_EXPORT const char *qel_strerror(int code);

/* The stream record. Applications hold a pointer to it as the stream handle. */
typedef struct qel_stream qel_stream_t;

/* Counters of a stream, filled by qel_info. */
typedef struct qel_info {
    uint64_t reserved;  /* always 0 */
    uint64_t dropped;   /* blocks dropped instead of delivered */
    uint64_t delivered; /* blocks delivered to the application */
} qel_info_t;

/* Initialises the library. Call once, before anything else, with QEL_API_VERSION. A repeated
 * call with the same version is a cheap success; another version gives QEL_EINVAL. Safe to
 * call from several threads at once: one initialises, the others see its result. */
QEL_EXPORT int qel_init(uint16_t api_version);

/* Copies the stream's counters into *info. QEL_EINVAL when either pointer is null. */
QEL_EXPORT int qel_info(qel_stream_t *stream, qel_info_t *info);

/* Trace spans around the library's entry points. They do nothing (and return 0) unless the
 * telemetry add-on is loaded. */
QEL_EXPORT int qel_span_begin(void **span, const char *name);
QEL_EXPORT int qel_span_end(void *span, const char *name, int line);

#ifdef __cplusplus
}
#endif

#endif /* QEL_H */
