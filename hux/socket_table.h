// The socket entry table: the host sockets library's fourteen operations, filled once by
// hux_init. The socket forwarders call through it.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>

#include <cstdint>

namespace qel::hux {

struct SocketTable {
    int (*socket)(int, int, int);
    int (*bind)(int, const struct sockaddr *, socklen_t);
    int (*listen)(int, int);
    int (*connect)(int, const struct sockaddr *, socklen_t);
    int (*accept)(int, struct sockaddr *, socklen_t *);
    ssize_t (*recvfrom)(int, void *, size_t, int, struct sockaddr *, socklen_t *);
    ssize_t (*sendto)(int, const void *, size_t, int, const struct sockaddr *, socklen_t);
    ssize_t (*recv)(int, void *, size_t, int);
    ssize_t (*send)(int, const void *, size_t, int);
    int (*getsockname)(int, struct sockaddr *, socklen_t *);
    int (*getpeername)(int, struct sockaddr *, socklen_t *);
    int (*setsockopt)(int, int, int, const void *, socklen_t);
    int (*getsockopt)(int, int, int, void *, socklen_t *);
    int (*select)(int, fd_set *, fd_set *, fd_set *, struct timeval *);
};

// Filled by hux_init, exactly once; `socket_table_filled` is 1 from then on. Read them only
// after hux_init has returned in the reading thread.
extern SocketTable socket_table;
extern uint32_t socket_table_filled;

}  // namespace qel::hux
