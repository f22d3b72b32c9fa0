#include "hux/socket_table.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <mutex>

#include "hux.h"

namespace qel::hux {

SocketTable socket_table{};
uint32_t socket_table_filled = 0;

}  // namespace qel::hux

extern "C" QEL_EXPORT void hux_init(void) {
    // Filled once; concurrent first calls wait for the one that fills.
    static std::once_flag once;
    std::call_once(once, [] {
        using qel::hux::socket_table;
        socket_table.socket = ::socket;
        socket_table.bind = ::bind;
        socket_table.listen = ::listen;
        socket_table.connect = ::connect;
        socket_table.accept = ::accept;
        socket_table.recvfrom = ::recvfrom;
        socket_table.sendto = ::sendto;
        socket_table.recv = ::recv;
        socket_table.send = ::send;
        socket_table.getsockname = ::getsockname;
        socket_table.getpeername = ::getpeername;
        socket_table.setsockopt = ::setsockopt;
        socket_table.getsockopt = ::getsockopt;
        socket_table.select = ::select;
        qel::hux::socket_table_filled = 1;
    });
}
