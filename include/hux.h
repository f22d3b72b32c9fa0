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

/* ---- Network interface discovery ---- */

/* ifa_flags bits. */
#define HUX_IFF_MULTICAST 1u
#define HUX_IFF_BROADCAST 2u

/* The C library's <ifaddrs.h> and <net/if.h> name their broadcast field through this very
 * macro; hux_ifaddrs follows the same shape, so `ifa_broadaddr` reads the field whichever
 * header comes first. */
#ifndef ifa_broadaddr
#define ifa_broadaddr ifa_ifu.ifu_broadaddr
#endif

/* One host IPv4 interface address that belongs to an adapter board. hux_getifaddrs hands out
 * a list of them as one heap block (the records, then one 16-byte name slot per record);
 * release it with hux_freeifaddrs. */
typedef struct hux_ifaddrs {
    struct hux_ifaddrs *ifa_next; /* next record; null in the last */
    char *ifa_name;               /* the address as dotted-decimal text */
    uint32_t ifa_flags;           /* HUX_IFF_BROADCAST, HUX_IFF_MULTICAST */
    uint32_t ifa_addr;            /* network byte order */
    uint32_t ifa_netmask;         /* network byte order */
    union {
        uint32_t ifu_broadaddr; /* ifa_addr | ~ifa_netmask; read it as ifa_broadaddr */
    } ifa_ifu;
    uint32_t ifa_board;     /* board number of the adapter that owns the interface */
    uint64_t ifa_nic_id;    /* that board's NIC id: factory MAC in the low 48 bits */
    uint8_t ifa_mac[6];     /* the NIC id as six bytes, most significant first */
    uint32_t ifa_endpt_max; /* endpoints of the board */
    uint32_t ifa_link;      /* 1 while the board's link is up */
} hux_ifaddrs;

/* Lists the host's IPv4 interface addresses whose interface belongs to a board. On 0, *list
 * receives the first record (null for none) and *count the number of records; on any other
 * result (a driver or board-scan code, 12 for memory, -1 when the host cannot list its
 * interfaces) neither is written. `ignored` is accepted and ignored (callers pass 1). */
QEL_EXPORT int hux_getifaddrs(hux_ifaddrs **list, uint64_t ignored, int *count);
/* Releases a list of hux_getifaddrs; null is accepted. */
QEL_EXPORT void hux_freeifaddrs(hux_ifaddrs *list);
/* The MAC address of the host interface that carries the dotted-decimal address `ip_text`:
 * 0, or -1 when there is none (or an argument is null). */
QEL_EXPORT int hux_get_macaddr(const char *ip_text, unsigned char mac[6]);
/* The ifa_mac (the board's NIC id) of the record of hux_getifaddrs whose address is `addr`
 * (network byte order): 0, 110 when no record has it, 22 for a null `mac`, or the status of
 * hux_getifaddrs. */
QEL_EXPORT int hux_ifaddr_to_macaddr(uint32_t addr, unsigned char mac[6]);
/* The 802.1Q tag (VLAN id and priority) of the interface that carries `ip_text`, in network
 * byte order; 0 when it has none or anything fails. */
QEL_EXPORT uint16_t hux_get_vlan_tag(const char *ip_text);
/* Writes the NIC id as "xx:xx:xx:xx:xx:xx" (lower-case hex) into `buf`, cut to `size` - 1
 * characters and always terminated; 18 bytes hold the whole text. Nothing is written when
 * `buf` is null or `size` is 0. */
QEL_EXPORT void hux_nic_id_to_str(char *buf, uint64_t nic_id, uint32_t size);

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

/* ---- Board and product identity ---- */

/* Translate between a board's product code and index, its global board number (counting the
 * boards of all product codes 0 to 25 in ascending order) and its NIC id text. Each returns
 * 0, 22 when the designation names no board (or an output pointer is null), or where said
 * the error of opening a product's control device; nothing is stored on failure. */

/* `text`: null or a decimal global board number, or (when it holds a colon) the end of a NIC
 * id text as hux_nic_id_to_str writes it. */
QEL_EXPORT int hux_translate_to_product(const char *text, uint8_t *product, uint32_t *index);
/* `text`: the last 3 to 17 characters of a board's NIC id text; exact, case-sensitive. */
QEL_EXPORT int hux_mac_to_product(const char *text, uint8_t *product, uint32_t *index);
QEL_EXPORT int hux_boardnum_to_product(uint32_t boardnum, uint8_t *product, uint32_t *index);
/* Passes on the error of opening `product`'s control device. */
QEL_EXPORT int hux_product_to_boardnum(uint8_t product, int32_t index, uint32_t *boardnum);

#ifdef __cplusplus
}
#endif

#endif /* HUX_H */
