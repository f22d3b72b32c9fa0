// The socket forwarders: the host's socket operations under their hux_ names, with the host's
// results and errors passed through unchanged.
#include <unistd.h>

#include "hux.h"
#include "hux/socket_table.h"

namespace {

// Every forwarder but hux_closesocket reaches the host through the socket entry table. A
// caller that has not run hux_init (directly, or by opening a device or a socket) would find
// the table empty, so each one makes sure it is filled; after the first call that is one
// load.
const qel::hux::SocketTable &table() {
    hux_init();
    return qel::hux::socket_table;
}

}  // namespace

extern "C" {

QEL_EXPORT int hux_socket(int family, int type, int protocol) {
    return table().socket(family, type, protocol);
}

QEL_EXPORT int hux_bind(int s, const struct sockaddr *addr, socklen_t length) {
    return table().bind(s, addr, length);
}

QEL_EXPORT int hux_getsockname(int s, struct sockaddr *addr, socklen_t *length) {
    return table().getsockname(s, addr, length);
}

QEL_EXPORT int hux_getsockopt(int s, int level, int name, void *value, socklen_t *length) {
    return table().getsockopt(s, level, name, value, length);
}

QEL_EXPORT int hux_setsockopt(int s, int level, int name, const void *value, socklen_t length) {
    return table().setsockopt(s, level, name, value, length);
}

QEL_EXPORT ssize_t hux_sendto(int s, const void *data, size_t length, int flags,
                              const struct sockaddr *to, socklen_t to_length) {
    return table().sendto(s, data, length, flags, to, to_length);
}

QEL_EXPORT int hux_select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds,
                          struct timeval *timeout) {
    return table().select(nfds, readfds, writefds, exceptfds, timeout);
}

// Closing needs no table: it works before anything else was called.
QEL_EXPORT int hux_closesocket(int s) {
    return close(s);
}

}  // extern "C"
