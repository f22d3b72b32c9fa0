/*
 * hux: the portable platform layer under qel: device access, interface discovery, sockets,
 * clocks, threads and board identity. Usable from C and C++.
 */
#ifndef HUX_H
#define HUX_H

#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QEL_BUILDING_LIBRARY)
#define QEL_EXPORT __attribute__((visibility("default")))
#else
#define QEL_EXPORT
#endif

/* A handle of an opened device file. */
typedef uint64_t hux_handle_t;
#define HUX_INVALID_HANDLE UINT64_C(0xFFFFFFFFFFFFFFFF)

/* The only adapter family served. */
#define HUX_PRODUCT_CODE 4
/* Endpoint selectors of hux_open besides endpoint numbers. */
#define HUX_CONTROL_DEVICE 0xFFFFFFFFu
#define HUX_RAW_DEVICE 0xFFFFFFFEu

/* ---- Device access ---- */

/* Fills the socket entry table once; later calls do nothing. */
QEL_EXPORT void hux_init(void);
/* Opens a device of `board`: the control device, the raw device or endpoint `endpoint`. */
QEL_EXPORT int hux_open(uint32_t board, uint32_t endpoint, hux_handle_t *h, uint8_t product);
/* Opens the control device of the first board that can be opened (boards 0 to 31). */
QEL_EXPORT int hux_open_any_board(hux_handle_t *h, uint8_t product);
QEL_EXPORT int hux_close(hux_handle_t h);
/* Sends one driver command; `record` is both input and output, `length` bytes. Leaves the
 * result in errno as well (0 on success). */
QEL_EXPORT int hux_ioctl(hux_handle_t h, uint32_t code, void *record, uint32_t length);
/* Maps one shared-memory region of an endpoint; the all-ones address on failure. */
QEL_EXPORT void *hux_mmap(void *addr, uint32_t length, hux_handle_t h, uint32_t offset, int flag);
/* Does nothing: regions stay mapped until their endpoint handle is closed. */
QEL_EXPORT int hux_munmap(void *addr, uint32_t length);
/* Writes the board's serial number, NUL-terminated, into `buffer` (at least 30 bytes). */
QEL_EXPORT int hux_get_serial_from_board(uint32_t board, char *buffer);

/* ---- Sockets ---- */

/* Forwarders to the host's socket operations of the same names: the same arguments and the
 * host's results and errors, unchanged. */
QEL_EXPORT int hux_socket(int family, int type, int protocol);
QEL_EXPORT int hux_bind(int s, const struct sockaddr *addr, socklen_t length);
QEL_EXPORT int hux_getsockname(int s, struct sockaddr *addr, socklen_t *length);
QEL_EXPORT int hux_getsockopt(int s, int level, int name, void *value, socklen_t *length);
QEL_EXPORT int hux_setsockopt(int s, int level, int name, const void *value, socklen_t length);
QEL_EXPORT ssize_t hux_sendto(int s, const void *data, size_t length, int flags,
                              const struct sockaddr *to, socklen_t to_length);
QEL_EXPORT int hux_select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                          struct timeval *timeout);
QEL_EXPORT int hux_closesocket(int s);

/* ---- Clocks ---- */

/* Seconds and microseconds (0 to 999,999), both 32 bits wide. */
typedef struct hux_timeval {
    int32_t tv_sec;
    int32_t tv_usec;
} hux_timeval;

/* Seconds and nanoseconds (0 to 999,999,999), both 32 bits wide. */
typedef struct hux_timespec {
    int32_t tv_sec;
    int32_t tv_nsec;
} hux_timespec;

/* Does nothing. */
QEL_EXPORT void hux_cycles_counter_init(void);
/* The monotonic clock's time since its origin (seconds wrap at 32 bits): 0, or -1 when `tv`
 * is null. Serves intervals and time-outs, not calendar time. */
QEL_EXPORT int hux_gettimeofday(hux_timeval *tv);
/* The same monotonic clock in nanoseconds; every `clock_id` reads it. 0, or -1 when the host
 * has no such clock or `ts` is null. */
QEL_EXPORT int hux_clock_gettime(int clock_id, hux_timespec *ts);

/* ---- Threads ---- */

/* A thread's body; what it returns is ignored. */
typedef void *(*hux_thread_fn)(void *arg);

/* Start record: allocated by hux_thread_create, released by hux_thread_join. */
typedef struct hux_thread_start {
    hux_thread_fn fn;
    void *arg;
} hux_thread_start;

/* A thread, filled by hux_thread_create and owned by its caller. */
typedef struct hux_thread_t {
    uint64_t handle;         /* the host's thread */
    hux_thread_start *start; /* null while no thread is held */
} hux_thread_t;

/* Starts fn(arg) on a new thread: 0, 22 for a null `t` or `fn`, 12 when the start record
 * cannot be allocated, or the host's error number when it refuses to start the thread (then
 * `t` holds no thread). When ZR_ENABLE_AFFINITY is set, its decimal value is applied as the
 * new thread's processor mask; a mask the host refuses leaves the thread unpinned. */
QEL_EXPORT int hux_thread_create(hux_thread_t *t, hux_thread_fn fn, void *arg);
/* Pins the thread to the processors of `mask` (bit n: processor n): 0, or the host's error
 * number (22 for a null `t` or a record holding no thread). */
QEL_EXPORT int hux_thread_set_affinity(hux_thread_t *t, uint32_t mask);
/* Waits for the thread to end and releases its start record: 0, 22 for a null `t` or a
 * record holding no thread (never created, or already joined), or the host's error number. */
QEL_EXPORT int hux_thread_join(hux_thread_t *t);
/* Ends the calling thread. */
QEL_EXPORT void hux_thread_exit(void) __attribute__((noreturn));
/* The calling thread's host thread id. */
QEL_EXPORT uint32_t hux_thread_self(void);

#ifdef __cplusplus
}
#endif

#endif /* HUX_H */
